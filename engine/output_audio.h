// The output's audio streams: described before the first frame, created with
// the file, each frame's audio queued until the frame is written and then
// put in the file just ahead of it; MP3 streams encode their PCM on the way.
#pragma once

#include <cstdint>

#include "engine/audio.h"
#include "engine/mp3.h"
#include "engine/platform.h"

struct OutputAudioStream {
    AVISTREAMINFOA info;  // as created: the front end's, length and buffer size counted by the file
    uint8_t* format;      // owned
    uint32_t format_size;
    PAVISTREAM stream;    // null until the file exists
    int32_t mp3;          // 1: PCM in, MP3 out through encoder
    Mp3Encoder encoder;
};

// One queued chunk: its bytes lie in OutputAudio::data at offset.
struct OutputAudioChunk {
    uint32_t stream;
    uint32_t samples;
    uint64_t offset;
    uint32_t bytes;
};

struct OutputAudio {
    OutputAudioStream* streams;  // owned, count of them
    uint32_t count;
    OutputAudioChunk* queued;    // owned: the chunks of the next frame written
    uint32_t queued_count;
    uint32_t queued_capacity;
    uint8_t* data;               // owned: their bytes
    uint64_t data_bytes;
    uint64_t data_capacity;
    uint32_t last_bytes;         // audio bytes written with the frame last written
};

// Adds a stream (copying its format; opening its MP3 encoder). 1 on
// success; 0 when memory ran out (*encoder_refused 0) or the encoder refused
// the format (*encoder_refused 1).
int output_audio_add(OutputAudio& audio, const AudioStreamDescription& description, int* encoder_refused);
// Queues a chunk for the next frame written. 0 when memory ran out.
int output_audio_queue(OutputAudio& audio, uint32_t stream, const void* data, uint32_t bytes, uint32_t samples);
// Creates every stream in the file, after the video stream. 0 on failure.
int output_audio_create_streams(OutputAudio& audio, PAVIFILE file);
// Writes the queued chunks (through the encoder for MP3) and empties the
// queue. 0 when the file could not take them.
int output_audio_write_queued(OutputAudio& audio);
// Drops what is queued: its frame was never written.
void output_audio_drop_queued(OutputAudio& audio);
// Writes what the MP3 encoders still hold: the end of the audio of the frames
// written. 0 when the file could not take it.
int output_audio_finish(OutputAudio& audio);
// Releases the streams (before the file is released) ...
void output_audio_release_streams(OutputAudio& audio);
// ... and everything else. Safe on a cleared record.
void output_audio_release(OutputAudio& audio);
