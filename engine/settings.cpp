#include "engine/settings.h"

#include "engine/codecs.h"

void settings_set_defaults(EncodeSettings& s) {
    s = EncodeSettings{};
    s.codec = kCodecs[kDefaultCodecIndex].fourcc;
    for (const SettingRange& r : kSettingRanges) s.*r.field = r.default_value;
}

static int32_t clamp_field(int32_t value, int32_t low, int32_t high) {
    if (value > high) return high;
    if (value < low) return low;
    return value;
}

void settings_clamp(EncodeSettings& s, int32_t bit_rate_ceiling) {
    // Each rule on its own; codec, flags and scene level pass untouched.
    for (const SettingRange& r : kSettingRanges) {
        if (!r.clamped) continue;
        const int32_t high = r.field == &EncodeSettings::bit_rate ? bit_rate_ceiling : r.high;
        s.*r.field = clamp_field(s.*r.field, r.low, high);
    }
}
