#include "engine/session.h"

int session_open(EncodeSession& session, const char* output_path, const AVISTREAMINFOA& stream_info,
                 const BITMAPINFOHEADER& format, const EncodeSettings& settings) {
    session = EncodeSession{};
    session.settings = settings;
    session.failed_frame = -1;
    if (!output_open(output_path, stream_info, format, session.settings, session.writer)) {
        session.failure = session.writer.failure;
        return 0;
    }
    if (session.settings.log_enabled) session.log = log_open(output_path, session.settings);
    return 1;
}

void session_request_key(EncodeSession& session) { compressor_force_key(session.writer.compressor); }

int session_encode_frame(EncodeSession& session, int32_t n, const BITMAPINFOHEADER* header, const void* bits) {
    if (pipeline_process_frame(session.writer, session.settings, &session.log, n, header, bits)) return 1;
    session.failure = session.writer.failure;
    session.failed_frame = n;
    return 0;
}

int session_close(EncodeSession& session) {
    log_close(session.log);
    return output_close(session.writer);
}
