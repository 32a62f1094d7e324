// The headless dialog manager: templates found by module and name, control
// messages with the system's semantics, and scripts.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/dialog/dialog.h"
#include "platform/dialog/dialog_resource.h"
#include "platform/dialog/dialog_script.h"
#include "tests/plugin/plugin_module.h"

namespace {

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
const DialogItemResource kItems[] = {
    {1, "Button", "OK", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 0, 10, 10},
    {2, "BUTTON", "Cancel", kChild | WS_TABSTOP, 0, 0, 10, 10},
    {10, "edit", "", kChild | WS_BORDER | ES_NUMBER, 0, 0, 10, 10},
    {11, "edit", "", kChild | WS_BORDER | WS_TABSTOP, 0, 0, 10, 10},
    {12, "msctls_updown32", "", kChild | UDS_AUTOBUDDY | UDS_SETBUDDYINT, 0, 0, 10, 10},
    {20, "combobox", "", kChild | CBS_DROPDOWNLIST, 0, 0, 10, 10},
    {30, "button", "box", kChild | BS_AUTOCHECKBOX, 0, 0, 10, 10},
    {-1, "static", "label", kChild, 0, 0, 10, 10},
};
const DialogResource kTemplate = {WS_POPUP, 0, 0, 100, 100, "Test", "Font", 9, kItems, 8};
const DialogItemResource kOddItem[] = {{5, "SysListView32", "", kChild, 0, 0, 1, 1}};
const DialogResource kOddTemplate = {WS_POPUP, 0, 0, 10, 10, "Odd", "Font", 9, kOddItem, 1};

// What the test's dialog procedure saw, and what it does on WM_INITDIALOG.
std::vector<std::pair<WORD, WORD>> g_commands;  // (identifier, notification)
std::function<void(HWND)> g_on_init;
bool g_end_on_cancel = true;

INT_PTR CALLBACK test_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG) {
        if (g_on_init) g_on_init(dialog);
        return 1;
    }
    if (message == WM_COMMAND) {
        g_commands.emplace_back(LOWORD(wparam), HIWORD(wparam));
        if (LOWORD(wparam) == IDOK || (LOWORD(wparam) == IDCANCEL && g_end_on_cancel))
            EndDialog(dialog, LOWORD(wparam) == IDOK ? 100 : 200);
    }
    return 0;
}

class DialogManager : public ::testing::Test {
protected:
    void SetUp() override {
        dialog_reset();
        InitCommonControls();
        g_commands.clear();
        g_on_init = nullptr;
        g_end_on_cancel = true;
        ASSERT_EQ(dialog_resource_register(&kTemplate, "TEST_DLG", &kTemplate), 1);
        ASSERT_EQ(dialog_resource_register(&kTemplate, "ODD_DLG", &kOddTemplate), 1);
    }
    void TearDown() override {
        dialog_resource_unregister(&kTemplate, "TEST_DLG");
        dialog_resource_unregister(&kTemplate, "ODD_DLG");
    }
    // The program's own templates answer to a null instance.
    static INT_PTR run(const char* script, const char* name = "TEST_DLG") {
        EXPECT_EQ(dialog_script_set(script), 1) << dialog_script_error();
        return DialogBoxParamA(nullptr, name, nullptr, test_proc, 0);
    }
    static std::string text(int id) {
        DialogControlState s{};
        EXPECT_EQ(dialog_last_control(id, &s), 1);
        return s.text;
    }
};

TEST_F(DialogManager, TemplatesAreFoundByModuleAndName) {
    EXPECT_EQ(run("ok", "test_dlg"), 100) << "names match in any case";
    EXPECT_EQ(run("ok", "NO_SUCH_DLG"), -1);
    EXPECT_EQ(run("ok", "ODD_DLG"), -1) << "a control of an unknown class";
    EXPECT_NE(std::string(dialog_script_error()).find("syslistview32"), std::string::npos);

    // Another module's handle does not find this program's template, and the
    // plug-in's template is not the program's.
    PluginModule plugin;
    ASSERT_TRUE(plugin.ok());
    EXPECT_EQ(DialogBoxParamA(plugin.instance(), "TEST_DLG", nullptr, test_proc, 0), -1);
    EXPECT_EQ(DialogBoxParamA(nullptr, "CONFIG_DLG", nullptr, test_proc, 0), -1);

    dialog_reset();  // the up-down class is gone until the common controls are set up again
    EXPECT_EQ(run("ok"), -1);
}

