// The audio decoder of a build without FFmpeg's audio libraries (a Windows
// build whose FFmpeg DLLs were not built): every format is refused at the
// open, so that keeping audio as MP3 fails before any output exists.
#include "console/audio_decode.h"

#include <cstdio>

AudioDecoder* audio_decoder_open(const void*, uint32_t, char* why, size_t why_size) {
    if (why && why_size) std::snprintf(why, why_size, "no audio decoders in this build");
    return nullptr;
}

uint32_t audio_decoder_rate(const AudioDecoder*) { return 0; }

uint16_t audio_decoder_channels(const AudioDecoder*) { return 0; }

int audio_decoder_push(AudioDecoder*, const void*, uint32_t, const int16_t** samples, uint32_t* count) {
    if (samples) *samples = nullptr;
    if (count) *count = 0;
    return 0;
}

int audio_decoder_drain(AudioDecoder*, const int16_t** samples, uint32_t* count) {
    if (samples) *samples = nullptr;
    if (count) *count = 0;
    return 0;
}

void audio_decoder_close(AudioDecoder*) {}
