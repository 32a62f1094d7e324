// The audio streams of an AVI input, read beside its frames: each frame's
// chunks copied as they are, or decoded to 16-bit PCM for the MP3 encoder.
// Used from the thread that owns the AVI file, as its video is.
#pragma once

#include <cstdint>

#include "console/audio_decode.h"
#include "console/frame_source.h"

struct AviAudioStream {
    PAVISTREAM stream;
    AVISTREAMINFOA info;       // as the input has it
    uint8_t* format;           // owned: strf as stored
    uint32_t format_size;
    AudioDecoder* decoder;     // pcm only
    WAVEFORMATEX pcm_format;   // pcm only: what the decoder gives
    int64_t next;              // samples read so far: the next chunk is at dwStart + next
    int ended;                 // no chunk left (or none readable: told once)
};

struct AviAudio {
    AviAudioStream* streams;   // owned
    uint32_t count;
    AudioStreamDescription* descriptions;    // owned: the output streams, one per input stream
    SourceAudio mode;
    const AVISTREAMINFOA* video;
    int64_t frame_count;
    char* path;                // owned: the input's name, for messages
    FrameAudioChunk* chunks;   // owned: the current frame's audio
    uint32_t chunk_count;
    uint32_t chunk_capacity;
    uint8_t* data;             // owned: its bytes
    uint64_t data_bytes;
    uint64_t data_capacity;
    FrameAudio frame;
};

// Opens every audio stream of file as mode asks (none: nothing). 1 on
// success, with audio.count 0 for a file without audio; 0 after an ERROR line
// on standard error when a stream can't be read or decoded, or memory ran out.
int avi_audio_open(AviAudio& audio, PAVIFILE file, SourceAudio mode, const AVISTREAMINFOA& video,
                   int64_t frame_count, const char* path);
// Reads the audio that goes with frame n (audio_frame_end) into audio.frame.
// 0 only when memory ran out.
int avi_audio_read_frame(AviAudio& audio, int64_t n);
void avi_audio_close(AviAudio& audio);
