#include "console/avi_audio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/grow.h"

namespace {

int no_memory() {
    errno = ENOMEM;
    return 0;
}

// The input position of the stream's next chunk: reads count from the
// stream's start (dwStart), the frame spans from its first sample.
LONG position_of(const AviAudioStream& s) { return static_cast<LONG>(s.info.dwStart + s.next); }

// How the next read asks: a stream with a sample size reads the rest of the
// chunk its position is in (AVISTREAMREAD_CONVENIENT), one without reads a
// chunk a sample. *bytes is what that read needs; 0 when there is nothing
// left to read (the end, or a read that fails).
//
// Some AVIFile implementations answer the size of a convenient read with 0
// bytes while samples remain; those read a count of samples across chunks,
// up to `want` (never past the span asked) and the stream's largest chunk.
LONG next_read(const AviAudioStream& s, int64_t want, LONG* bytes) {
    *bytes = 0;
    LONG samples = 0;
    if (!s.info.dwSampleSize) {
        if (AVIStreamRead(s.stream, position_of(s), 1, nullptr, 0, bytes, &samples) != AVIERR_OK) *bytes = 0;
        return 1;
    }
    if (AVIStreamRead(s.stream, position_of(s), AVISTREAMREAD_CONVENIENT, nullptr, 0, bytes, &samples) ==
            AVIERR_OK &&
        *bytes > 0)
        return AVISTREAMREAD_CONVENIENT;
    if (s.next >= static_cast<int64_t>(s.info.dwLength) || want <= 0) return 0;
    int64_t count = (s.info.dwSuggestedBufferSize ? s.info.dwSuggestedBufferSize : 65536) / s.info.dwSampleSize;
    if (count < 1) count = 1;
    if (count > want) count = want;
    if (count > static_cast<int64_t>(s.info.dwLength) - s.next) count = static_cast<int64_t>(s.info.dwLength) - s.next;
    *bytes = static_cast<LONG>(count * s.info.dwSampleSize);
    return static_cast<LONG>(count);
}

// The output stream of a decoded stream: 16-bit PCM of the decoder's rate and
// channels, starting where the input's starts.
AVISTREAMINFOA pcm_info(const AviAudioStream& s) {
    AVISTREAMINFOA info = audio_pcm_stream_info(s.pcm_format);
    if (s.info.dwRate) {
        info.dwStart = static_cast<DWORD>(static_cast<uint64_t>(s.info.dwStart) * s.info.dwScale *
                                          s.pcm_format.nSamplesPerSec / s.info.dwRate);
    }
    info.wLanguage = s.info.wLanguage;
    std::memcpy(info.szName, s.info.szName, sizeof info.szName);
    return info;
}

// A stream of fixed-size samples (PCM, or constant-rate audio stored a byte
// a sample) whose rate disagrees with its format's byte rate: some AVIFile
// implementations hand out such streams with the sample rate for dwRate
// whatever the format. The format's byte rate holds, so that the copy keeps
// its time and the frames' spans cut it where they should.
void repair_rate(AviAudioStream& s) {
    WAVEFORMATEX f{};
    std::memcpy(&f, s.format, s.format_size < sizeof f ? s.format_size : sizeof f);
    const DWORD size = s.info.dwSampleSize;
    if (size == 0 || f.nAvgBytesPerSec == 0 || f.nBlockAlign != size || s.info.dwScale == 0) return;
    if (uint64_t{s.info.dwRate} * size == uint64_t{s.info.dwScale} * f.nAvgBytesPerSec) return;
    s.info.dwScale = size;
    s.info.dwRate = f.nAvgBytesPerSec;
}

int refuse(AviAudio& audio, const char* what) {
    std::fprintf(stderr, "ERROR - Can't %s the audio of %s\n", what, audio.path);
    avi_audio_close(audio);
    return 0;
}

int open_stream(AviAudio& audio, PAVISTREAM stream) {
    // Counted at once: from here on the stream is closed with the others.
    AviAudioStream& s = audio.streams[audio.count++];
    s = AviAudioStream{};
    s.stream = stream;
    AVIStreamInfoA(stream, &s.info, sizeof s.info);
    LONG size = 0;
    if (AVIStreamReadFormat(stream, 0, nullptr, &size) != AVIERR_OK || size < static_cast<LONG>(sizeof(WORD)))
        return 0;
    s.format = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size) < sizeof(WAVEFORMATEX)
                                                     ? sizeof(WAVEFORMATEX)
                                                     : static_cast<size_t>(size),
                                                 1));
    if (!s.format) return no_memory();
    s.format_size = static_cast<uint32_t>(size);
    if (AVIStreamReadFormat(stream, 0, s.format, &size) != AVIERR_OK) return 0;
    repair_rate(s);
    // A stream that says it holds audio must give its first chunk.
    if (s.info.dwLength > 0) {
        LONG bytes = 0;
        next_read(s, 1, &bytes);
        if (bytes == 0) return 0;
    }
    return 1;
}

}  // namespace

