// vnt.auo2's settings as text (its file and its project entry), the line
// beside the editor's settings button, and the host's UTF-16 names.
#include <gtest/gtest.h>

#include <string>

#include "plugin2/paths.h"
#include "plugin2/settings_file.h"
#include "plugin2/text16.h"
#include "tests/plugin/plugin_module.h"

namespace {

TEST(Auo2Settings, DefaultsAreVntAuosWithPcmSound) {
    PluginConfig expected = kPluginConfigDefaults;
    expected.audio = kPluginAudioPcm;
    EXPECT_EQ(kAuo2SettingsDefaults.config, expected);
    EXPECT_EQ(kAuo2SettingsDefaults.packed_rows, 0);
}

TEST(Auo2Settings, TextRoundTripsEveryField) {
    const Auo2Settings s = {{3, 1234, 5, 60, 11, 33, 1, 1, 25, 192}, 1};
    const std::string text = auo2_settings_text(s, true);
    EXPECT_EQ(text,
              "vnt.auo2 settings\ncodec_index=3\nbit_rate=1234\nkey_seconds=5\ncompression_control=60\n"
              "diff_threshold=11\npixel_threshold=33\nlog_enabled=1\nanalyse_enabled=1\nscene_level=25\naudio=192\n"
              "host_rows=packed\n");
    Auo2Settings read{};
    ASSERT_EQ(auo2_settings_parse(text, read, true), Auo2SettingsRead::ours);
    EXPECT_EQ(read.config, s.config);
    EXPECT_EQ(read.packed_rows, 1);
    // A project holds no rows, and its text leaves them as they are.
    EXPECT_EQ(auo2_settings_text(s, false).find("host_rows"), std::string::npos);
    read.packed_rows = 1;
    ASSERT_EQ(auo2_settings_parse("vnt.auo2 settings\nhost_rows=padded\n", read, false), Auo2SettingsRead::ours);
    EXPECT_EQ(read.packed_rows, 1);
}

TEST(Auo2Settings, AnythingButOurWholeTextGivesTheDefaults) {
    struct Case {
        const char* name;
        std::string text;
        Auo2SettingsRead read;
        int32_t bit_rate;  // after the read
    };
    const Case cases[] = {
        {"ours", "vnt.auo2 settings\nbit_rate=4000\n", Auo2SettingsRead::ours, 4000},
        {"CR LF, blank lines", "vnt.auo2 settings\r\n\r\nbit_rate=4000\r\n", Auo2SettingsRead::ours, 4000},
        {"a later version's key", "vnt.auo2 settings\nbit_rate=4000\nfuture=x\n", Auo2SettingsRead::ours, 4000},
        {"out of range: kept for the run's clamp", "vnt.auo2 settings\nbit_rate=99999\n", Auo2SettingsRead::ours,
         99999},
        {"no number", "vnt.auo2 settings\naudio=1\nbit_rate=4k\n", Auo2SettingsRead::damaged, 3000},
        {"past 32 bits", "vnt.auo2 settings\nbit_rate=4294967296\n", Auo2SettingsRead::damaged, 3000},
        {"no value", "vnt.auo2 settings\nbit_rate=\n", Auo2SettingsRead::damaged, 3000},
        {"no equals sign", "vnt.auo2 settings\nbit_rate 4000\n", Auo2SettingsRead::damaged, 3000},
        {"rows of no kind", "vnt.auo2 settings\nhost_rows=wide\n", Auo2SettingsRead::damaged, 3000},
        {"cut short in the first line", "vnt.auo2 sett", Auo2SettingsRead::foreign, 3000},
        {"another program's", "[settings]\nbit_rate=4000\n", Auo2SettingsRead::foreign, 3000},
        {"empty", "", Auo2SettingsRead::foreign, 3000},
        {"binary", std::string("\0\x01\x02vnt.auo2 settings\n", 21), Auo2SettingsRead::foreign, 3000},
        {"too long", "vnt.auo2 settings\n" + std::string(5000, '\n'), Auo2SettingsRead::foreign, 3000},
    };
    for (const Case& c : cases) {
        Auo2Settings s = {{0, 1, 1, 1, 4, 4, 1, 1, 1, 0}, 1};
        EXPECT_EQ(auo2_settings_parse(c.text, s, true), c.read) << c.name;
        EXPECT_EQ(s.config.bit_rate, c.bit_rate) << c.name;
        if (c.read != Auo2SettingsRead::ours) {
            EXPECT_EQ(s.config, kAuo2SettingsDefaults.config) << c.name << ": every field a default";
            EXPECT_EQ(s.packed_rows, 0) << c.name;
        } else {
            EXPECT_EQ(s.config.audio, kPluginAudioPcm) << c.name << ": a field missing keeps its default";
        }
    }
}

TEST(Auo2Settings, ConfigTextShowsTheSettingsAsARunTakesThem) {
    struct Case {
        PluginConfig config;
        const char* text;
    };
    const Case cases[] = {
        {kAuo2SettingsDefaults.config, "MP42 3000 kbps, key 8 s, noise 9/28, audio PCM"},
        {{0, 800, 2, 75, 12, 20, 0, 0, 0, 0}, "MPG4 800 kbps, key 2 s, noise 12/20, audio off"},
        {{3, 50000, 0, 75, 1, 99, 0, 0, 0, 128}, "DIV3 32767 kbps, key 1 s, noise 4/64, audio MP3 128 kbps"},
        {{9, 3000, 8, 75, 9, 28, 0, 0, 0, 1000}, "MP42 3000 kbps, key 8 s, noise 9/28, audio MP3 320 kbps"},
    };
    for (const Case& c : cases) EXPECT_EQ(auo2_config_text(c.config), c.text);
}

TEST(Auo2Text, HostNamesBecomeUtf8OrNothing) {
    struct Case {
        std::u16string name;
        int ok;
        std::string utf8;
    };
    const Case cases[] = {
        {u"out.avi", 1, "out.avi"},
        {u"出力.avi", 1, "\xe5\x87\xba\xe5\x8a\x9b.avi"},
        {u"\U0001F3AC.avi", 1, "\xf0\x9f\x8e\xac.avi"},  // a pair of surrogates
        {u"a\xD800.avi", 0, ""},                          // a high surrogate alone
        {u"\xDC00", 0, ""},                                // a low one
        {u"", 0, ""},
    };
    for (const Case& c : cases) {
        std::string path = "left";
        EXPECT_EQ(auo2_output_path(c.name.c_str(), path), c.ok) << c.utf8;
        if (c.ok) {
            EXPECT_EQ(path, c.utf8);
            EXPECT_EQ(text16_from_utf8(c.utf8), c.name);
        }
    }
    std::string path;
    EXPECT_EQ(auo2_output_path(nullptr, path), 0);
    // Bytes that are no UTF-8 stand as U+FFFD, one each.
    EXPECT_EQ(text16_from_utf8("a\xff\xe5\x87z"), u"a\uFFFD\uFFFD\uFFFDz");
    EXPECT_EQ(text16_from_utf8("\xc0\xaf"), u"\uFFFD\uFFFD") << "an overlong form";
    EXPECT_EQ(auo2_settings_path(u"/data/設定").string(), "/data/\xe8\xa8\xad\xe5\xae\x9a/vnt.auo2.conf");
    EXPECT_TRUE(auo2_settings_path(u"").empty());
}

}  // namespace
