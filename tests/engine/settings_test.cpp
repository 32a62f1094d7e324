#include "engine/settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

EncodeSettings defaults() {
    EncodeSettings s;
    settings_set_defaults(s);
    return s;
}

TEST(Settings, ConsoleDefaults) {
    EncodeSettings s;
    std::memset(&s, 0xA5, sizeof s);
    settings_set_defaults(s);
    EXPECT_EQ(s.codec, mmioFOURCC('M', 'P', '4', '2'));
    EXPECT_EQ(s.codec, 0x3234504Du);  // first letter in the low byte
    EXPECT_EQ(s.bit_rate, 3000);
    EXPECT_EQ(s.key_seconds, 8);
    EXPECT_EQ(s.compression_control, 75);
    EXPECT_EQ(s.diff_threshold, 9);
    EXPECT_EQ(s.pixel_threshold, 28);
    EXPECT_EQ(s.log_enabled, 0);
    EXPECT_EQ(s.progress_enabled, 1);
    EXPECT_EQ(s.analyse_enabled, 0);
    EXPECT_EQ(s.scene_level, 0);
}

TEST(Settings, DefaultsSurviveTheClamp) {
    EncodeSettings s = defaults();
    settings_clamp(s, kConsoleBitRateCeiling);
    const EncodeSettings d = defaults();
    EXPECT_EQ(std::memcmp(&s, &d, sizeof s), 0);
}

TEST(Settings, ClampBringsEachFieldIntoRange) {
    struct Case {
        int32_t in, console, plugin;
    };
    for (const Case c : {Case{0, 1, 1}, Case{-7, 1, 1}, Case{70000, 60000, 32767}, Case{60000, 60000, 32767},
                         Case{32768, 32768, 32767}, Case{INT32_MIN, 1, 1}, Case{INT32_MAX, 60000, 32767}}) {
        EncodeSettings s = defaults();
        s.bit_rate = c.in;
        settings_clamp(s, kConsoleBitRateCeiling);
        EXPECT_EQ(s.bit_rate, c.console) << c.in;
        s.bit_rate = c.in;
        settings_clamp(s, kPluginBitRateCeiling);
        EXPECT_EQ(s.bit_rate, c.plugin) << c.in;
    }

    EncodeSettings s = defaults();
    s.key_seconds = -5;
    s.compression_control = 0;
    s.diff_threshold = 3;
    s.pixel_threshold = 65;
    settings_clamp(s, kConsoleBitRateCeiling);
    EXPECT_EQ(s.key_seconds, 1);
    EXPECT_EQ(s.compression_control, 1);
    EXPECT_EQ(s.diff_threshold, 4);
    EXPECT_EQ(s.pixel_threshold, 64);

    s.key_seconds = 10000;
    s.compression_control = 101;
    s.diff_threshold = 65;
    s.pixel_threshold = 3;
    settings_clamp(s, kConsoleBitRateCeiling);
    EXPECT_EQ(s.key_seconds, 9999);
    EXPECT_EQ(s.compression_control, 100);
    EXPECT_EQ(s.diff_threshold, 64);
    EXPECT_EQ(s.pixel_threshold, 4);

    // Bounds themselves stay.
    s.key_seconds = 9999;
    s.diff_threshold = 4;
    s.pixel_threshold = 64;
    settings_clamp(s, kConsoleBitRateCeiling);
    EXPECT_EQ(s.key_seconds, 9999);
    EXPECT_EQ(s.diff_threshold, 4);
    EXPECT_EQ(s.pixel_threshold, 64);
}

TEST(Settings, ClampLeavesCodecFlagsAndSceneLevelAlone) {
    EncodeSettings s = defaults();
    s.codec = mmioFOURCC('X', 'Y', 'Z', 'W');
    s.log_enabled = 7;
    s.progress_enabled = -3;
    s.analyse_enabled = 2;
    s.scene_level = -4;
    settings_clamp(s, kConsoleBitRateCeiling);
    EXPECT_EQ(s.codec, mmioFOURCC('X', 'Y', 'Z', 'W'));
    EXPECT_EQ(s.log_enabled, 7);
    EXPECT_EQ(s.progress_enabled, -3);
    EXPECT_EQ(s.analyse_enabled, 2);
    EXPECT_EQ(s.scene_level, -4);
}

}  // namespace
