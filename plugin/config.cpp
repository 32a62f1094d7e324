#include "plugin/config.h"

#include <cstring>

namespace {
PluginConfig live_config = kPluginConfigDefaults;

void copy_to_settings(const PluginConfig& c, EncodeSettings& s) {
    for (const PluginConfigField& f : kPluginConfigFields) s.*f.setting = c.*f.field;
}
}  // namespace

PluginConfig& plugin_config_live() { return live_config; }

int plugin_config_get(void* destination, int size) {
    if (destination && size == kPluginConfigSize) std::memcpy(destination, &live_config, sizeof live_config);
    return kPluginConfigSize;
}

int plugin_config_set(void* source, int size) {
    if (!source || (size != kPluginConfigSize && size != kPluginConfigSizeWithoutAudio)) return 0;
    PluginConfig taken{};  // a block from before the audio setting leaves it off
    std::memcpy(&taken, source, static_cast<size_t>(size));
    live_config = taken;
    return size;
}

int32_t plugin_audio_clamp(int32_t audio) {
    if (audio <= kPluginAudioOff) return kPluginAudioOff;
    if (audio == kPluginAudioPcm) return kPluginAudioPcm;
    if (audio < kPluginMp3LowKbps) return kPluginMp3LowKbps;
    return audio > kPluginMp3HighKbps ? kPluginMp3HighKbps : audio;
}

PluginConfig& plugin_config_clamp(PluginConfig& c) {
    // The engine's clamp, with the plug-in's own bit-rate ceiling, lower than the console's.
    EncodeSettings s{};
    copy_to_settings(c, s);
    settings_clamp(s, kPluginBitRateCeiling);
    for (const PluginConfigField& f : kPluginConfigFields) c.*f.field = s.*f.setting;
    // The engine leaves the audio setting as it is; its MP3 rates are the plug-in's own bounds.
    c.audio = plugin_audio_clamp(c.audio);
    return c;
}

FOURCC plugin_codec_fourcc(int32_t codec_index) { return codec_entry(codec_index).fourcc; }

EncodeSettings plugin_settings_from_config(const PluginConfig& c) {
    EncodeSettings s{};
    s.codec = plugin_codec_fourcc(c.codec_index);
    copy_to_settings(c, s);
    s.progress_enabled = 0;  // the plug-in prints nothing
    return s;
}
