#include "engine/session.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/ascii.h"

namespace {

// On Windows names that differ only in case are one file.
bool same_name(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b)) return false;
        if (!*a) return true;
    }
}

// The frame went into the file; the log may have been made with it.
int written(EncodeSession& session) {
    session.log_missing = session.log.name && !session.log.file;
    return 1;
}

int failed(EncodeSession& session, int32_t n) {
    session.failure = session.writer.failure;
    session.failed_frame = n;
    session.log_missing = session.log.name && !session.log.file;
    return 0;
}

// A codec driver recognises a redo by its picture, so frame n + 1 is only
// compressed ahead when its picture differs from frame n's: a redo of n is
// then never mistaken for one of n + 1.
bool same_picture(const BITMAPINFOHEADER& a, const void* a_bits, const BITMAPINFOHEADER& b, const void* b_bits) {
    const uint64_t extent = dib_frame_bytes(a);
    return extent == dib_frame_bytes(b) && std::memcmp(a_bits, b_bits, extent) == 0;
}

// Frame f, compressed into the spare buffer, becomes the writer's frame: the
// two buffers change places, so that the redo steps find it in
// compressed_buffer, and the frame before (which the checker may still be
// restarting the verifier on) is left alone in the spare one.
void take_from_spare(EncodeSession& session, PipelineFrame& f) {
    OutputWriter& w = session.writer;
    std::swap(w.compressed_buffer, session.spare_buffer);
    f.buffer = w.compressed_buffer;
    pipeline_take(w, f);
}

void check_job(void* arg) {
    auto& session = *static_cast<EncodeSession*>(arg);
    pipeline_check(session.writer, session.settings, session.job_frame);
}

void resync_job(void* arg) {
    auto& session = *static_cast<EncodeSession*>(arg);
    pipeline_restart_verifier(session.writer, session.job_frame);
}

// The second thread and buffer, at the first overlapped frame; without them
// the run goes on one frame at a time.
bool overlap_ready(EncodeSession& session) {
    if (!session.overlap) return false;
    if (session.checker) return true;
    session.spare_buffer = static_cast<uint8_t*>(std::calloc(session.writer.buffer_size, 1));
    if (session.spare_buffer) session.checker = check_thread_start();
    if (!session.checker) {
        std::free(session.spare_buffer);
        session.spare_buffer = nullptr;
        session.overlap = 0;
    }
    return session.checker != nullptr;
}

// The output and, when logging, the log are never written over by a picture.
bool keep_apart_from_pictures(EncodeSession& session, const char* output_path, NameCoding coding) {
    AnalysisFiles& files = session.writer.analysis;
    if (!analysis_files_keep(files, AnalysisKept::output, output_path, coding)) return false;
    if (!session.settings.log_enabled) return true;
    char* log_name = path_replace_extension(output_path, ".log");
    const bool kept = log_name && analysis_files_keep(files, AnalysisKept::log, log_name, coding);
    std::free(log_name);
    return kept;
}

// session_open for a name in either coding: the log's name and every check
// on the names work alike on UTF-8 and on the system's code page.
int open_named(EncodeSession& session, const char* output_path, NameCoding coding,
               const AVISTREAMINFOA& stream_info, const BITMAPINFOHEADER& format) {
    if (session.settings.log_enabled) {
        // An output named *.log would be its own log: both written into one file.
        char* log_name = path_replace_extension(output_path, ".log");
        const bool same = log_name && same_name(log_name, output_path);
        std::free(log_name);
        if (same) {
            session.failure = OutputFailure::log_is_output;
            return 0;
        }
    }
    if (!output_open(output_path, stream_info, format, session.settings, session.writer, coding)) {
        session.failure = session.writer.failure;
        return 0;
    }
    if (session.settings.analyse_enabled && !keep_apart_from_pictures(session, output_path, coding)) {
        output_close(session.writer);
        session.failure = OutputFailure::memory;
        return 0;
    }
    // Any other codec gets exactly one frame at a time, in the order it always had.
    session.overlap = icm_builtin_compressor(session.settings.codec);
    return 1;
}

void clear(EncodeSession& session, const EncodeSettings& settings) {
    session = EncodeSession{};
    session.settings = settings;
    session.failed_frame = -1;
}

}  // namespace

int session_open(EncodeSession& session, const char* output_path, const AVISTREAMINFOA& stream_info,
                 const BITMAPINFOHEADER& format, const EncodeSettings& settings) {
    clear(session, settings);
    return open_named(session, output_path, NameCoding::system, stream_info, format);
}

int session_open_wide(EncodeSession& session, const WCHAR* output_path, const AVISTREAMINFOA& stream_info,
                      const BITMAPINFOHEADER& format, const EncodeSettings& settings) {
    clear(session, settings);
    int unpaired = 0;
    char* name = file_name_from_wide(output_path, &unpaired);
    if (!name) {
        session.failure = unpaired ? OutputFailure::bad_name : OutputFailure::memory;
        return 0;
    }
    const int opened = open_named(session, name, NameCoding::utf8, stream_info, format);
    std::free(name);  // the writer keeps its own copy
    return opened;
}