int avi_audio_open(AviAudio& audio, PAVIFILE file, SourceAudio mode, const AVISTREAMINFOA& video,
                   int64_t frame_count, const char* path) {
    audio = AviAudio{};
    audio.mode = mode;
    audio.video = &video;
    audio.frame_count = frame_count;
    if (mode == SourceAudio::none) return 1;
    audio.path = static_cast<char*>(std::malloc(std::strlen(path) + 1));
    if (!audio.path) return no_memory();
    std::strcpy(audio.path, path);
    for (LONG n = 0;; ++n) {
        PAVISTREAM stream = nullptr;
        if (AVIFileGetStream(file, &stream, streamtypeAUDIO, n) != AVIERR_OK || !stream) break;
        auto* streams = static_cast<AviAudioStream*>(
            std::realloc(audio.streams, (audio.count + 1) * sizeof(AviAudioStream)));
        if (!streams) {
            AVIStreamRelease(stream);
            avi_audio_close(audio);
            return no_memory();
        }
        audio.streams = streams;
        errno = 0;
        if (!open_stream(audio, stream)) {
            if (errno == ENOMEM) {
                avi_audio_close(audio);
                return 0;
            }
            return refuse(audio, "read");
        }
    }
    audio.descriptions = static_cast<AudioStreamDescription*>(
        std::calloc(audio.count ? audio.count : 1, sizeof(AudioStreamDescription)));
    if (!audio.descriptions) {
        avi_audio_close(audio);
        return no_memory();
    }
    for (uint32_t i = 0; i < audio.count; ++i) {
        AviAudioStream& s = audio.streams[i];
        AudioStreamDescription& description = audio.descriptions[i];
        if (mode == SourceAudio::copy) {
            description.info = s.info;
            description.format = s.format;
            description.format_size = s.format_size;
            continue;
        }
        char why[160] = "";
        s.decoder = audio_decoder_open(s.format, s.format_size, why, sizeof why);
        if (!s.decoder) {
            std::fprintf(stderr, "ERROR - Can't decode the audio of %s (%s)\n", path, why);
            avi_audio_close(audio);
            return 0;
        }
        s.pcm_format = audio_pcm16_format(audio_decoder_rate(s.decoder), audio_decoder_channels(s.decoder));
        description.info = pcm_info(s);
        description.format = &s.pcm_format;
        description.format_size = sizeof s.pcm_format;
    }
    return 1;
}

