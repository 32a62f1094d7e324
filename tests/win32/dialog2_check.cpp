// Runs vnt.auo2's settings dialog on the real dialog manager, as the 64-bit
// editor does (no common controls registered by the host: the plug-in
// registers what it needs), and works it from a second thread: a Unicode
// dialog whose texts are whole in any code page, OK keeping what was typed
// (in the settings line and the plug-in's file), Cancel keeping nothing.
//   dialog2_check.exe path\to\vnt.auo2 [--shot]
// The application-data folder handed over is the current one. --shot as for
// dialog_check.exe (dialog.ready, dialog.go). Exit code 0 when all holds.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/platform.h"
#include "plugin/config_dialog_template.h"
#include "plugin2/auo2_abi.h"

namespace {

int faults = 0;

void fault(const char* format, ...) __attribute__((format(printf, 1, 2)));
void fault(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("dialog2_check: ", stdout);
    std::vfprintf(stdout, format, args);
    std::fputc('\n', stdout);
    va_end(args);
    std::fflush(stdout);
    ++faults;
}

std::wstring wide(const char* utf8) {
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

struct Round {
    const char* name;
    void (*work)(HWND dialog);
    bool shot;
    bool found = false;
};
Round* g_round = nullptr;

void click(HWND dialog, int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// Round 1: what a new plug-in shows (the defaults, PCM sound), in Unicode; a new bit rate, OK.
void first_round(HWND dialog) {
    if (!IsWindowUnicode(dialog)) fault("the dialog is not a Unicode window");
    if (SendDlgItemMessageW(dialog, kIdCodecCombo, CB_GETCOUNT, 0, 0) != 5) fault("the codec list has not 5 entries");
    if (SendDlgItemMessageW(dialog, kIdAudioCombo, CB_GETCOUNT, 0, 0) != 5) fault("the audio list has not 5 entries");
    const LRESULT audio = SendDlgItemMessageW(dialog, kIdAudioCombo, CB_GETCURSEL, 0, 0);
    if (audio != 1) fault("audio entry %ld selected, want 1 (PCM)", static_cast<long>(audio));
    wchar_t none[16] = {};
    SendDlgItemMessageW(dialog, kIdAudioCombo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(none));
    if (std::wcscmp(none, L"\u306a\u3057") != 0) fault("the first audio entry is not \"none\" in Japanese");
    wchar_t ok_text[16] = {};
    GetDlgItemTextW(dialog, IDOK, ok_text, 16);
    if (wide(kConfigDialogItems[0].text) != ok_text) fault("the OK button's text is not the template's");
    const LRESULT range = SendDlgItemMessageW(dialog, kIdBitRateSpin, UDM_GETRANGE, 0, 0);
    if (static_cast<short>(LOWORD(range)) != 32767) fault("the bit rate's spin does not reach 32767");
    SetDlgItemTextW(dialog, kIdBitRateEdit, L"4000");
    click(dialog, IDOK);
}

// Round 2: a change, then Cancel.
void second_round(HWND dialog) {
    SetDlgItemTextW(dialog, kIdBitRateEdit, L"777");
    click(dialog, IDCANCEL);
}

DWORD WINAPI worker(LPVOID) {
    HWND dialog = nullptr;
    for (int i = 0; i < 200 && !dialog; ++i) {
        EnumThreadWindows(g_main_thread, find_dialog, reinterpret_cast<LPARAM>(&dialog));
        if (!dialog) Sleep(50);
    }
    if (!dialog) return 0;
    g_round->found = true;
    wchar_t title[64] = {};
    GetWindowTextW(dialog, title, 64);
    if (wide(kConfigDialog.caption) != title) fault("%s: the dialog's caption is not the template's", g_round->name);
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
        for (int i = 0; i < 1200 && GetFileAttributesA("dialog.go") == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
    }
    g_round->work(dialog);
    return 0;
}

void run_round(const Auo2Table& table, HINSTANCE instance, Round& round) {
    g_round = &round;
    HANDLE thread = CreateThread(nullptr, 0, worker, nullptr, 0, nullptr);
    const bool answered = table.on_config(nullptr, instance);
    WaitForSingleObject(thread, 20000);
    CloseHandle(thread);
    if (!round.found) fault("%s: the dialog did not appear", round.name);
    if (!answered) fault("%s: the dialog entry returned false", round.name);
}

std::wstring line(const Auo2Table& table) {
    const Auo2Text text = table.on_config_text();
    return text ? std::wstring(text, text + std::char_traits<char16_t>::length(text)) : L"";
}

std::string file_text(const char* name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

template <class F>
F entry(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: dialog2_check path\\to\\vnt.auo2 [--shot]\n", stderr);
        return 2;
    }
    const bool shot = argc > 2 && std::strcmp(argv[2], "--shot") == 0;
    g_main_thread = GetCurrentThreadId();
    HMODULE module = LoadLibraryA(argv[1]);
    if (!module) {
        fault("can't load %s", argv[1]);
        return 1;
    }
    const auto get_table = entry<Auo2GetTableFunc>(module, "GetOutputPluginTable");
    const auto init_config = entry<Auo2InitializeConfigFunc>(module, "InitializeConfig");
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    Auo2ConfigHandle config{};
    config.app_data_path = reinterpret_cast<Auo2Text>(folder);
    if (init_config) init_config(&config);
    const Auo2Table* table = get_table ? get_table() : nullptr;
    if (!table || !table->on_config || !table->on_config_text || !init_config) {
        fault("%s has no usable table or no InitializeConfig", argv[1]);
        return 1;
    }

    // The editor hands over the plug-in's instance; a null one must do too.
    Round first{"OK with a new bit rate, a null instance", first_round, shot};
    run_round(*table, nullptr, first);
    const std::wstring after_ok = line(*table);
    if (after_ok.find(L" 4000 kbps,") == std::wstring::npos || after_ok.find(L"audio PCM") == std::wstring::npos)
        fault("after OK the settings line is \"%ls\"", after_ok.c_str());
    if (file_text("vnt.auo2.conf").find("\nbit_rate=4000") == std::string::npos)
        fault("vnt.auo2.conf does not hold bit_rate=4000");

    Round second{"Cancel, the module's instance", second_round, false};
    run_round(*table, module, second);
    if (line(*table) != after_ok) fault("after Cancel the settings line is \"%ls\"", line(*table).c_str());

    FreeLibrary(module);
    if (faults == 0) std::printf("dialog2_check: two rounds of vnt.auo2's settings dialog as expected\n");
    return faults == 0 ? 0 : 1;
}
