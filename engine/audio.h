// Audio kept beside the video: streams copied chunk by chunk as the input has
// them, or 16-bit PCM written as it is or as MP3. A front end describes each
// output stream once, before the first frame, and hands over the audio that
// goes with each frame before that frame; the writer puts it in the file just
// ahead of the frame's video chunk, so that the file is interleaved as players
// expect and a run that stops keeps the audio of every frame it wrote.
#pragma once

#include <cstdint>

#include "engine/platform.h"

// How far the audio runs ahead of the video in the file, in milliseconds.
constexpr int32_t kAudioLeadMs = 500;

// One output audio stream as the front end describes it.
struct AudioStreamDescription {
    // Copied streams: the input stream's information (scale, rate, sample
    // size, start, name, ...; fccType auds), the length is counted again.
    // PCM streams: made by audio_pcm_stream_info.
    AVISTREAMINFOA info;
    const void* format;    // the stream format (WAVEFORMATEX and its extra bytes), copied by the writer
    uint32_t format_size;  // bytes of format
    // 0: chunks are written as they are handed over. Else the format is
    // 16-bit PCM (1 or 2 channels) and is encoded as MP3 at this rate
    // (kbit/s, one mp3_round_kbps gave for the format's sample rate).
    int32_t mp3_kbps;
};

// The stream information of a PCM stream of the format: sample size the block
// align, scale the block align, rate the bytes per second, as AVI has it.
AVISTREAMINFOA audio_pcm_stream_info(const WAVEFORMATEX& format);
// A 16-bit PCM format of rate and channels.
WAVEFORMATEX audio_pcm16_format(uint32_t sample_rate, uint16_t channels);

// The position in the audio stream (in its own samples, counted from its
// dwStart) up to which the file's audio goes with video frame n of
// frame_count: kAudioLeadMs ahead of the end of the frame's interval, never
// past the end of the video. Frame n's audio is what lies between the end
// for frame n - 1 (for frame 0: position 0) and this; a copied chunk goes
// with the first frame whose end lies beyond its start. Never below 0.
int64_t audio_frame_end(int64_t n, int64_t frame_count, const AVISTREAMINFOA& video, const AVISTREAMINFOA& audio);
// The position kAudioLeadMs into the stream (clamped as above): frame 0's
// audio is written as two chunks, the lead and the rest of its interval.
int64_t audio_lead_end(int64_t frame_count, const AVISTREAMINFOA& video, const AVISTREAMINFOA& audio);
