#include "engine/output_audio.h"

#include <cstdlib>
#include <cstring>

#include "common/grow.h"

namespace {

int write_chunk(OutputAudioStream& s, const void* data, uint32_t bytes, uint32_t samples) {
    if (bytes == 0) return 1;
    // Audio chunks are all key frames: any of them can start playback. Each
    // is appended (start -1): some AVIFile implementations refuse an audio
    // write at a position, even at the stream's end.
    return AVIStreamWrite(s.stream, -1, static_cast<LONG>(samples), const_cast<void*>(data),
                          static_cast<LONG>(bytes), AVIIF_KEYFRAME, nullptr, nullptr) == AVIERR_OK;
}

// The encoder's whole frames of its last call: a byte a sample.
int write_encoded(OutputAudioStream& s, uint32_t& written) {
    const uint32_t bytes = s.encoder.out_bytes;
    if (!write_chunk(s, s.encoder.out, bytes, bytes)) return 0;
    written += bytes;
    return 1;
}

}  // namespace

int output_audio_add(OutputAudio& audio, const AudioStreamDescription& description, int* encoder_refused) {
    if (encoder_refused) *encoder_refused = 0;
    auto* streams = static_cast<OutputAudioStream*>(
        std::realloc(audio.streams, (audio.count + 1) * sizeof(OutputAudioStream)));
    if (!streams) return 0;
    audio.streams = streams;
    OutputAudioStream& s = streams[audio.count];
    s = OutputAudioStream{};
    s.info = description.info;
    s.info.fccType = streamtypeAUDIO;
    // What the file holds is counted as it is written.
    s.info.dwLength = 0;
    s.info.dwSuggestedBufferSize = 0;
    s.info.dwInitialFrames = 0;
    if (description.mp3_kbps) {
        WAVEFORMATEX pcm{};
        if (description.format_size >= sizeof pcm) std::memcpy(&pcm, description.format, sizeof pcm);
        if (pcm.wFormatTag != WAVE_FORMAT_PCM || pcm.wBitsPerSample != 16 || pcm.nChannels < 1 ||
            pcm.nChannels > 2 ||
            !mp3_open(s.encoder, static_cast<int32_t>(pcm.nSamplesPerSec), pcm.nChannels, description.mp3_kbps)) {
            if (encoder_refused) *encoder_refused = 1;
            return 0;
        }
        s.mp3 = 1;
        const MPEGLAYER3WAVEFORMAT mp3 = mp3_wave_format(s.encoder);
        AVISTREAMINFOA info = mp3_stream_info(s.encoder);
        // The stream keeps the input's start (the same time, in the MP3
        // stream's units), name and language.
        if (s.info.dwRate && info.dwScale) {
            const uint64_t scale = uint64_t{s.info.dwScale} * info.dwRate;
            const uint64_t rate = uint64_t{s.info.dwRate} * info.dwScale;
            info.dwStart = static_cast<DWORD>((uint64_t{s.info.dwStart} * scale + rate / 2) / rate);
        }
        info.wLanguage = s.info.wLanguage;
        std::memcpy(info.szName, s.info.szName, sizeof info.szName);
        s.info = info;
        s.format_size = sizeof mp3;
        s.format = static_cast<uint8_t*>(std::malloc(sizeof mp3));
        if (s.format) std::memcpy(s.format, &mp3, sizeof mp3);
    } else {
        s.format_size = description.format_size;
        s.format = static_cast<uint8_t*>(std::malloc(description.format_size ? description.format_size : 1));
        if (s.format && description.format_size) std::memcpy(s.format, description.format, description.format_size);
    }
    if (!s.format) {
        mp3_close(s.encoder);
        return 0;
    }
    ++audio.count;
    return 1;
}

int output_audio_queue(OutputAudio& audio, uint32_t stream, const void* data, uint32_t bytes, uint32_t samples) {
    if (stream >= audio.count) return 1;
    if (!grow_buffer(audio.queued, audio.queued_capacity, uint64_t{audio.queued_count} + 1) ||
        !grow_buffer(audio.data, audio.data_capacity, audio.data_bytes + bytes))
        return 0;
    audio.queued[audio.queued_count++] = OutputAudioChunk{stream, samples, audio.data_bytes, bytes};
    if (bytes) std::memcpy(audio.data + audio.data_bytes, data, bytes);
    audio.data_bytes += bytes;
    return 1;
}

int output_audio_create_streams(OutputAudio& audio, PAVIFILE file) {
    for (uint32_t i = 0; i < audio.count; ++i) {
        OutputAudioStream& s = audio.streams[i];
        if (AVIFileCreateStreamA(file, &s.stream, &s.info) != AVIERR_OK || !s.stream) {
            s.stream = nullptr;
            return 0;
        }
        if (AVIStreamSetFormat(s.stream, 0, s.format, static_cast<LONG>(s.format_size)) != AVIERR_OK) return 0;
    }
    return 1;
}

int output_audio_write_queued(OutputAudio& audio) {
    audio.last_bytes = 0;
    int ok = 1;
    for (uint32_t i = 0; i < audio.queued_count && ok; ++i) {
        const OutputAudioChunk& c = audio.queued[i];
        OutputAudioStream& s = audio.streams[c.stream];
        const uint8_t* bytes = audio.data + c.offset;
        if (s.mp3) {
            ok = mp3_encode(s.encoder, reinterpret_cast<const int16_t*>(bytes), c.samples) &&
                 write_encoded(s, audio.last_bytes);
        } else {
            ok = write_chunk(s, bytes, c.bytes, c.samples);
            audio.last_bytes += c.bytes;
        }
    }
    output_audio_drop_queued(audio);
    return ok;
}

void output_audio_drop_queued(OutputAudio& audio) {
    audio.queued_count = 0;
    audio.data_bytes = 0;
}

int output_audio_finish(OutputAudio& audio) {
    int ok = 1;
    uint32_t written = 0;
    for (uint32_t i = 0; i < audio.count; ++i) {
        OutputAudioStream& s = audio.streams[i];
        if (s.mp3 && s.stream && !(mp3_flush(s.encoder) && write_encoded(s, written))) ok = 0;
    }
    return ok;
}

void output_audio_release_streams(OutputAudio& audio) {
    for (uint32_t i = 0; i < audio.count; ++i) {
        if (audio.streams[i].stream) AVIStreamRelease(audio.streams[i].stream);
        audio.streams[i].stream = nullptr;
    }
}

void output_audio_release(OutputAudio& audio) {
    output_audio_release_streams(audio);
    for (uint32_t i = 0; i < audio.count; ++i) {
        mp3_close(audio.streams[i].encoder);
        std::free(audio.streams[i].format);
    }
    std::free(audio.streams);
    std::free(audio.queued);
    std::free(audio.data);
    audio = OutputAudio{};
}
