#include "plugin/output.h"

#include "engine/session.h"
#include "plugin/config.h"

int plugin_output(const OutputRequest& request) {
    PluginConfig& config = plugin_config_clamp(plugin_config_live());
    const BITMAPINFOHEADER format = make_rgb24_format(request.width, request.height);
    const AVISTREAMINFOA stream_info =
        make_video_stream_info(request.width, request.height, request.rate, request.scale);
    const EncodeSettings settings = plugin_settings_from_config(config);

    if (!request.output_path) return 0;
    // A log that can't be created leaves the run without one: the plug-in has
    // nowhere to say so, and the video matters more.
    EncodeSession session;
    if (!session_open(session, request.output_path, stream_info, format, settings)) return 0;

    int completed = 1;
    // The host may change the count while the run goes on: read it every time.
    for (int32_t i = 0; i < request.frame_count; ++i) {
        if (request.abort_requested && request.abort_requested()) break;
        if (request.show_remaining_time) request.show_remaining_time(i, request.frame_count);
        const void* bits = request.fetch_frame ? request.fetch_frame(i) : nullptr;
        // No frame from the host ends the export there, as the end of a source does.
        if (!bits) break;
        if (request.refresh_preview) request.refresh_preview();
        if (request.frame_flags && request.frame_flags(i) == 1) session_request_key(session);
        if (!session_encode_frame(session, i, &format, bits)) {
            // The file stops before this frame; the host must not take it as done.
            completed = 0;
            break;
        }
    }

    if (!session_close(session)) completed = 0;
    return completed;
}
