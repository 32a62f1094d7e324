// The configuration record's clamp and its codec table.
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>

#include "plugin/config.h"
#include "tests/plugin/plugin_module.h"

namespace {

TEST(PluginConfig, ClampBoundsEachFieldAndLeavesTheRest) {
    struct Case {
        int32_t PluginConfig::*field;
        int32_t in;
        int32_t out;
    };
    const Case cases[] = {
        {&PluginConfig::bit_rate, 50000, 32767}, {&PluginConfig::bit_rate, 32768, 32767},
        {&PluginConfig::bit_rate, 32767, 32767}, {&PluginConfig::bit_rate, 0, 1},
        {&PluginConfig::bit_rate, INT_MIN, 1},   {&PluginConfig::key_seconds, 10000, 9999},
        {&PluginConfig::key_seconds, 0, 1},      {&PluginConfig::compression_control, 101, 100},
        {&PluginConfig::compression_control, -5, 1}, {&PluginConfig::diff_threshold, 3, 4},
        {&PluginConfig::diff_threshold, 65, 64}, {&PluginConfig::pixel_threshold, 3, 4},
        {&PluginConfig::pixel_threshold, INT_MAX, 64},
        // Left alone: the run maps the codec, flags and scene level as they are.
        {&PluginConfig::codec_index, 9, 9},      {&PluginConfig::codec_index, -1, -1},
        {&PluginConfig::log_enabled, 5, 5},      {&PluginConfig::analyse_enabled, -2, -2},
        {&PluginConfig::scene_level, 25, 25},    {&PluginConfig::scene_level, -1, -1},
        // Audio: off, PCM, or an MP3 rate held to 32 - 320 (rounded only at the
        // run, to a rate MP3 has at the host's sample rate).
        {&PluginConfig::audio, 0, 0},            {&PluginConfig::audio, 1, 1},
        {&PluginConfig::audio, -1, 0},           {&PluginConfig::audio, INT_MIN, 0},
        {&PluginConfig::audio, 2, 32},           {&PluginConfig::audio, 31, 32},
        {&PluginConfig::audio, 32, 32},          {&PluginConfig::audio, 200, 200},
        {&PluginConfig::audio, 320, 320},        {&PluginConfig::audio, 321, 320},
        {&PluginConfig::audio, INT_MAX, 320},
    };
    for (const Case& c : cases) {
        PluginConfig config = kPluginConfigDefaults;
        config.*c.field = c.in;
        PluginConfig expected = kPluginConfigDefaults;
        expected.*c.field = c.out;
        EXPECT_EQ(&plugin_config_clamp(config), &config);
        EXPECT_EQ(config, expected) << "from " << c.in;
    }
    PluginConfig defaults = kPluginConfigDefaults;
    EXPECT_EQ(plugin_config_clamp(defaults), kPluginConfigDefaults);
}

TEST(PluginConfig, AudioIsOffByDefaultAndLastInTheRecord) {
    EXPECT_EQ(kPluginConfigDefaults.audio, kPluginAudioOff);
    EXPECT_EQ(offsetof(PluginConfig, audio), 36u) << "after scene_level, where a block from before it ends";
    EXPECT_EQ(sizeof(PluginConfig), 40u);
}

TEST(PluginConfig, CodecIndexOutsideTheTableMeansMp42) {
    EXPECT_EQ(plugin_codec_fourcc(0), mmioFOURCC('M', 'P', 'G', '4'));
    EXPECT_EQ(plugin_codec_fourcc(1), mmioFOURCC('M', 'P', '4', '2'));
    EXPECT_EQ(plugin_codec_fourcc(2), mmioFOURCC('M', 'P', '4', '3'));
    EXPECT_EQ(plugin_codec_fourcc(3), mmioFOURCC('D', 'I', 'V', '3'));
    EXPECT_EQ(plugin_codec_fourcc(4), mmioFOURCC('D', 'I', 'V', '4'));
    for (int32_t index : {5, 7, 9, -1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(plugin_codec_fourcc(index), mmioFOURCC('M', 'P', '4', '2')) << index;
    }
    // Each list text sits NUL-padded in its 20-byte slot.
    static_assert(sizeof(PluginCodec::list_text) == 20);
    EXPECT_STREQ(kPluginCodecs[3].list_text, "DIV3 (Low Motion)");
    for (const PluginCodec& c : kPluginCodecs) {
        for (size_t i = std::strlen(c.list_text); i < 20; ++i) EXPECT_EQ(c.list_text[i], '\0');
    }
}

TEST(PluginConfig, RunSettingsCopyTheRecordWithoutProgress) {
    const PluginConfig c = {3, 1234, 5, 60, 11, 33, 1, 1, 2, 192};
    const EncodeSettings s = plugin_settings_from_config(c);
    EXPECT_EQ(s.codec, mmioFOURCC('D', 'I', 'V', '3'));
    EXPECT_EQ(s.bit_rate, 1234);
    EXPECT_EQ(s.key_seconds, 5);
    EXPECT_EQ(s.compression_control, 60);
    EXPECT_EQ(s.diff_threshold, 11);
    EXPECT_EQ(s.pixel_threshold, 33);
    EXPECT_EQ(s.log_enabled, 1);
    EXPECT_EQ(s.analyse_enabled, 1);
    EXPECT_EQ(s.scene_level, 2);
    EXPECT_EQ(s.audio, 192);
    EXPECT_EQ(s.progress_enabled, 0);
}

}  // namespace
