#include "plugin/output.h"

#include <cstring>
#include <vector>

#include "engine/audio.h"
#include "engine/mp3.h"
#include "engine/session.h"
#include "plugin/config.h"

namespace {

// The host's audio as the run takes it: one 16-bit PCM stream, fetched in the
// spans of the frames it goes with.
struct HostAudio {
    int on = 0;
    int stream = -1;             // the session's stream
    AVISTREAMINFOA info{};       // the PCM stream's, for the frame spans
    uint32_t block = 0;          // bytes of one sample of all channels
    int64_t count = 0;           // samples the host has
    int64_t done = 0;            // samples handed to the session so far
    std::vector<uint8_t> padded;  // a short fetch and its silence; only grows
};

// Whether the request's audio is to be kept: 1 yes, 0 there is none to keep
// (or the setting is off), -1 it is asked for but can't be taken as it comes.
int audio_wanted(const OutputRequest& request, const PluginConfig& config) {
    if (config.audio == kPluginAudioOff || !(request.flags & kOutputHasAudio) || request.audio_count <= 0) return 0;
    // The editor hands out 16-bit PCM of one or two channels; anything else
    // would be written wrong, and a silent file would pass for the export asked.
    const int32_t channels = request.audio_channels;
    if (!request.fetch_audio || request.audio_rate <= 0 || channels < 1 || channels > 2 ||
        request.audio_sample_size != channels * 2)
        return -1;
    return 1;
}

int audio_open(HostAudio& audio, EncodeSession& session, const OutputRequest& request, const PluginConfig& config) {
    const WAVEFORMATEX format =
        audio_pcm16_format(static_cast<uint32_t>(request.audio_rate), static_cast<uint16_t>(request.audio_channels));
    AudioStreamDescription description{};
    description.info = audio_pcm_stream_info(format);
    description.format = &format;
    description.format_size = sizeof format;
    // The rate rounded to one MP3 has, now that the host's sample rate is known.
    description.mp3_kbps = config.audio == kPluginAudioPcm ? 0 : mp3_round_kbps(config.audio, request.audio_rate);
    audio.stream = session_add_audio(session, description);
    if (audio.stream < 0) return 0;
    audio.on = 1;
    audio.info = description.info;
    audio.block = format.nBlockAlign;
    audio.count = request.audio_count;
    return 1;
}

// Fetches the host's samples up to end (held to what it has) and hands them
// over at once: the host's buffer lasts only until its next call. A short
// fetch is made up with silence to what was asked. 0 when memory ran out.
int audio_queue_to(HostAudio& audio, EncodeSession& session, const OutputRequest& request, int64_t end) {
    if (end > audio.count) end = audio.count;
    if (end <= audio.done) return 1;
    const int length = static_cast<int>(end - audio.done);
    const uint32_t bytes = static_cast<uint32_t>(length) * audio.block;
    int read = 0;
    const void* data = request.fetch_audio(static_cast<int>(audio.done), length, &read);
    audio.done = end;
    if (!data) read = 0;
    if (read >= length) return session_queue_audio(session, static_cast<uint32_t>(audio.stream), data, bytes,
                                                   static_cast<uint32_t>(length));
    if (read < 0) read = 0;
    if (audio.padded.size() < bytes) audio.padded.resize(bytes);
    const size_t kept = static_cast<size_t>(read) * audio.block;
    if (kept) std::memcpy(audio.padded.data(), data, kept);
    std::memset(audio.padded.data() + kept, 0, bytes - kept);
    return session_queue_audio(session, static_cast<uint32_t>(audio.stream), audio.padded.data(), bytes,
                               static_cast<uint32_t>(length));
}

// The audio that goes with frame n: for frame 0 the lead and then the rest of
// its span, as two chunks; for every later frame its own span.
int audio_queue_frame(HostAudio& audio, EncodeSession& session, const OutputRequest& request,
                      const AVISTREAMINFOA& video, int32_t n) {
    if (n == 0 && !audio_queue_to(audio, session, request, audio_lead_end(request.frame_count, video, audio.info)))
        return 0;
    return audio_queue_to(audio, session, request, audio_frame_end(n, request.frame_count, video, audio.info));
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
    if (wanted && !audio_open(audio, session, request, config)) {
        session_close(session);  // nothing was written: no file
        return 0;
    }

    int completed = 1;
    // The host may change the count while the run goes on: read it every time.
    for (int32_t i = 0; i < request.frame_count; ++i) {
        if (request.abort_requested && request.abort_requested()) break;
        if (request.show_remaining_time) request.show_remaining_time(i, request.frame_count);
        if (audio.on && !audio_queue_frame(audio, session, request, stream_info, i)) {
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
