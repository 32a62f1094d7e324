#include "engine/settings.h"

void settings_set_defaults(EncodeSettings& s) {
    s = EncodeSettings{};
    s.codec = mmioFOURCC('M', 'P', '4', '2');
    s.bit_rate = 3000;
    s.key_seconds = 8;
    s.compression_control = 75;
    s.diff_threshold = 9;
    s.pixel_threshold = 28;
    s.log_enabled = 0;
    s.progress_enabled = 1;
    s.analyse_enabled = 0;
    s.scene_level = 0;
}

static int32_t clamp_field(int32_t value, int32_t low, int32_t high) {
    if (value > high) return high;
    if (value < low) return low;
    return value;
}

void settings_clamp(EncodeSettings& s, int32_t bit_rate_ceiling) {
    // Each rule on its own; codec, flags and scene level pass untouched.
    s.bit_rate = clamp_field(s.bit_rate, 1, bit_rate_ceiling);
    s.key_seconds = clamp_field(s.key_seconds, 1, kKeySecondsMax);
    s.compression_control = clamp_field(s.compression_control, 1, kCompressionControlMax);
    s.diff_threshold = clamp_field(s.diff_threshold, kThresholdMin, kThresholdMax);
    s.pixel_threshold = clamp_field(s.pixel_threshold, kThresholdMin, kThresholdMax);
}
