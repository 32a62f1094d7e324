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

// The key frame that replaces a rejected delta frame, in the frame's own buffer.
int redo_as_key(OutputWriter& w, PipelineFrame& f) {
    compressor_force_key(w.compressor);
    int is_key = 0;
    DWORD size = 0;
    const int ok = compressor_encode(w.compressor, f.bits, f.buffer, is_key, size);
    f.is_key = is_key;
    f.size = size;
    return ok;
}

// The writer's last frame is the one that failed, as far as it came.
int fail_frame(OutputWriter& w, const PipelineFrame& f, OutputFailure why) {
    w.last_is_key = f.is_key;
    w.last_size = f.size;
    return fail(w, why);
}

}  // namespace

int pipeline_compress(OutputWriter& w, PipelineFrame& f) {
    if (!frame_fits(w, *f.header)) return fail(w, OutputFailure::bad_format);
    int is_key = 0;
    DWORD size = 0;
    const int compressed = compressor_encode(w.compressor, f.bits, f.buffer, is_key, size);
    f.is_key = is_key;
    f.size = size;
    f.rejected_size = 0;
    f.scene_change = 0;
    f.hit = 0;
    return compressed ? 1 : fail(w, OutputFailure::compress);
}

int pipeline_scene(OutputWriter& w, PipelineFrame& f) {
    if (f.is_key || w.scene_threshold == 0 || f.size <= static_cast<uint32_t>(w.scene_threshold)) return 1;
    f.rejected_size = f.size;
    f.scene_change = 1;
    return redo_as_key(w, f) ? 1 : fail(w, OutputFailure::compress);
}

void pipeline_check(OutputWriter& w, const EncodeSettings& settings, PipelineFrame& f) {
    verifier_decode(w.verifier, f.buffer, *f.header);
    f.hit = block_noise_scan(f.bits, w.verifier.picture, *f.header, settings.diff_threshold,
                             settings.pixel_threshold);
}

int pipeline_settle(OutputWriter& w, const EncodeSettings& settings, PipelineFrame& f) {
    char* const line = w.log_line;
    const size_t room = sizeof w.log_line;
    const int32_t n = f.n;
    if (f.scene_change) {
        std::snprintf(line, room, "%6d %6d  %s - seen changed (size %6d)\n", n, static_cast<int>(f.size), "***",
                      static_cast<int>(f.rejected_size));
    } else if (f.hit != 0) {
        if (!redo_as_key(w, f)) return fail_frame(w, f, OutputFailure::compress);
        const int32_t x = (f.hit >> 2) & 0xFFFF;
        const int32_t y = f.header->biHeight - (f.hit >> 18) - 8;
        std::snprintf(line, room, "%6d %6d  %s - bad block (X:%4d, Y:%4d)\n", n, static_cast<int>(f.size), "***", x,
                      y);
        // The verifier's picture still holds the rejected delta frame's decoding.
        if (settings.analyse_enabled)
            analysis_picture_write(f.bits, w.verifier.picture, *f.header, x, f.hit >> 18, settings.diff_threshold,
                                   settings.pixel_threshold, n);
    } else {
        // A key frame, asked for or chosen by the codec, is taken as it is; a
        // checked delta frame without block noise too.
        std::snprintf(line, room, "%6d %6d  %s\n", n, static_cast<int>(f.size), f.is_key ? "***" : "");
    }
    w.last_is_key = f.is_key;
    w.last_size = f.size;
    return 1;
}

void pipeline_resync(OutputWriter& w, const PipelineFrame& f) {
    // The decoder starts afresh on every key frame written, so that it holds
    // exactly what a player of the file will hold.
    if (f.is_key) verifier_restart(w.verifier, f.buffer, *f.header);
}

int pipeline_prepare_frame(OutputWriter& w, const EncodeSettings& settings, int32_t n, const BITMAPINFOHEADER* header,
                           const void* bits) {
    w.log_line[0] = 0;
    PipelineFrame f{n, header, bits, w.compressed_buffer, 0, 0, 0, 0, 0};
    // As the codec likes; a delta frame too large for one is a scene change,
    // redone as key frame unchecked.
    if (!pipeline_compress(w, f) || !pipeline_scene(w, f)) return fail_frame(w, f, w.failure);
    // Any other delta frame is decoded as a player would and looked at for block noise.
    if (!f.is_key) pipeline_check(w, settings, f);
    if (!pipeline_settle(w, settings, f)) return 0;
    pipeline_resync(w, f);
    return 1;
}

int pipeline_commit(OutputWriter& w, EncodeLog* log, const PipelineFrame& f) {
    // Frame n at position n.
    if (AVIStreamWrite(w.stream, f.n, 1, f.buffer, static_cast<LONG>(f.size), f.is_key ? AVIIF_KEYFRAME : 0,
                       nullptr, nullptr) != AVIERR_OK)
        return fail(w, OutputFailure::write);
    // One line per frame in the file, on disk at once: a run that is killed
    // keeps its log up to the last frame.
    if (log && log->file) {
        std::fputs(w.log_line, log->file);
        std::fflush(log->file);
    }
    return 1;
}

int pipeline_commit_frame(OutputWriter& w, EncodeLog* log, int32_t n) {
    return pipeline_commit(w, log, PipelineFrame{n, nullptr, nullptr, w.compressed_buffer, w.last_is_key, w.last_size,
                                                 0, 0, 0});
}

int pipeline_process_frame(OutputWriter& w, const EncodeSettings& settings, EncodeLog* log, int32_t n,
                           const BITMAPINFOHEADER* header, const void* bits) {
    if (!pipeline_prepare_frame(w, settings, n, header, bits)) return 0;
    if (!w.file && !output_create_file(w)) return 0;
    return pipeline_commit_frame(w, log, n);
}
