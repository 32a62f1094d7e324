#include "plugin/config.h"

#include <cstring>

namespace {
PluginConfig live_config = kPluginConfigDefaults;

int32_t clamp_field(int32_t value, int32_t low, int32_t high) {
    if (value > high) return high;
    if (value < low) return low;
    return value;
}
}  // namespace

PluginConfig& plugin_config_live() { return live_config; }

int plugin_config_get(void* destination, int size) {
    if (destination && size == kPluginConfigSize) std::memcpy(destination, &live_config, sizeof live_config);
    return kPluginConfigSize;
}

int plugin_config_set(void* source, int size) {
    if (size != kPluginConfigSize || !source) return 0;
    std::memcpy(&live_config, source, sizeof live_config);
    return kPluginConfigSize;
}

PluginConfig& plugin_config_clamp(PluginConfig& c) {
    // The bit-rate ceiling is the plug-in's own, lower than the console's.
    c.bit_rate = clamp_field(c.bit_rate, 1, kPluginBitRateCeiling);
    c.key_seconds = clamp_field(c.key_seconds, 1, kKeySecondsMax);
    c.compression_control = clamp_field(c.compression_control, 1, kCompressionControlMax);
    c.diff_threshold = clamp_field(c.diff_threshold, kThresholdMin, kThresholdMax);
    c.pixel_threshold = clamp_field(c.pixel_threshold, kThresholdMin, kThresholdMax);
    return c;
}

FOURCC plugin_codec_fourcc(int32_t codec_index) {
    // Compared unsigned, so negative indexes fall back too.
    const auto index = static_cast<uint32_t>(codec_index);
    return index < kPluginCodecs.size() ? kPluginCodecs[index].fourcc : mmioFOURCC('M', 'P', '4', '2');
}

EncodeSettings plugin_settings_from_config(const PluginConfig& c) {
    EncodeSettings s{};
    s.codec = plugin_codec_fourcc(c.codec_index);
    s.bit_rate = c.bit_rate;
    s.key_seconds = c.key_seconds;
    s.compression_control = c.compression_control;
    s.diff_threshold = c.diff_threshold;
    s.pixel_threshold = c.pixel_threshold;
    s.log_enabled = c.log_enabled;
    s.progress_enabled = 0;  // the plug-in prints nothing
    s.analyse_enabled = c.analyse_enabled;
    s.scene_level = c.scene_level;
    return s;
}
