// The settings dialog of the loaded module, run on the headless dialog
// manager the module shares with this process, as a user would work it.
#include <gtest/gtest.h>

#include <string>

#include "platform/dialog/dialog.h"
#include "platform/dialog/dialog_script.h"
#include "tests/plugin/plugin_module.h"

namespace {

class ConfigDialog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m.ok());
        dialog_reset();
        InitCommonControls();  // the editor does this before any plug-in is used
    }
    // Runs the dialog with a script; answers what DialogBoxParamA gave.
    INT_PTR run(const char* script) {
        EXPECT_EQ(dialog_script_set(script), 1) << dialog_script_error();
        EXPECT_EQ(m.table().on_config(nullptr, m.instance()), 1);
        INT_PTR result = 0;
        EXPECT_EQ(dialog_last_result(&result), 1);
        EXPECT_STREQ(dialog_script_error(), "");
        return result;
    }
    static DialogControlState control(int id) {
        DialogControlState s{};
        EXPECT_EQ(dialog_last_control(id, &s), 1) << id;
        return s;
    }
    PluginModule m;
};

TEST_F(ConfigDialog, OpensWithTheRecordsValues) {
    const PluginConfig c = {2, 4000, 12, 60, 10, 30, 1, 0, 3};
    m.set_config(c);
    EXPECT_EQ(run("cancel"), 2);

    const DialogControlState combo = control(1006);
    ASSERT_EQ(combo.item_count, 5);
    EXPECT_EQ(combo.selection, 2);
    for (int i = 0; i < 5; ++i) {
        char text[32];
        ASSERT_EQ(dialog_last_item(1006, i, text, sizeof text), 1);
        EXPECT_STREQ(text, kPluginCodecs[static_cast<size_t>(i)].list_text);
    }
    const std::pair<int, const char*> edits[] = {{1011, "12"}, {1013, "4000"}, {1015, "60"},
                                                 {1017, "10"}, {1019, "30"},   {1021, "3"}};
    for (const auto& [id, text] : edits) EXPECT_STREQ(control(id).text, text) << id;
    EXPECT_EQ(control(1003).check, 1);
    EXPECT_EQ(control(1004).check, 0);

    struct Spin {
        int id, buddy, low, high;
    };
    for (const Spin& s : {Spin{1012, 1011, 1, 9999}, Spin{1014, 1013, 1, 32767}, Spin{1016, 1015, 1, 100},
                          Spin{1018, 1017, 4, 64}, Spin{1020, 1019, 4, 64}, Spin{1022, 1021, 0, 10}}) {
        const DialogControlState st = control(s.id);
        EXPECT_EQ(st.buddy_id, s.buddy);
        EXPECT_EQ(st.range_min, s.low) << s.id;
        EXPECT_EQ(st.range_max, s.high) << s.id;
    }
    EXPECT_EQ(dialog_last_focus(), 1) << "WM_INITDIALOG lets the system focus the first tab stop";
    EXPECT_EQ(m.config(), c) << "Cancel keeps every field";
}

TEST_F(ConfigDialog, OkWithoutChangesRewritesTheRecordNormalised) {
    // An out-of-table codec opens with no selection and is stored as -1;
    // a nonzero flag other than 1 comes back as 1; numbers stay unclamped.
    for (int32_t codec : {7, -1}) {
        m.set_config({codec, 50000, 0, 75, 9, 28, 5, -2, 25});
        EXPECT_EQ(run("ok"), 1);
        EXPECT_EQ(control(1006).selection, -1);
        EXPECT_EQ(m.config(), (PluginConfig{-1, 50000, 0, 75, 9, 28, 1, 1, 25})) << "codec " << codec;
    }
}

TEST_F(ConfigDialog, OkStoresWhatWasTypedAndPicked) {
    m.set_config(kPluginConfigDefaults);
    // Command identifiers other than OK and Cancel leave the dialog open.
    EXPECT_EQ(run("command=3;command=1006;1011=;1013=40000;1015=abc;1017=-7;1021=25;"
                  "1003=check;1004=click;1006=4;ok"),
              1);
    // The key-frame edit was emptied (0); digits-only edits drop what isn't a
    // digit as it is typed; the scene level is not held to its spin's range.
    EXPECT_EQ(m.config(), (PluginConfig{4, 40000, 0, 0, 7, 28, 1, 1, 25}));

    m.set_config(kPluginConfigDefaults);
    EXPECT_EQ(run("1021=12x;1006=none;ok"), 1);
    EXPECT_EQ(m.config().scene_level, 0) << "a scene level that is no number is stored as 0";
    EXPECT_EQ(m.config().codec_index, -1);
    m.set_config(kPluginConfigDefaults);
    EXPECT_EQ(run("1021=-3;ok"), 1);
    EXPECT_EQ(m.config().scene_level, -3) << "the scene edit takes signed numbers";
}

