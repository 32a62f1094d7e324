#include "engine/session.h"

#include <cstdlib>

namespace {

// On Windows names that differ only in case are one file.
bool same_name(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
        if (!x) return true;
    }
}

// The output file, then the log beside it.
int create_files(EncodeSession& session) {
    if (!output_create_file(session.writer)) {
        session.failure = session.writer.failure;
        return 0;
    }
    if (session.settings.log_enabled) {
        session.log = log_open(session.writer.output_path, session.settings);
        session.log_missing = session.log.name && !session.log.file;
    }
    return 1;
}

}  // namespace

int session_open(EncodeSession& session, const char* output_path, const AVISTREAMINFOA& stream_info,
                 const BITMAPINFOHEADER& format, const EncodeSettings& settings) {
    session = EncodeSession{};
    session.settings = settings;
    session.failed_frame = -1;
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
    if (!output_open(output_path, stream_info, format, session.settings, session.writer)) {
        session.failure = session.writer.failure;
        return 0;
    }
    return 1;
}

void session_request_key(EncodeSession& session) { compressor_force_key(session.writer.compressor); }

int session_encode_frame(EncodeSession& session, int32_t n, const BITMAPINFOHEADER* header, const void* bits) {
    OutputWriter& w = session.writer;
    if (pipeline_prepare_frame(w, session.settings, n, header, bits) && (w.file || create_files(session)) &&
        pipeline_commit_frame(w, &session.log, n))
        return 1;
    session.failure = w.failure;
    session.failed_frame = n;
    return 0;
}

int session_close(EncodeSession& session) {
    int created = 1;
    // Opened, nothing failed, no frame came: the run still leaves its (empty) file.
    if (session.writer.output_path && !session.writer.file && session.failure == OutputFailure::none)
        created = create_files(session);
    log_close(session.log);
    return output_close(session.writer) && created;
}
