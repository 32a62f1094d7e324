#include "engine/pipeline.h"

#include "engine/analysis.h"
#include "engine/detector.h"

namespace {

// The decoder writes into its picture as the frame's header says and the
// scan reads both frames by it: a frame laid out otherwise than the writer was
// opened for would run past the buffers.
bool frame_fits(const OutputWriter& w, const BITMAPINFOHEADER& header) {
    const BITMAPINFOHEADER& f = *w.uncompressed_format;
    return header.biWidth == f.biWidth && header.biHeight == f.biHeight && header.biBitCount == f.biBitCount;
}

int fail(OutputWriter& w, OutputFailure why) {
    w.failure = why;
    return 0;
}

}  // namespace

int pipeline_prepare_frame(OutputWriter& w, const EncodeSettings& settings, int32_t n, const BITMAPINFOHEADER* header,
                           const void* bits) {
    char* const line = w.log_line;
    const size_t room = sizeof w.log_line;
    line[0] = 0;
    if (!frame_fits(w, *header)) return fail(w, OutputFailure::bad_format);

    // 1. As the codec likes.
    int is_key = 0;
    DWORD size = 0;
    const int compressed = compressor_encode(w.compressor, bits, w.compressed_buffer, is_key, size);
    w.last_is_key = is_key;
    w.last_size = size;
    if (!compressed) return fail(w, OutputFailure::compress);

    if (w.last_is_key) {
        // 2. A key frame, asked for or chosen by the codec, is taken as it is.
        std::snprintf(line, room, "%6d %6d  %s\n", n, static_cast<int>(w.last_size), "***");
    } else if (w.scene_threshold != 0 && w.last_size > static_cast<uint32_t>(w.scene_threshold)) {
        // 3. Too large for a delta frame: a scene change, redone as key frame unchecked.
        const uint32_t rejected_size = w.last_size;
        if (!output_reencode_key(w, bits)) return fail(w, OutputFailure::compress);
        std::snprintf(line, room, "%6d %6d  %s - seen changed (size %6d)\n", n, static_cast<int>(w.last_size), "***",
                      static_cast<int>(rejected_size));
    } else {
        // 4. Decode the delta frame as a player would, 5. and look for block noise.
        verifier_decode(w.verifier, w.compressed_buffer, *header);
        const BadBlockHit hit =
            block_noise_scan(bits, w.verifier.picture, *header, settings.diff_threshold, settings.pixel_threshold);
        if (hit != 0) {
            if (!output_reencode_key(w, bits)) return fail(w, OutputFailure::compress);
            const int32_t x = (hit >> 2) & 0xFFFF;
            const int32_t y = header->biHeight - (hit >> 18) - 8;
            std::snprintf(line, room, "%6d %6d  %s - bad block (X:%4d, Y:%4d)\n", n, static_cast<int>(w.last_size),
                          "***", x, y);
            // The verifier's picture still holds the rejected delta frame's decoding.
            if (settings.analyse_enabled)
                analysis_picture_write(bits, w.verifier.picture, *header, x, hit >> 18, settings.diff_threshold,
                                       settings.pixel_threshold, n);
        } else {
            std::snprintf(line, room, "%6d %6d  %s\n", n, static_cast<int>(w.last_size), "");
        }
    }

    // 6. The decoder starts afresh on every key frame written, so that it
    // holds exactly what a player of the file will hold.
    if (w.last_is_key) verifier_restart(w.verifier, w.compressed_buffer, *header);
    return 1;
}

int pipeline_commit_frame(OutputWriter& w, EncodeLog* log, int32_t n) {
    // 7. Frame n at position n.
    if (AVIStreamWrite(w.stream, n, 1, w.compressed_buffer, static_cast<LONG>(w.last_size),
                       w.last_is_key ? AVIIF_KEYFRAME : 0, nullptr, nullptr) != AVIERR_OK)
        return fail(w, OutputFailure::write);
    // One line per frame in the file, on disk at once: a run that is killed
    // keeps its log up to the last frame.
    if (log && log->file) {
        std::fputs(w.log_line, log->file);
        std::fflush(log->file);
    }
    return 1;
}

int pipeline_process_frame(OutputWriter& w, const EncodeSettings& settings, EncodeLog* log, int32_t n,
                           const BITMAPINFOHEADER* header, const void* bits) {
    if (!pipeline_prepare_frame(w, settings, n, header, bits)) return 0;
    if (!w.file && !output_create_file(w)) return 0;
    return pipeline_commit_frame(w, log, n);
}
