// Audio of an input made into 16-bit PCM of at most two channels, for the MP3
// encoder: PCM of any sample format passes through a converter, compressed
// audio (found by its format tag) is decoded first. Where no decoder for the
// tag is built in, the open says so, before any output exists.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/platform.h"

struct AudioDecoder;  // private to audio_decode.cpp

// Opens a decoder for a stream's format as stored (WAVEFORMATEX and its extra
// bytes). Null when it can't be decoded, with why (a short phrase such as
// "no decoder for audio format 0x2000") written to why.
AudioDecoder* audio_decoder_open(const void* format, uint32_t format_size, char* why, size_t why_size);
// The PCM the decoder gives: the input's sample rate, 1 or 2 channels (more
// are mixed down to stereo with the resampler's standard matrix).
uint32_t audio_decoder_rate(const AudioDecoder* decoder);
uint16_t audio_decoder_channels(const AudioDecoder* decoder);
// Decodes one chunk of the stream; its samples (of all channels) land in
// *samples / *count, valid until the next call. A chunk that can't be decoded
// gives no samples and answers 1 (damage in a stream is not the end of it);
// 0 only when memory runs out. No allocation once the buffers have grown
// (ours: libavcodec makes a few small ones of its own for each packet).
int audio_decoder_push(AudioDecoder* decoder, const void* chunk, uint32_t bytes, const int16_t** samples,
                       uint32_t* count);
// What the decoder still holds at the end of the stream, as push.
int audio_decoder_drain(AudioDecoder* decoder, const int16_t** samples, uint32_t* count);
// Safe on null.
void audio_decoder_close(AudioDecoder* decoder);