TEST_F(DialogManager, GetDlgItemIntReadsAsTheSystemDoes) {
    struct Case {
        const char* text;
        BOOL is_signed;
        UINT value;
        BOOL translated;
    };
    const Case cases[] = {
        {"42", TRUE, 42, TRUE},           {"  -17 ", TRUE, static_cast<UINT>(-17), TRUE},
        {"+5", TRUE, 5, TRUE},            {"", TRUE, 0, FALSE},
        {"12abc", TRUE, 0, FALSE},        {"abc", TRUE, 0, FALSE},
        {"-", TRUE, 0, FALSE},            {"2147483647", TRUE, 2147483647u, TRUE},
        {"-2147483648", TRUE, 0x80000000u, TRUE}, {"2147483648", TRUE, 0, FALSE},
        {"2147483648", FALSE, 2147483648u, TRUE}, {"-1", FALSE, 0, FALSE},
        {"4294967296", FALSE, 0, FALSE},
    };
    g_on_init = [&](HWND dialog) {
        for (const Case& c : cases) {
            ASSERT_TRUE(SetDlgItemTextA(dialog, 11, c.text));
            BOOL translated = 7;
            EXPECT_EQ(GetDlgItemInt(dialog, 11, &translated, c.is_signed), c.value) << '"' << c.text << '"';
            EXPECT_EQ(translated, c.translated) << '"' << c.text << '"';
        }
        BOOL translated = 7;
        EXPECT_EQ(GetDlgItemInt(dialog, 99, &translated, TRUE), 0u);
        EXPECT_EQ(translated, FALSE);
        EXPECT_EQ(SetDlgItemInt(dialog, 99, 1, TRUE), FALSE);
        EXPECT_TRUE(SetDlgItemInt(dialog, 11, static_cast<UINT>(-5), TRUE));
        EXPECT_EQ(GetDlgItemInt(dialog, 11, nullptr, TRUE), static_cast<UINT>(-5));
        EXPECT_TRUE(SetDlgItemInt(dialog, 11, static_cast<UINT>(-5), FALSE));
        char buffer[16];
        EXPECT_EQ(GetDlgItemTextA(dialog, 11, buffer, sizeof buffer), 10u);
        EXPECT_STREQ(buffer, "4294967291");
    };
    EXPECT_EQ(run("cancel"), 200);
}

TEST_F(DialogManager, ControlsKeepTheirStateAndNotify) {
    g_on_init = [](HWND dialog) {
        for (const char* s : {"a", "b", "c"}) SendDlgItemMessageA(dialog, 20, CB_ADDSTRING, 0, (LPARAM)s);
        EXPECT_EQ(SendDlgItemMessageA(dialog, 20, CB_SETCURSEL, 1, 0), 1);
        EXPECT_EQ(SendDlgItemMessageA(dialog, 20, CB_SETCURSEL, 3, 0), CB_ERR);
        EXPECT_EQ(SendDlgItemMessageA(dialog, 20, CB_GETCURSEL, 0, 0), -1) << "out of range clears";
        SendDlgItemMessageA(dialog, 20, CB_SETCURSEL, 2, 0);
        EXPECT_EQ(SendDlgItemMessageA(dialog, 12, UDM_SETRANGE, 0, MAKELONG(20, 5)), 0);
        EXPECT_EQ(SendDlgItemMessageA(dialog, 12, UDM_GETRANGE, 0, 0), MAKELONG(20, 5));
        SetDlgItemInt(dialog, 11, 19, TRUE);
        SendDlgItemMessageA(dialog, 30, BM_SETCHECK, BST_CHECKED, 0);
        EXPECT_EQ(SendDlgItemMessageA(dialog, 99, BM_GETCHECK, 0, 0), 0) << "no such control";
    };
    // The edit at 10 takes digits only; 11 takes anything; the spin (buddy 11)
    // stops at 20; the box is unticked by a click.
    EXPECT_EQ(run("10=-1a2;11=x\\;y;11=19;12=up;12=up;30=click;20=0;ok"), 100);
    EXPECT_EQ(text(10), "12");
    EXPECT_EQ(text(11), "20");
    DialogControlState s{};
    ASSERT_EQ(dialog_last_control(30, &s), 1);
    EXPECT_EQ(s.check, 0);
    ASSERT_EQ(dialog_last_control(20, &s), 1);
    EXPECT_EQ(s.selection, 0);
    EXPECT_EQ(dialog_last_focus(), 1);

    const std::vector<std::pair<WORD, WORD>> expected = {
        {11, EN_CHANGE},  // SetDlgItemInt during WM_INITDIALOG
        {10, EN_CHANGE}, {11, EN_CHANGE}, {11, EN_CHANGE}, {11, EN_CHANGE}, {11, EN_CHANGE},
        {30, BN_CLICKED}, {20, CBN_SELCHANGE}, {IDOK, BN_CLICKED}};
    EXPECT_EQ(g_commands, expected);
}

TEST_F(DialogManager, ScriptsEndTheDialogOneWayOrAnother) {
    EXPECT_EQ(dialog_script_set("1=2;frobnicate"), 0);
    EXPECT_NE(std::string(dialog_script_error()).find("frobnicate"), std::string::npos);
    EXPECT_EQ(dialog_script_set("x=1"), 0);
    EXPECT_EQ(dialog_script_set("-1=1"), 0);

    // No script: the user closes the window, which cancels.
    EXPECT_EQ(run(""), 200);
    // Steps after the end are not run.
    g_commands.clear();
    EXPECT_EQ(run("cancel;ok"), 200);
    EXPECT_EQ(g_commands.size(), 1u);
    // A step the dialog can't take cancels it and says why.
    EXPECT_EQ(run("77=1;ok"), 200);
    EXPECT_NE(std::string(dialog_script_error()).find("no control"), std::string::npos);
    EXPECT_EQ(run("20=5;ok"), 200) << "the combo box is empty";
    // A procedure that never ends its dialog does not hang the caller.
    g_end_on_cancel = false;
    EXPECT_EQ(run("close"), -1);
    EXPECT_STRNE(dialog_script_error(), "");
}

}  // namespace
