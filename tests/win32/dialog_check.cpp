// Runs vnt.auo's settings dialog on the real dialog manager, as the editor
// does (common controls registered first), and works it from a second thread
// as a user would: checks what the dialog shows, types new values and clicks
// OK or Cancel, then checks what the plug-in keeps.
//   dialog_check.exe path\to\vnt.auo [--shot]
// With --shot, once the first dialog is drawn it writes its screen rectangle
// to "dialog.ready" and waits (up to 60 s) for a file "dialog.go", so that a
// script can take a screenshot meanwhile. Exit code 0 when all holds.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "engine/platform.h"
#include "plugin/config.h"
#include "plugin/config_dialog_template.h"
#include "plugin/plugin_abi.h"

namespace {

int faults = 0;

void fault(const char* format, ...) __attribute__((format(printf, 1, 2)));
void fault(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("dialog_check: ", stdout);
    std::vfprintf(stdout, format, args);
    std::fputc('\n', stdout);
    va_end(args);
    std::fflush(stdout);
    ++faults;
}

bool file_exists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

std::wstring caption() {
    const char* utf8 = kConfigDialog.caption;
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(n - 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
    return w;
}

DWORD g_main_thread = 0;

BOOL CALLBACK find_dialog(HWND window, LPARAM found) {
    wchar_t cls[16] = {};
    GetClassNameW(window, cls, 16);
    if (std::wcscmp(cls, L"#32770") == 0 && IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

// The dialog is the visible dialog-class window of the thread that called
// the plug-in's dialog entry.
HWND wait_for_dialog(int steps) {
    for (int i = 0; i < steps; ++i) {
        HWND found = nullptr;
        EnumThreadWindows(g_main_thread, find_dialog, reinterpret_cast<LPARAM>(&found));
        if (found) return found;
        Sleep(50);
    }
    return nullptr;
}

std::string item_text(HWND dialog, int id) {
    char text[64] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

void set_text(HWND dialog, int id, const char* text) { SetDlgItemTextA(dialog, id, text); }

void click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// What one round of the dialog does from the worker thread.
struct Round {
    const char* name;
    void (*work)(HWND dialog);
    bool shot;
    int wait_steps = 200;  // of 50 ms
    bool found = false;
};

// Round 1: the dialog shows the stored record; the user changes it and clicks OK.
void first_round(HWND dialog) {
    const LRESULT count = SendDlgItemMessageA(dialog, kIdCodecCombo, CB_GETCOUNT, 0, 0);
    if (count != 5) fault("codec list has %ld entries, want 5", static_cast<long>(count));
    const LRESULT selected = SendDlgItemMessageA(dialog, kIdCodecCombo, CB_GETCURSEL, 0, 0);
    char text[64] = {};
    if (selected >= 0) SendDlgItemMessageA(dialog, kIdCodecCombo, CB_GETLBTEXT, selected, reinterpret_cast<LPARAM>(text));
    if (selected != 2 || std::strcmp(text, "MP43 (MPEG-4 V3)") != 0)
        fault("codec entry %ld \"%s\" selected, want 2 \"MP43 (MPEG-4 V3)\"", static_cast<long>(selected), text);

    struct Shown {
        int id;
        const char* text;
    };
    const Shown shown[] = {{kIdKeySecondsEdit, "5"}, {kIdBitRateEdit, "1234"}, {kIdCompressionEdit, "60"},
                           {kIdDiffEdit, "12"},       {kIdPixelEdit, "30"},     {kIdSceneEdit, "-3"}};
    for (const Shown& s : shown) {
        if (item_text(dialog, s.id) != s.text)
            fault("edit %d shows \"%s\", want \"%s\"", s.id, item_text(dialog, s.id).c_str(), s.text);
    }
    if (SendDlgItemMessageA(dialog, kIdLogCheck, BM_GETCHECK, 0, 0) != BST_CHECKED) fault("log box not checked");
    if (SendDlgItemMessageA(dialog, kIdAnalyseCheck, BM_GETCHECK, 0, 0) != BST_UNCHECKED) fault("analyse box checked");

    // Each up-down control has its range and sits at the right edge of the
    // control before it, its buddy.
    struct Spin {
        int id, buddy, low, high;
    };
    const Spin spins[] = {{kIdKeySecondsSpin, kIdKeySecondsEdit, 1, 9999}, {kIdBitRateSpin, kIdBitRateEdit, 1, 32767},
                          {kIdCompressionSpin, kIdCompressionEdit, 1, 100}, {kIdDiffSpin, kIdDiffEdit, 4, 64},
                          {kIdPixelSpin, kIdPixelEdit, 4, 64},              {kIdSceneSpin, kIdSceneEdit, 0, 10}};
    for (const Spin& s : spins) {
        const LRESULT range = SendDlgItemMessageA(dialog, s.id, UDM_GETRANGE, 0, 0);
        const int high = static_cast<short>(LOWORD(range)), low = static_cast<short>(HIWORD(range));
        if (low != s.low || high != s.high) fault("spin %d range %d..%d, want %d..%d", s.id, low, high, s.low, s.high);
        HWND buddy = reinterpret_cast<HWND>(SendDlgItemMessageA(dialog, s.id, UDM_GETBUDDY, 0, 0));
        if (buddy != GetDlgItem(dialog, s.buddy)) fault("spin %d is not the buddy of %d", s.id, s.buddy);
        RECT spin{}, edit{};
        GetWindowRect(GetDlgItem(dialog, s.id), &spin);
        GetWindowRect(GetDlgItem(dialog, s.buddy), &edit);
        if (spin.left < edit.left || spin.left > edit.right + 2 || spin.top != edit.top)
            fault("spin %d at %ld,%ld is not beside edit %d (%ld..%ld, top %ld)", s.id, spin.left, spin.top, s.buddy,
                  edit.left, edit.right, edit.top);
    }

    // Digits-only edits refuse a letter; the scene level's edit takes it.
    set_text(dialog, kIdKeySecondsEdit, "");
    SendMessageA(GetDlgItem(dialog, kIdKeySecondsEdit), WM_CHAR, 'x', 0);
    if (!item_text(dialog, kIdKeySecondsEdit).empty()) fault("the key-frame edit took a letter");
    set_text(dialog, kIdSceneEdit, "");
    SendMessageA(GetDlgItem(dialog, kIdSceneEdit), WM_CHAR, '2', 0);
    SendMessageA(GetDlgItem(dialog, kIdSceneEdit), WM_CHAR, '5', 0);

    // The audio list: five entries, the stored 200 kbit/s shown as the nearest, 192.
    const LRESULT audio_count = SendDlgItemMessageA(dialog, kIdAudioCombo, CB_GETCOUNT, 0, 0);
    if (audio_count != 5) fault("audio list has %ld entries, want 5", static_cast<long>(audio_count));
    const LRESULT audio = SendDlgItemMessageA(dialog, kIdAudioCombo, CB_GETCURSEL, 0, 0);
    if (audio != 3) fault("audio entry %ld selected for 200 kbit/s, want 3", static_cast<long>(audio));
    wchar_t none[16] = {};
    SendDlgItemMessageW(dialog, kIdAudioCombo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(none));
    if (std::wcscmp(none, L"\u306a\u3057") != 0) fault("the first audio entry is not \"none\" in Japanese");

    // The user's changes: an empty key-frame edit, a bit rate over the
    // ceiling, a scene level over the spin's top, another codec, log off,
    // MP3 at 320 kbit/s.
    set_text(dialog, kIdBitRateEdit, "40000");
    SendDlgItemMessageA(dialog, kIdCodecCombo, CB_SETCURSEL, 4, 0);
    SendDlgItemMessageA(dialog, kIdAudioCombo, CB_SETCURSEL, 4, 0);
    click(dialog, kIdLogCheck);
    click(dialog, kIdAnalyseCheck);
    click(dialog, IDOK);
}

// Round 2: changes, then Cancel.
void second_round(HWND dialog) {
    set_text(dialog, kIdBitRateEdit, "777");
    click(dialog, kIdAnalyseCheck);
    click(dialog, IDCANCEL);
}

// Round 3: an index outside the table shows no selection; OK keeps the rest.
void third_round(HWND dialog) {
    const LRESULT selected = SendDlgItemMessageA(dialog, kIdCodecCombo, CB_GETCURSEL, 0, 0);
    if (selected != CB_ERR) fault("codec index 7 shows entry %ld selected", static_cast<long>(selected));
    if (SendDlgItemMessageA(dialog, kIdLogCheck, BM_GETCHECK, 0, 0) != BST_CHECKED)
        fault("a log flag of 5 does not check the box");
    click(dialog, IDOK);
}

Round* g_round = nullptr;

DWORD WINAPI worker(LPVOID) {
    HWND dialog = wait_for_dialog(g_round->wait_steps);
    if (!dialog) return 0;
    g_round->found = true;
    wchar_t title[64] = {};
    GetWindowTextW(dialog, title, 64);
    if (caption() != title) fault("%s: the dialog's caption is not the template's", g_round->name);
    Sleep(300);  // let it paint
    if (g_round->shot) {
        RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        Sleep(500);
        RECT r{};
        GetWindowRect(dialog, &r);
        if (FILE* f = std::fopen("dialog.ready", "w")) {
            std::fprintf(f, "%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
            std::fclose(f);
        }
        for (int i = 0; i < 1200 && !file_exists("dialog.go"); ++i) Sleep(50);
    }
    g_round->work(dialog);
    return 0;
}

int run_round(const OutputPluginTable& table, HMODULE module, Round& round) {
    g_round = &round;
    HANDLE thread = CreateThread(nullptr, 0, worker, nullptr, 0, nullptr);
    const int result = table.on_config(nullptr, module);
    WaitForSingleObject(thread, 20000);
    CloseHandle(thread);
    if (!round.found) fault("%s: the dialog did not appear", round.name);
    if (result != 1) fault("%s: the dialog entry returned %d, want 1", round.name, result);
    return result;
}

PluginConfig get(const OutputPluginTable& table) {
    PluginConfig c{};
    table.on_config_get(&c, sizeof c);
    return c;
}

void expect(const char* round, const PluginConfig& got, const PluginConfig& want) {
    if (std::memcmp(&got, &want, sizeof got) == 0) return;
    fault("%s: record {%d %d %d %d %d %d %d %d %d %d}, want {%d %d %d %d %d %d %d %d %d %d}", round, got.codec_index,
          got.bit_rate, got.key_seconds, got.compression_control, got.diff_threshold, got.pixel_threshold,
          got.log_enabled, got.analyse_enabled, got.scene_level, got.audio, want.codec_index, want.bit_rate,
          want.key_seconds, want.compression_control, want.diff_threshold, want.pixel_threshold, want.log_enabled,
          want.analyse_enabled, want.scene_level, want.audio);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: dialog_check path\\to\\vnt.auo [--shot]\n", stderr);
        return 2;
    }
    const bool shot = argc > 2 && std::strcmp(argv[2], "--shot") == 0;
    g_main_thread = GetCurrentThreadId();
    // The editor registers the common controls before it loads plug-ins.
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);

    HMODULE module = LoadLibraryA(argv[1]);
    if (!module) {
        fault("can't load %s", argv[1]);
        return 1;
    }
    auto get_table = reinterpret_cast<GetOutputPluginTableFunc>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "GetOutputPluginTable")));
    const OutputPluginTable* table = get_table ? get_table() : nullptr;
    if (!table || !table->on_config || !table->on_config_get || !table->on_config_set) {
        fault("%s has no usable table", argv[1]);
        return 1;
    }

    PluginConfig start{2, 1234, 5, 60, 12, 30, 1, 0, -3, 200};
    table->on_config_set(&start, sizeof start);

    Round first{"OK with changes", first_round, shot};
    run_round(*table, module, first);
    expect(first.name, get(*table), PluginConfig{4, 40000, 0, 60, 12, 30, 0, 1, 25, 320});

    const PluginConfig before_cancel = get(*table);
    Round second{"Cancel", second_round, false};
    run_round(*table, module, second);
    expect(second.name, get(*table), before_cancel);

    PluginConfig odd = before_cancel;
    odd.codec_index = 7;
    odd.log_enabled = 5;
    table->on_config_set(&odd, sizeof odd);
    Round third{"OK unchanged", third_round, false};
    run_round(*table, module, third);
    PluginConfig want = odd;
    want.codec_index = -1;
    want.log_enabled = 1;
    expect(third.name, get(*table), want);

    // A dialog that can't be created (here: an instance without the
    // resource) is not reported: the entry returns 1 and the record stays.
    const PluginConfig before_missing = get(*table);
    Round fourth{"no resource", [](HWND dialog) {
                     fault("a dialog came up from a module without the resource");
                     click(dialog, IDCANCEL);
                 },
                 false, 40};
    g_round = &fourth;
    HANDLE thread = CreateThread(nullptr, 0, worker, nullptr, 0, nullptr);
    const int result = table->on_config(nullptr, GetModuleHandleA(nullptr));
    WaitForSingleObject(thread, 20000);
    CloseHandle(thread);
    if (result != 1) fault("no resource: the dialog entry returned %d, want 1", result);
    expect(fourth.name, get(*table), before_missing);

    FreeLibrary(module);
    if (faults == 0) std::printf("dialog_check: four rounds of the settings dialog as expected\n");
    return faults == 0 ? 0 : 1;
}
