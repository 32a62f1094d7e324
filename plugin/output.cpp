#include "plugin/output.h"

#include "engine/session.h"
#include "plugin/config.h"
#include "plugin/host_audio.h"

namespace {

// Whether the request's audio is to be kept: 1 yes, 0 there is none to keep
// (or the setting is off), -1 it is asked for but can't be taken as it comes.
int audio_wanted(const OutputRequest& request, const PluginConfig& config) {
    if (config.audio == kPluginAudioOff || !(request.flags & kOutputHasAudio) || request.audio_count <= 0) return 0;
    // The editor hands out 16-bit PCM of one or two channels.
    const int32_t channels = request.audio_channels;
    if (!request.fetch_audio || !host_audio_acceptable(request.audio_rate, channels) ||
        request.audio_sample_size != channels * 2)
        return -1;
    return 1;
}

const void* fetch_audio(void* context, int start, int length, int* read) {
    return static_cast<const OutputRequest*>(context)->fetch_audio(start, length, read);
}

}  // namespace

int plugin_output(const OutputRequest& request) {
    PluginConfig& config = plugin_config_clamp(plugin_config_live());
    const BITMAPINFOHEADER format = make_rgb24_format(request.width, request.height);
    const AVISTREAMINFOA stream_info =
        make_video_stream_info(request.width, request.height, request.rate, request.scale);
    const EncodeSettings settings = plugin_settings_from_config(config);

    if (!request.output_path) return 0;
    const int wanted = audio_wanted(request, config);
    if (wanted < 0) return 0;
    // A log that can't be created leaves the run without one: the plug-in has
    // nowhere to say so, and the video matters more.
    EncodeSession session;
    if (!session_open(session, request.output_path, stream_info, format, settings)) return 0;
    HostAudio audio;
    audio.fetch = fetch_audio;
    audio.context = const_cast<OutputRequest*>(&request);
    if (wanted && !host_audio_open(audio, session, request.audio_rate, request.audio_channels, request.audio_count,
                                   config.audio)) {
        session_close(session);  // nothing was written: no file
        return 0;
    }

    int completed = 1;
    // The host may change the count while the run goes on: read it every time.
    for (int32_t i = 0; i < request.frame_count; ++i) {
        if (request.abort_requested && request.abort_requested()) break;
        if (request.show_remaining_time) request.show_remaining_time(i, request.frame_count);
        if (audio.on && !host_audio_queue_frame(audio, session, stream_info, request.frame_count, i)) {
            completed = 0;  // memory ran out: the file stops before this frame
            break;
        }
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
