#include "plugin2/dialog2.h"

#include <array>

#include "plugin/config_dialog.h"
#include "plugin/config_dialog_template.h"

namespace {

// "なし" (none), the audio list's first entry: vnt.auo's procedure adds it
// through the ANSI message in Shift-JIS, which a Unicode dialog reads in the
// ANSI code page of the moment, the editor's or UTF-8. Here it is UTF-16.
constexpr WCHAR kAudioNone[] = {0x306A, 0x3057, 0};

// vnt.auo's procedure, with that one entry written again after it fills the controls.
INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    const INT_PTR answer = config_dialog_proc(dialog, message, wparam, lparam);
    if (message == WM_INITDIALOG) {
        const LRESULT selected = SendDlgItemMessageW(dialog, kIdAudioCombo, CB_GETCURSEL, 0, 0);
        SendDlgItemMessageW(dialog, kIdAudioCombo, CB_DELETESTRING, 0, 0);
        SendDlgItemMessageW(dialog, kIdAudioCombo, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(kAudioNone));
        SendDlgItemMessageW(dialog, kIdAudioCombo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    }
    return answer;
}

HINSTANCE own_module() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&kAudioNone), &module);
    return module;
}

}  // namespace

INT_PTR auo2_dialog_run(HWND parent, HINSTANCE instance) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&classes);
    std::array<WCHAR, 16> name{};  // the template's ASCII name in UTF-16
    for (size_t i = 0; i + 1 < name.size() && kConfigDialog.name[i]; ++i)
        name[i] = static_cast<WCHAR>(kConfigDialog.name[i]);
    return DialogBoxParamW(instance ? instance : own_module(), name.data(), parent, dialog_proc, 0);
}
