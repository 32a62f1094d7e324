// The audio decoder of a build without FFmpeg's audio libraries (the Windows
// build): 16-bit PCM of one or two channels, which the MP3 encoder takes as
// it is, passes; every other format is refused at the open, so that keeping
// such audio as MP3 stops before any output exists.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/grow.h"
#include "console/audio_decode.h"

struct AudioDecoder {
    uint32_t rate;
    uint16_t channels;
    int16_t* samples;  // the last chunk's samples, aligned
    uint64_t capacity;
};

AudioDecoder* audio_decoder_open(const void* format, uint32_t format_size, char* why, size_t why_size) {
    WAVEFORMATEX f{};
    std::memcpy(&f, format, format_size < sizeof f ? format_size : sizeof f);
    if (format_size < 16 || f.wFormatTag != WAVE_FORMAT_PCM || f.wBitsPerSample != 16 || f.nChannels < 1 ||
        f.nChannels > 2 || f.nBlockAlign != f.nChannels * 2 || f.nSamplesPerSec == 0) {
        if (why && why_size)
            std::snprintf(why, why_size, "this build takes only 16-bit PCM of one or two channels to MP3");
        return nullptr;
    }
    auto* decoder = static_cast<AudioDecoder*>(std::calloc(1, sizeof(AudioDecoder)));
    if (!decoder) {
        if (why && why_size) std::snprintf(why, why_size, "out of memory");
        return nullptr;
    }
    decoder->rate = f.nSamplesPerSec;
    decoder->channels = f.nChannels;
    return decoder;
}

uint32_t audio_decoder_rate(const AudioDecoder* decoder) { return decoder->rate; }

uint16_t audio_decoder_channels(const AudioDecoder* decoder) { return decoder->channels; }

int audio_decoder_push(AudioDecoder* decoder, const void* chunk, uint32_t bytes, const int16_t** samples,
                       uint32_t* count) {
    const uint32_t block = decoder->channels * 2u;
    const uint32_t n = bytes / block;  // a torn last sample is left out
    if (!grow_buffer(decoder->samples, decoder->capacity, uint64_t{n} * decoder->channels)) return 0;
    if (n) std::memcpy(decoder->samples, chunk, size_t{n} * block);
    *samples = decoder->samples;
    *count = n;
    return 1;
}

int audio_decoder_drain(AudioDecoder*, const int16_t** samples, uint32_t* count) {
    *samples = nullptr;
    *count = 0;
    return 1;
}

void audio_decoder_close(AudioDecoder* decoder) {
    if (!decoder) return;
    std::free(decoder->samples);
    std::free(decoder);
}