int session_keep_input(EncodeSession& session, const char* input_path) {
    if (!session.settings.analyse_enabled) return 1;
    if (analysis_files_keep(session.writer.analysis, AnalysisKept::input, input_path)) return 1;
    session.failure = OutputFailure::memory;
    return 0;
}

void session_request_key(EncodeSession& session) { compressor_force_key(session.writer.compressor); }

int session_encode_frame(EncodeSession& session, int32_t n, const BITMAPINFOHEADER* header, const void* bits) {
    if (pipeline_process_frame(session.writer, session.settings, &session.log, n, header, bits))
        return written(session);
    return failed(session, n);
}

int session_encode_frame_ahead(EncodeSession& session, int32_t n, const BITMAPINFOHEADER* header, const void* bits,
                               const BITMAPINFOHEADER* next_header, const void* next_bits) {
    if (!overlap_ready(session)) return session_encode_frame(session, n, header, bits);
    OutputWriter& w = session.writer;
    // pipeline_process_frame's steps, with the check on the second thread.
    PipelineFrame f{};
    if (session.have_ahead && session.ahead.n == n && session.ahead.bits == bits) {
        f = session.ahead;
        session.have_ahead = 0;
        take_from_spare(session, f);
        if (session.ahead_failure != OutputFailure::none) {
            w.failure = session.ahead_failure;
            return failed(session, n);
        }
    } else {
        session.have_ahead = 0;
        f = PipelineFrame{n, header, bits, session.spare_buffer, 0, 0, 0, 0, 0};
        const int compressed = pipeline_compress(w, f);
        take_from_spare(session, f);
        if (!compressed) return failed(session, n);
    }
    // The checker may still be restarting the verifier on frame n - 1, from
    // the spare buffer; the scene test needs only the compressor.
    if (!pipeline_redo_scene_change(w, f)) return failed(session, n);
    check_thread_wait(session.checker);

    if (!f.is_key) {
        session.job_frame = f;
        check_thread_post(session.checker, check_job, &session);
        if (next_bits && !same_picture(*header, bits, *next_header, next_bits)) {
            // Frame n + 1 as if n passes; its scene test waits for its turn.
            PipelineFrame& a = session.ahead;
            a = PipelineFrame{n + 1, next_header, next_bits, session.spare_buffer, 0, 0, 0, 0, 0};
            session.ahead_failure = OutputFailure::none;
            if (!pipeline_compress(w, a)) session.ahead_failure = w.failure;
            session.have_ahead = 1;
        }
        check_thread_wait(session.checker);
        f.hit = session.job_frame.hit;
        if (f.hit != 0 && session.have_ahead) {
            // Frame n is redone as key frame: what was compressed after it
            // goes, and the codec takes it back when it sees the redo.
            session.have_ahead = 0;
            session.thrown_away += 1;
        }
    }
    if (!pipeline_redo_bad_block(w, session.settings, f)) return failed(session, n);
    if (f.is_key) {
        // The restart may run past this call, when the caller's frame is
        // gone: it needs only the compressed bytes and a copy of the header.
        session.job_header = *f.header;
        session.job_frame = f;
        session.job_frame.header = &session.job_header;
        session.job_frame.bits = nullptr;
        check_thread_post(session.checker, resync_job, &session);
    }
    if (pipeline_write(w, session.settings, &session.log, f)) return written(session);
    return failed(session, n);
}

int session_add_audio(EncodeSession& session, const AudioStreamDescription& description) {
    int refused = 0;
    if (!output_audio_add(session.writer.audio, description, &refused)) {
        session.failure = refused ? OutputFailure::audio_encoder : OutputFailure::memory;
        return -1;
    }
    return static_cast<int>(session.writer.audio.count - 1);
}

int session_queue_audio(EncodeSession& session, uint32_t stream, const void* data, uint32_t bytes,
                        uint32_t samples) {
    if (output_audio_queue(session.writer.audio, stream, data, bytes, samples)) return 1;
    session.failure = OutputFailure::memory;
    return 0;
}

uint32_t session_last_bytes(const EncodeSession& session) {
    return session.writer.last_size + session.writer.audio.last_bytes;
}

int session_close(EncodeSession& session) {
    check_thread_stop(session.checker);
    session.checker = nullptr;
    std::free(session.spare_buffer);
    session.spare_buffer = nullptr;
    session.have_ahead = 0;
    // A run that wrote no frame (none asked for, or stopped before the first)
    // makes nothing: an existing file of the output's or the log's name stays.
    log_close(session.log);
    return output_close(session.writer);
}
