// vnt.auo2's settings dialog, the module loaded as the 64-bit editor loads it,
// on the headless dialog manager it shares with this process.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/dialog/dialog.h"
#include "platform/dialog/dialog_script.h"
#include "plugin2/auo2_abi.h"
#include "plugin2/text16.h"
#include "tests/support/support.h"

namespace {

class Auo2Dialog : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string path = testsupport::build_dir() + "/vnt.auo2";
        module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module_, nullptr) << dlerror();
        const auto init_config = reinterpret_cast<Auo2InitializeConfigFunc>(dlsym(module_, "InitializeConfig"));
        const auto get_table = reinterpret_cast<Auo2GetTableFunc>(dlsym(module_, "GetOutputPluginTable"));
        ASSERT_TRUE(init_config && get_table);
        folder_ = text16_from_utf8(dir.path());
        config_.app_data_path = folder_.c_str();
        init_config(&config_);
        table_ = get_table();
        ASSERT_TRUE(table_ && table_->on_config && table_->on_config_text);
        dialog_reset();  // no common controls: the plug-in registers what it needs
    }
    void TearDown() override {
        if (module_) dlclose(module_);
    }
    testsupport::TempDir dir;
    void* module_ = nullptr;
    std::u16string folder_;
    Auo2ConfigHandle config_{};
    Auo2Table* table_ = nullptr;
};

// With its own instance or a null one (then its own module's), the dialog
// comes up; its audio list names "none" in UTF-16, whatever the code page,
// the setting (PCM) selected; OK keeps what was typed.
TEST_F(Auo2Dialog, AUnicodeDialogFromTheModuleWhateverInstanceTheEditorGives) {
    struct Case {
        const char* what;
        HINSTANCE instance;
        const char* script;
        const char* line;
    };
    const Case cases[] = {
        {"the module's instance", static_cast<HINSTANCE>(module_), "1013=4000;ok", " 4000 kbps,"},
        {"a null instance", nullptr, "1013=5000;1023=0;ok", " 5000 kbps,"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(dialog_script_set(c.script), 1);
        EXPECT_TRUE(table_->on_config(nullptr, c.instance));
        INT_PTR result = 0;
        ASSERT_EQ(dialog_last_result(&result), 1);
        EXPECT_EQ(result, 1) << dialog_script_error();
        DialogControlState audio{};
        ASSERT_EQ(dialog_last_control(1023, &audio), 1);
        EXPECT_EQ(audio.item_count, 5);
        char text[32] = {};
        ASSERT_EQ(dialog_last_item(1023, 0, text, sizeof text), 1);
        EXPECT_STREQ(text, "\xe3\x81\xaa\xe3\x81\x97") << "not \"none\" in Japanese as UTF-8";
        ASSERT_EQ(dialog_last_item(1023, 1, text, sizeof text), 1);
        EXPECT_STREQ(text, "PCM");
        const std::u16string line = table_->on_config_text();
        EXPECT_NE(line.find(text16_from_utf8(c.line)), std::u16string::npos);
    }
    // The second round picked "none": the list kept its order under the relabelling.
    DialogControlState audio{};
    ASSERT_EQ(dialog_last_control(1023, &audio), 1);
    EXPECT_EQ(audio.selection, 0);
    EXPECT_NE(std::u16string(table_->on_config_text()).find(u"audio off"), std::u16string::npos)
        << "the setting is not audio off";
}

}  // namespace