TEST_F(ConfigDialog, SpinsStopAtTheirRanges) {
    PluginConfig c = kPluginConfigDefaults;
    c.scene_level = 9;
    c.key_seconds = 1;
    m.set_config(c);
    EXPECT_EQ(run("1022=up;1022=up;1022=up;1012=down;1014=up;ok"), 1);
    EXPECT_EQ(m.config().scene_level, 10);
    EXPECT_EQ(m.config().key_seconds, 1);
    EXPECT_EQ(m.config().bit_rate, 3001);
}

// The audio combo: five entries, the stored setting's own or its nearest
// shown; OK stores the entry picked, and a stored rate the list doesn't have
// stays as it was until another entry is picked.
TEST_F(ConfigDialog, AudioComboShowsAndSetsTheSetting) {
    // "なし" in the host's code page, as the ANSI messages carry it.
    const char* const entries[] = {"\x82\xc8\x82\xb5", "PCM", "MP3 128 kbps", "MP3 192 kbps", "MP3 320 kbps"};
    struct Shown {
        int32_t audio;
        int selection;
    };
    for (const Shown& c : {Shown{0, 0}, Shown{1, 1}, Shown{128, 2}, Shown{192, 3}, Shown{320, 4}, Shown{32, 2},
                           Shown{160, 2}, Shown{161, 3}, Shown{256, 3}, Shown{257, 4}, Shown{2, 2}, Shown{1000, 4},
                           Shown{-5, 0}}) {
        PluginConfig stored = kPluginConfigDefaults;
        stored.audio = c.audio;
        m.set_config(stored);
        EXPECT_EQ(run("ok"), 1);
        const DialogControlState combo = control(1023);
        ASSERT_EQ(combo.item_count, 5);
        EXPECT_EQ(combo.selection, c.selection) << "audio " << c.audio;
        for (int i = 0; i < 5; ++i) {
            char text[32];
            ASSERT_EQ(dialog_last_item(1023, i, text, sizeof text), 1);
            EXPECT_STREQ(text, entries[i]);
        }
        EXPECT_EQ(m.config(), stored) << "OK without a pick keeps " << c.audio;
    }

    struct Pick {
        int32_t stored;
        const char* script;
        int32_t kept;
    };
    for (const Pick& p : {Pick{0, "1023=1;ok", 1}, Pick{0, "1023=2;ok", 128}, Pick{0, "1023=3;ok", 192},
                          Pick{0, "1023=4;ok", 320}, Pick{320, "1023=0;ok", 0}, Pick{200, "1023=3;ok", 200},
                          Pick{200, "1023=2;ok", 128}, Pick{200, "1023=4;1023=3;ok", 200},
                          Pick{200, "1023=none;ok", 200}, Pick{1, "1023=4;cancel", 1}}) {
        PluginConfig stored = kPluginConfigDefaults;
        stored.audio = p.stored;
        m.set_config(stored);
        run(p.script);
        PluginConfig expected = stored;
        expected.audio = p.kept;
        EXPECT_EQ(m.config(), expected) << p.stored << ": " << p.script;
    }
}

TEST_F(ConfigDialog, WithoutTheUpDownClassNoDialogAndNoChange) {
    dialog_reset();  // as a process that never initialised the common controls
    const PluginConfig c = {2, 4000, 12, 60, 10, 30, 1, 0, 3};
    m.set_config(c);
    ASSERT_EQ(dialog_script_set("1013=5;ok"), 1);
    EXPECT_EQ(m.table().on_config(nullptr, m.instance()), 1);
    EXPECT_EQ(dialog_last_result(nullptr), 0) << "no dialog was created";
    EXPECT_NE(std::string(dialog_script_error()).find("msctls_updown32"), std::string::npos) << dialog_script_error();
    EXPECT_EQ(m.config(), c);
}

}  // namespace
