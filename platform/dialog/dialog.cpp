// A headless dialog manager: modal dialogs are built from templates that
// modules link in (dialog_templates.cpp), keep their controls' state
// (dialog_controls.cpp), and take their "user input" from a script
// (dialog_script.cpp) instead of a screen. One manager per process, on the
// calling thread, like the window manager's per-thread message loop; no locks.
// This file holds the manager and the modal loop.
#include <string>
#include <utility>
#include <vector>

#include "common/ascii.h"
#include "platform/base/wide_name.h"
#include "platform/dialog/dialog_internal.h"

// Never destroyed: modules unregister their templates from their own
// destructors, which may run after this library's.
DialogManager& dialog_manager() {
    static DialogManager* m = new DialogManager;
    return *m;
}

std::string dialog_lower(const char* s) {
    std::string out = s ? s : "";
    for (char& c : out) c = ascii_lower(c);
    return out;
}

DialogWindow* dialog_of(HWND hwnd) {
    for (DialogWindow* d : dialog_manager().live) {
        if (reinterpret_cast<HWND>(d) == hwnd) return d;
    }
    return nullptr;
}

void WINAPI InitCommonControls(void) { dialog_manager().common_controls = true; }

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) {
    if (!picce || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
    if (picce->dwICC & ICC_UPDOWN_CLASS) dialog_manager().common_controls = true;
    return TRUE;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
    DialogManager& m = dialog_manager();
    std::vector<DialogStep> steps;
    steps.swap(m.pending);  // a script serves one dialog
    m.error.clear();

    const DialogResource* resource = templates_find(hInstance, lpTemplateName);
    if (!resource || !lpDialogFunc) {
        m.error = "dialog template not found";
        return -1;
    }
    DialogWindow dialog;
    dialog.name = IS_INTRESOURCE(lpTemplateName) ? "" : lpTemplateName;
    dialog.proc = lpDialogFunc;
    if (!controls_build(*resource, dialog)) return -1;

    m.live.push_back(&dialog);
    const HWND hwnd = reinterpret_cast<HWND>(&dialog);
    const DWORD no_focus = WS_DISABLED;
    if (lpDialogFunc(hwnd, WM_INITDIALOG, 0, dwInitParam)) {
        // The system gives the focus to the first control that takes tab stops.
        for (const DialogControl& c : dialog.controls) {
            if ((c.style & WS_TABSTOP) && !(c.style & no_focus)) {
                dialog.focus = c.id;
                break;
            }
        }
    }
    for (const DialogStep& step : steps) {
        if (dialog.ended) break;
        if (!script_run_step(&dialog, step)) {
            if (!dialog.ended) controls_send_command(&dialog, IDCANCEL, BN_CLICKED);
            break;
        }
    }
    if (!dialog.ended) script_run_step(&dialog, DialogStep{DialogStepKind::close, 0, ""});
    if (!dialog.ended) {
        if (m.error.empty()) m.error = "the dialog did not end when closed";
        dialog.result = -1;
    }
    m.live.pop_back();

    m.have_last = true;
    m.last_result = dialog.result;
    m.last_focus = dialog.focus;
    m.last_controls = std::move(dialog.controls);  // the dialog is gone
    return dialog.result;
}

INT_PTR WINAPI DialogBoxParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
    if (IS_INTRESOURCE(lpTemplateName))
        return DialogBoxParamA(hInstance, reinterpret_cast<LPCSTR>(lpTemplateName), hWndParent, lpDialogFunc,
                               dwInitParam);
    const std::string name = wide_name_utf8(lpTemplateName);
    if (name.empty()) {
        dialog_manager().pending.clear();
        dialog_manager().error = "dialog template not found";
        return -1;
    }
    return DialogBoxParamA(hInstance, name.c_str(), hWndParent, lpDialogFunc, dwInitParam);
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    DialogWindow* d = dialog_of(hDlg);
    if (!d) return FALSE;
    d->ended = true;
    d->result = nResult;
    return TRUE;
}
