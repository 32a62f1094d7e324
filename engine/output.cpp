#include "engine/output.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

BITMAPINFOHEADER* copy_header(const BITMAPINFOHEADER& format) {
    auto* copy = static_cast<BITMAPINFOHEADER*>(std::malloc(format.biSize));
    if (copy) std::memcpy(copy, &format, format.biSize);
    return copy;
}

template <typename T>
void free_block(T*& block) {
    if (block) {
        std::free(block);
        block = nullptr;
    }
}

// Releases what is set, in this order: the file is complete on disk before
// the codec and the decoder go. Answers 0 when completing the file failed.
int release(OutputWriter& w) {
    int completed = 1;
    // The MP3 encoders' last frames belong to frames in the file.
    if (w.file && !output_audio_finish(w.audio)) completed = 0;
    output_audio_release_streams(w.audio);
    if (w.stream) {
        AVIStreamRelease(w.stream);
        w.stream = nullptr;
    }
    if (w.file) {
        if (AVIFileRelease(w.file) != 0) completed = 0;
        w.file = nullptr;
    }
    free_block(w.output_path);
    free_block(w.uncompressed_format);
    free_block(w.compressed_format);
    free_block(w.compressed_buffer);
    if (w.compressor.hic) compressor_close(w.compressor);
    verifier_close(w.verifier);
    analysis_files_release(w.analysis);
    output_audio_release(w.audio);
    return completed;
}

int refuse(OutputWriter& w, OutputFailure why) {
    release(w);
    w.failure = why;
    return 0;
}

OutputFailure failure_of(CompressorFailure f) {
    switch (f) {
    case CompressorFailure::bad_format: return OutputFailure::bad_format;
    case CompressorFailure::memory: return OutputFailure::memory;
    default: return OutputFailure::codec_unavailable;
    }
}

// width * height / 16 * level, the division first and truncating toward zero.
// Wider arithmetic so that huge frames or levels can't overflow; the result
// stays within 32 bits.
int32_t scene_threshold_of(const BITMAPINFOHEADER& format, int32_t scene_level) {
    const int64_t t = static_cast<int64_t>(format.biWidth) * format.biHeight / 16 * scene_level;
    if (t > (std::numeric_limits<int32_t>::max)()) return (std::numeric_limits<int32_t>::max)();
    if (t < (std::numeric_limits<int32_t>::min)()) return (std::numeric_limits<int32_t>::min)();
    return static_cast<int32_t>(t);
}

}  // namespace

int output_open(const char* output_path, const AVISTREAMINFOA& stream_info, const BITMAPINFOHEADER& format,
                const EncodeSettings& settings, OutputWriter& writer, NameCoding coding) {
    const DWORD scale = stream_info.dwScale;
    const DWORD rate = stream_info.dwRate;
    writer = OutputWriter{};

    // A rate or scale of 0 is no frame rate; a header shorter than its own record can't be copied as one.
    writer.buffer_size = frame_buffer_bytes(format);
    if (!encode_size_fits(format.biWidth, format.biHeight)) return refuse(writer, OutputFailure::too_large);
    if (scale == 0 || rate == 0 || format.biSize < sizeof(BITMAPINFOHEADER) || writer.buffer_size == 0)
        return refuse(writer, OutputFailure::bad_format);

    writer.stream_info = stream_info;
    writer.stream_info.fccHandler = settings.codec;
    writer.uncompressed_format = copy_header(format);
    writer.compressed_format = copy_header(format);
    if (!writer.uncompressed_format || !writer.compressed_format) return refuse(writer, OutputFailure::memory);
    writer.compressed_format->biCompression = settings.codec;

    if (!compressor_open(writer.compressor, *writer.uncompressed_format, settings.codec, settings.bit_rate,
                         settings.key_seconds, settings.compression_control, scale, rate))
        return refuse(writer, failure_of(writer.compressor.failure));
    compressor_declare_check(writer.compressor, settings.diff_threshold, settings.pixel_threshold);

    // Without a working decoder no delta frame could be checked.
    // buffer_size covers rows padded to 4 bytes as well as biSizeImage.
    if (!verifier_open(writer.verifier, writer.stream_info.fccHandler, *writer.compressed_format,
                       *writer.uncompressed_format, writer.buffer_size))
        return refuse(writer, writer.verifier.failure == VerifierFailure::memory ? OutputFailure::memory
                                                                               : OutputFailure::decoder_unavailable);
    writer.compressed_buffer = static_cast<uint8_t*>(std::calloc(writer.buffer_size, 1));
    if (!writer.compressed_buffer) return refuse(writer, OutputFailure::memory);

    writer.scene_threshold = scene_threshold_of(format, settings.scene_level);
    writer.output_path = static_cast<char*>(std::malloc(std::strlen(output_path) + 1));
    if (!writer.output_path) return refuse(writer, OutputFailure::memory);
    std::strcpy(writer.output_path, output_path);
    writer.output_coding = coding;
    return 1;
}

int output_create_file(OutputWriter& writer) {
    // Exclusive: a second run writing the same file would leave a mix of both.
    if (file_open_avi(&writer.file, writer.output_path, writer.output_coding,
                      OF_WRITE | OF_CREATE | OF_SHARE_EXCLUSIVE) != AVIERR_OK) {
        writer.file = nullptr;
        writer.failure = OutputFailure::file_open;
        return 0;
    }
    // Without its stream and format the file could take no frame.
    if (AVIFileCreateStreamA(writer.file, &writer.stream, &writer.stream_info) != AVIERR_OK || !writer.stream) {
        writer.stream = nullptr;
        writer.failure = OutputFailure::file_open;
        return 0;
    }
    if (AVIStreamSetFormat(writer.stream, 0, writer.compressed_format,
                           static_cast<LONG>(writer.compressed_format->biSize)) != AVIERR_OK ||
        !output_audio_create_streams(writer.audio, writer.file)) {
        writer.failure = OutputFailure::file_open;
        return 0;
    }
    return 1;
}

int output_reencode_key(OutputWriter& writer, const void* source_bits) {
    compressor_force_key(writer.compressor);
    int is_key = 0;
    DWORD size = 0;
    const int ok = compressor_encode(writer.compressor, source_bits, writer.compressed_buffer, is_key, size);
    writer.last_is_key = is_key;
    writer.last_size = size;
    return ok;
}

int output_close(OutputWriter& writer) { return release(writer); }

BITMAPINFOHEADER make_rgb24_format(int32_t width, int32_t height) {
    BITMAPINFOHEADER f{};
    f.biSize = sizeof(BITMAPINFOHEADER);
    f.biWidth = width;
    f.biHeight = height;
    f.biPlanes = 1;
    f.biBitCount = 24;
    f.biCompression = BI_RGB;
    // Rows padded to 4 bytes, as in every DIB.
    f.biSizeImage = dib_stride(width, 24) * static_cast<DWORD>(height);
    f.biXPelsPerMeter = 2048;
    f.biYPelsPerMeter = 2048;
    return f;
}

AVISTREAMINFOA make_video_stream_info(int32_t width, int32_t height, int32_t rate, int32_t scale) {
    AVISTREAMINFOA si{};
    si.fccType = streamtypeVIDEO;
    si.fccHandler = mmioFOURCC('D', 'I', 'B', ' ');
    si.dwScale = static_cast<DWORD>(scale);
    si.dwRate = static_cast<DWORD>(rate);
    si.rcFrame.left = 0;
    si.rcFrame.top = 0;
    si.rcFrame.right = width;
    si.rcFrame.bottom = height;
    return si;
}
