#include "plugin/host_audio.h"

#include <cstring>

#include "engine/audio.h"
#include "engine/mp3.h"
#include "plugin/config.h"

namespace {

// Fetches the host's samples up to end (held to what it has) and hands them
// over at once. A short fetch is made up with silence to what was asked.
int queue_to(HostAudio& audio, EncodeSession& session, int64_t end) {
    if (end > audio.count) end = audio.count;
    if (end <= audio.done) return 1;
    const int length = static_cast<int>(end - audio.done);
    const uint32_t bytes = static_cast<uint32_t>(length) * audio.block;
    int read = 0;
    const void* data = audio.fetch(audio.context, static_cast<int>(audio.done), length, &read);
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

}  // namespace

bool host_audio_acceptable(int32_t sample_rate, int32_t channels) {
    return sample_rate > 0 && channels >= 1 && channels <= 2;
}

int host_audio_open(HostAudio& audio, EncodeSession& session, int32_t sample_rate, int32_t channels,
                    int32_t sample_count, int32_t setting) {
    const WAVEFORMATEX format =
        audio_pcm16_format(static_cast<uint32_t>(sample_rate), static_cast<uint16_t>(channels));
    AudioStreamDescription description{};
    description.info = audio_pcm_stream_info(format);
    description.format = &format;
    description.format_size = sizeof format;
    // The rate rounded to one MP3 has, now that the host's sample rate is known.
    description.mp3_kbps = setting == kPluginAudioPcm ? 0 : mp3_round_kbps(setting, sample_rate);
    audio.stream = session_add_audio(session, description);
    if (audio.stream < 0) return 0;
    audio.on = 1;
    audio.info = description.info;
    audio.block = format.nBlockAlign;
    audio.count = sample_count;
    return 1;
}

int host_audio_queue_frame(HostAudio& audio, EncodeSession& session, const AVISTREAMINFOA& video,
                           int32_t frame_count, int32_t n) {
    if (n == 0 && !queue_to(audio, session, audio_lead_end(frame_count, video, audio.info))) return 0;
    return queue_to(audio, session, audio_frame_end(n, frame_count, video, audio.info));
}