namespace {

int add_chunk(AviAudio& audio, uint32_t stream, const void* data, uint32_t bytes, uint32_t samples) {
    if (bytes == 0) return 1;
    if (!grow_buffer(audio.chunks, audio.chunk_capacity, uint64_t{audio.chunk_count} + 1) ||
        !grow_buffer(audio.data, audio.data_capacity, audio.data_bytes + bytes))
        return no_memory();
    audio.chunks[audio.chunk_count++] =
        FrameAudioChunk{stream, static_cast<uint32_t>(audio.data_bytes), bytes, samples};
    std::memcpy(audio.data + audio.data_bytes, data, bytes);
    audio.data_bytes += bytes;
    return 1;
}

// The decoder's samples as one chunk of the output stream.
int add_pcm(AviAudio& audio, uint32_t stream, const int16_t* samples, uint32_t count) {
    const uint32_t channels = audio.streams[stream].pcm_format.nChannels;
    return add_chunk(audio, stream, samples, count * channels * 2, count);
}

// Reads the stream's chunks that start before end.
int read_stream(AviAudio& audio, uint32_t i, int64_t end) {
    AviAudioStream& s = audio.streams[i];
    while (!s.ended && s.next < end) {
        LONG size = 0;
        const LONG count = next_read(s, end - s.next, &size);
        if (size <= 0) {
            s.ended = 1;
            break;
        }
        // The chunk is read into the room after what the frame holds so far.
        if (!grow_buffer(audio.data, audio.data_capacity, audio.data_bytes + static_cast<uint64_t>(size))) return no_memory();
        uint8_t* room = audio.data + audio.data_bytes;
        LONG bytes = 0;
        LONG samples = 0;
        if (AVIStreamRead(s.stream, position_of(s), count, room, size, &bytes, &samples) != AVIERR_OK ||
            samples <= 0) {
            s.ended = 1;
            break;
        }
        s.next += samples;
        if (!s.decoder) {
            if (!grow_buffer(audio.chunks, audio.chunk_capacity, uint64_t{audio.chunk_count} + 1)) return no_memory();
            audio.chunks[audio.chunk_count++] = FrameAudioChunk{i, static_cast<uint32_t>(audio.data_bytes),
                                                                static_cast<uint32_t>(bytes),
                                                                static_cast<uint32_t>(samples)};
            audio.data_bytes += static_cast<uint64_t>(bytes);
            continue;
        }
        // Decoded samples land after the chunk, which is then no longer needed.
        const int16_t* pcm = nullptr;
        uint32_t decoded = 0;
        if (!audio_decoder_push(s.decoder, room, static_cast<uint32_t>(bytes), &pcm, &decoded)) return no_memory();
        if (!add_pcm(audio, i, pcm, decoded)) return 0;
    }
    return 1;
}

}  // namespace

int avi_audio_read_frame(AviAudio& audio, int64_t n) {
    audio.chunk_count = 0;
    audio.data_bytes = 0;
    audio.frame = FrameAudio{};
    for (uint32_t i = 0; i < audio.count; ++i) {
        AviAudioStream& s = audio.streams[i];
        const int64_t end = audio_frame_end(n, audio.frame_count, *audio.video, s.info);
        if (!read_stream(audio, i, end)) return 0;
        // The decoder's last samples go with the video's last frame.
        if (s.decoder && n + 1 == audio.frame_count) {
            const int16_t* pcm = nullptr;
            uint32_t decoded = 0;
            if (!audio_decoder_drain(s.decoder, &pcm, &decoded) || !add_pcm(audio, i, pcm, decoded)) return no_memory();
        }
    }
    audio.frame = FrameAudio{audio.chunks, audio.chunk_count, audio.data};
    return 1;
}

void avi_audio_close(AviAudio& audio) {
    for (uint32_t i = 0; i < audio.count; ++i) {
        AviAudioStream& s = audio.streams[i];
        audio_decoder_close(s.decoder);
        if (s.stream) AVIStreamRelease(s.stream);
        std::free(s.format);
    }
    std::free(audio.streams);
    std::free(audio.descriptions);
    std::free(audio.chunks);
    std::free(audio.data);
    std::free(audio.path);
    audio = AviAudio{};
}
