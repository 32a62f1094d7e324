// MP3 encoding of 16-bit PCM through LAME: constant bit rate, whole MP3
// frames out, and the format block AVI files carry for such a stream.
#pragma once

#include <cstdint>

#include "engine/platform.h"

// The sample rates MP3 has (MPEG-1, -2 and -2.5 layer III).
// The rate the encoder writes for an input of sample_rate: the input's own
// where MP3 has it, else the nearest one MP3 has (LAME then resamples).
int32_t mp3_sample_rate(int32_t sample_rate);
// kbps clamped to 32 - 320 and then rounded to the nearest bit rate MP3 has
// at the output sample rate of an input of sample_rate (the lower of two at
// the same distance).
int32_t mp3_round_kbps(int32_t kbps, int32_t sample_rate);

struct Mp3Encoder {
    void* lame;                 // LAME's encoder; null when closed
    int32_t channels;           // 1 or 2, of the input and the output
    int32_t input_rate;         // samples per second handed to mp3_encode
    int32_t output_rate;        // mp3_sample_rate(input_rate)
    int32_t kbps;
    uint8_t* out;               // owned: the whole MP3 frames of the last call
    uint32_t out_capacity;
    uint32_t out_bytes;
    uint8_t* pending;           // owned: bytes of a frame LAME has not finished yet
    uint32_t pending_bytes;
    uint32_t pending_capacity;
};

// Opens an encoder for 16-bit interleaved PCM of sample_rate and 1 or 2
// channels at kbps (already rounded). 1 on success; 0 with the record cleared
// when LAME refuses the parameters or memory runs out.
int mp3_open(Mp3Encoder& encoder, int32_t sample_rate, int32_t channels, int32_t kbps);
// Encodes sample_count samples (of all channels) and answers the whole MP3
// frames ready so far in encoder.out / encoder.out_bytes (0 bytes is normal:
// LAME holds some audio back). Valid until the next call. 0 on failure.
// Never allocates once the buffers have grown to the largest call's need.
int mp3_encode(Mp3Encoder& encoder, const int16_t* samples, uint32_t sample_count);
// Ends the stream: every frame LAME still holds, in encoder.out. 0 on failure.
int mp3_flush(Mp3Encoder& encoder);
// Safe on a cleared or failed record.
void mp3_close(Mp3Encoder& encoder);

// The format block of the encoder's stream (MPEGLAYER3WAVEFORMAT, 30 bytes).
MPEGLAYER3WAVEFORMAT mp3_wave_format(const Mp3Encoder& encoder);
// The stream information AVI files carry for a constant-rate MP3 stream: one
// byte a sample, rate the bytes per second.
AVISTREAMINFOA mp3_stream_info(const Mp3Encoder& encoder);
