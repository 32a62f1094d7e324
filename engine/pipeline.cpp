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

// The key frame that replaces a rejected delta frame, in compressed_buffer.
int redo_as_key(OutputWriter& w, PipelineFrame& f) {
    const int ok = output_reencode_key(w, f.bits);
    f.is_key = w.last_is_key;
    f.size = w.last_size;
    return ok;
}

// The top row of the noisy block counted from the top of the picture.
int32_t bad_block_top(const PipelineFrame& f) { return f.header->biHeight - bad_block_row(f.hit) - 8; }

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

void pipeline_take(OutputWriter& w, const PipelineFrame& f) {
    w.last_is_key = f.is_key;
    w.last_size = f.size;
}

int pipeline_redo_scene_change(OutputWriter& w, PipelineFrame& f) {
    if (f.is_key || w.scene_threshold == 0 || f.size <= static_cast<uint32_t>(w.scene_threshold)) return 1;
    f.rejected_size = f.size;
    f.scene_change = 1;
    return redo_as_key(w, f) ? 1 : fail(w, OutputFailure::compress);
}

void pipeline_check(OutputWriter& w, const EncodeSettings& settings, PipelineFrame& f) {
    verifier_decode(w.verifier, f.buffer, f.size, *f.header);
    f.hit = block_noise_scan(f.bits, w.verifier.picture, *f.header, settings.diff_threshold,
                             settings.pixel_threshold);
}

int pipeline_redo_bad_block(OutputWriter& w, const EncodeSettings& settings, PipelineFrame& f) {
    if (f.hit == 0) return 1;
    if (!redo_as_key(w, f)) return fail(w, OutputFailure::compress);
    // The verifier's picture still holds the rejected delta frame's decoding.
    if (settings.analyse_enabled)
        analysis_picture_write_kept_apart(w.analysis, f.bits, w.verifier.picture, *f.header, bad_block_x(f.hit),
                                          bad_block_row(f.hit), settings.diff_threshold, settings.pixel_threshold,
                                          f.n);
    return 1;
}

void pipeline_restart_verifier(OutputWriter& w, const PipelineFrame& f) {
    if (f.is_key) verifier_restart(w.verifier, f.buffer, f.size, *f.header);
}

int pipeline_create_files(OutputWriter& w, const EncodeSettings& settings, EncodeLog* log) {
    if (!output_create_file(w)) return 0;
    if (log && settings.log_enabled && !log->file && !log->name) *log = log_open(w.output_path, settings, w.output_coding);
    return 1;
}

int pipeline_write(OutputWriter& w, const EncodeSettings& settings, EncodeLog* log, const PipelineFrame& f) {
    if (!w.file && !pipeline_create_files(w, settings, log)) return 0;
    // The frame's audio goes just ahead of it.
    if (!output_audio_write_queued(w.audio)) return fail(w, OutputFailure::write);
    // Frame n at position n.
    if (AVIStreamWrite(w.stream, f.n, 1, f.buffer, static_cast<LONG>(f.size), f.is_key ? AVIIF_KEYFRAME : 0,
                       nullptr, nullptr) != AVIERR_OK)
        return fail(w, OutputFailure::write);
    if (!log) return 1;
    if (f.scene_change)
        log_frame_scene_change(*log, f.n, f.size, f.rejected_size);
    else if (f.hit != 0)
        log_frame_bad_block(*log, f.n, f.size, bad_block_x(f.hit), bad_block_top(f));
    else
        // A key frame, asked for or chosen by the codec, is taken as it is; a
        // checked delta frame without block noise too.
        log_frame_kept(*log, f.n, f.size, f.is_key);
    return 1;
}

int pipeline_process_frame(OutputWriter& w, const EncodeSettings& settings, EncodeLog* log, int32_t n,
                           const BITMAPINFOHEADER* header, const void* bits) {
    PipelineFrame f{n, header, bits, w.compressed_buffer, 0, 0, 0, 0, 0};
    const int compressed = pipeline_compress(w, f);
    pipeline_take(w, f);  // a frame that failed counts as far as it came
    if (!compressed || !pipeline_redo_scene_change(w, f)) return 0;
    // Any other delta frame is decoded as a player would and looked at for block noise.
    if (!f.is_key) pipeline_check(w, settings, f);
    if (!pipeline_redo_bad_block(w, settings, f)) return 0;
    pipeline_restart_verifier(w, f);
    return pipeline_write(w, settings, log, f);
}
