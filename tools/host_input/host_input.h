// An AVI file's pictures and sound as a video editor hands them to an output
// plug-in: frames as bottom-up 24-bit DIBs with rows padded to 4 bytes, and
// the file's first audio stream when it is 16-bit PCM, sample 0 at the first
// frame (the stream's start, dwStart, as silence). Both plug-in hosts read
// their input through it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/platform.h"

struct HostInput {
    PAVIFILE file = nullptr;
    PAVISTREAM video = nullptr;
    PGETFRAME frames = nullptr;
    int32_t width = 0;   // of the decoded picture
    int32_t height = 0;
    DWORD rate = 0;      // frame rate, rate / scale
    DWORD scale = 0;
    DWORD length = 0;    // frames
    std::vector<uint8_t> flipped;  // for readers that hand out top-down rows
    // The audio, once host_input_open_audio found 16-bit PCM.
    PAVISTREAM audio = nullptr;
    int32_t audio_rate = 0;
    int32_t audio_channels = 0;
    uint32_t audio_block = 0;  // bytes of one sample of all channels
    int64_t audio_skew = 0;    // samples of silence before the stream's first
    int64_t audio_count = 0;   // samples handed out in all: the skew and the stream (at most INT32_MAX)
    std::vector<uint8_t> audio_buffer;  // the last fetch's, valid until the next
};

enum class HostInputOpen { ok, cant_open, no_video, cant_decode };

// Starts AVIFile (as the editor's process has it running) and opens path's
// first video stream for 24-bit frames. Anything but ok leaves nothing open.
HostInputOpen host_input_open(HostInput& input, const char* path);
// Takes the file's first audio stream: 1 when it is 16-bit PCM (and kept),
// 0 when there is no audio, -1 when there is audio of another kind.
int host_input_open_audio(HostInput& input);
// Frame n, bottom-up with padded rows, valid until the next call; null when
// it can't be decoded as the picture frame 0 is.
const uint8_t* host_input_frame(HostInput& input, int frame);
// Samples start .. start+length-1, *read of them: fewer past the end or
// where the file can't be read. Valid until the next call.
const uint8_t* host_input_audio(HostInput& input, int start, int length, int* read);
// Closes everything and stops AVIFile; safe after a failed open.
void host_input_close(HostInput& input);
