// A headless dialog manager: modal dialogs are built from templates that
// modules link in (dialog_resource.h), keep their controls' state, and take
// their "user input" from a script (dialog_script.h) instead of a screen.
// One manager per process, on the calling thread, like the window manager's
// per-thread message loop; no locks.
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dialog/dialog.h"
#include "platform/dialog/dialog_resource.h"
#include "platform/dialog/dialog_script.h"

namespace {

enum class ControlClass { button, static_text, edit, combobox, updown };

struct Control {
    int id = -1;
    ControlClass kind = ControlClass::static_text;
    std::string class_name;  // lower case
    std::string text;
    DWORD style = 0;
    std::vector<std::string> items;
    int selection = -1;
    int check = 0;
    int range_min = 100;  // an up-down control starts with the range 100..0
    int range_max = 0;
    int pos = 0;
    int buddy = -1;  // index of the buddy control
};

struct Dialog {
    std::string name;
    std::vector<Control> controls;
    DLGPROC proc = nullptr;
    bool ended = false;
    INT_PTR result = 0;
    int focus = 0;
};

struct Registration {
    const link_map* module;
    std::string name;
    const DialogResource* resource;
};

enum class StepKind { set_value, ok, cancel, close, command };

struct Step {
    StepKind kind;
    int id;
    std::string value;
};

struct Manager {
    std::vector<Registration> templates;
    std::vector<Dialog*> live;  // innermost dialog last
    std::vector<Step> pending;
    std::string error;
    bool common_controls = false;
    bool have_last = false;
    INT_PTR last_result = 0;
    int last_focus = 0;
    std::vector<Control> last_controls;
};

// Never destroyed: modules unregister their templates from their own
// destructors, which may run after this library's.
Manager& manager() {
    static Manager* m = new Manager;
    return *m;
}

std::string lower(const char* s) {
    std::string out = s ? s : "";
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool same_name(const std::string& registered, LPCSTR wanted) {
    if (IS_INTRESOURCE(wanted)) {
        // MAKEINTRESOURCE(n) matches a template registered as "#n".
        return registered == "#" + std::to_string(reinterpret_cast<ULONG_PTR>(wanted));
    }
    return lower(registered.c_str()) == lower(wanted);
}

const link_map* module_of(const void* anchor) {
    Dl_info info;
    void* extra = nullptr;
    if (!anchor || !dladdr1(anchor, &info, &extra, RTLD_DL_LINKMAP)) return nullptr;
    return static_cast<const link_map*>(extra);
}

// The handle LoadLibraryA gave (or would give) for the module. A null instance
// stands for the program itself, as on Windows.
bool module_has_handle(const link_map* module, HINSTANCE instance) {
    const bool is_program = !module->l_name || !*module->l_name;
    void* handle = is_program ? dlopen(nullptr, RTLD_LAZY) : dlopen(module->l_name, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) return false;
    void* program = instance ? nullptr : dlopen(nullptr, RTLD_LAZY);
    const bool same = handle == (instance ? static_cast<void*>(instance) : program);
    if (program) dlclose(program);
    dlclose(handle);
    return same;
}

Dialog* dialog_of(HWND hwnd) {
    for (Dialog* d : manager().live) {
        if (reinterpret_cast<HWND>(d) == hwnd) return d;
    }
    return nullptr;
}

Control* control_of(Dialog* d, int id) {
    if (!d) return nullptr;
    for (Control& c : d->controls) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

// Windows' reading of a number in a dialog item: blanks around it, a sign
// (minus only when signed), at least one digit, nothing else, and a value
// that fits; otherwise not translated.
bool parse_item_int(const std::string& s, bool is_signed, UINT& value) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        if (s[i] == '-') {
            if (!is_signed) return false;
            negative = true;
        }
        ++i;
    }
    const size_t first_digit = i;
    uint64_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        v = v * 10 + static_cast<uint64_t>(s[i] - '0');
        if (v > 0xFFFFFFFFull) return false;
        ++i;
    }
    if (i == first_digit) return false;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i != s.size()) return false;
    if (is_signed) {
        if (v > (negative ? 2147483648ull : 2147483647ull)) return false;
        value = static_cast<UINT>(negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v));
    } else {
        value = static_cast<UINT>(v);
    }
    return true;
}

void send_command(Dialog* d, int id, WORD code) {
    const WPARAM wparam = static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(static_cast<WORD>(id), code)));
    d->proc(reinterpret_cast<HWND>(d), WM_COMMAND, wparam, 0);
}

// Text set on an edit notifies its dialog, as the system's edit control does.
void set_text(Dialog* d, Control& c, std::string text) {
    c.text = std::move(text);
    if (c.kind == ControlClass::edit) send_command(d, c.id, EN_CHANGE);
}

int updown_position(const Dialog* d, const Control& c) {
    if ((c.style & UDS_SETBUDDYINT) && c.buddy >= 0) {
        UINT v = 0;
        std::string text = d->controls[static_cast<size_t>(c.buddy)].text;
        text.erase(std::remove(text.begin(), text.end(), ','), text.end());
        if (parse_item_int(text, true, v)) return static_cast<int>(v);
    }
    return c.pos;
}

void updown_set_position(Dialog* d, Control& c, int pos) {
    const int lo = std::min(c.range_min, c.range_max);
    const int hi = std::max(c.range_min, c.range_max);
    c.pos = std::clamp(pos, lo, hi);
    if ((c.style & UDS_SETBUDDYINT) && c.buddy >= 0) {
        set_text(d, d->controls[static_cast<size_t>(c.buddy)], std::to_string(c.pos));
    }
}

void button_click(Dialog* d, Control& c) {
    const DWORD type = c.style & BS_TYPEMASK;
    if (type == BS_AUTOCHECKBOX) {
        c.check = c.check == static_cast<int>(BST_CHECKED) ? 0 : 1;
    } else if (type == BS_AUTO3STATE) {
        c.check = (c.check + 1) % 3;
    }
    send_command(d, c.id, BN_CLICKED);
}

LRESULT control_message(Dialog* d, Control& c, UINT msg, WPARAM wparam, LPARAM lparam) {
    switch (msg) {
    case WM_SETTEXT:
        set_text(d, c, lparam ? reinterpret_cast<const char*>(lparam) : "");
        return TRUE;
    case WM_GETTEXT: {
        char* out = reinterpret_cast<char*>(lparam);
        if (!out || wparam == 0) return 0;
        const size_t n = std::min(c.text.size(), static_cast<size_t>(wparam) - 1);
        std::memcpy(out, c.text.data(), n);
        out[n] = '\0';
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(c.text.size());
    default:
        break;
    }

    if (c.kind == ControlClass::button) {
        switch (msg) {
        case BM_SETCHECK:
            c.check = static_cast<int>(wparam);
            return 0;
        case BM_GETCHECK:
            return c.check;
        case BM_CLICK:
            button_click(d, c);
            return 0;
        default:
            return 0;
        }
    }

    if (c.kind == ControlClass::combobox) {
        const int count = static_cast<int>(c.items.size());
        const int index = static_cast<int>(wparam);
        switch (msg) {
        case CB_ADDSTRING: {
            const char* s = lparam ? reinterpret_cast<const char*>(lparam) : "";
            auto at = c.items.end();
            if (c.style & CBS_SORT) {
                at = std::find_if(c.items.begin(), c.items.end(),
                                  [&](const std::string& e) { return lower(e.c_str()) > lower(s); });
            }
            return static_cast<LRESULT>(c.items.insert(at, s) - c.items.begin());
        }
        case CB_SETCURSEL:
            // An index outside the list (-1 included) clears the selection.
            if (index < 0 || index >= count) {
                c.selection = -1;
                return CB_ERR;
            }
            c.selection = index;
            return index;
        case CB_GETCURSEL:
            return c.selection;
        case CB_GETCOUNT:
            return count;
        case CB_GETLBTEXTLEN:
            return index >= 0 && index < count ? static_cast<LRESULT>(c.items[static_cast<size_t>(index)].size())
                                               : CB_ERR;
        case CB_GETLBTEXT: {
            if (index < 0 || index >= count || !lparam) return CB_ERR;
            const std::string& e = c.items[static_cast<size_t>(index)];
            std::memcpy(reinterpret_cast<char*>(lparam), e.c_str(), e.size() + 1);
            return static_cast<LRESULT>(e.size());
        }
        case CB_RESETCONTENT:
            c.items.clear();
            c.selection = -1;
            return 0;
        default:
            return 0;
        }
    }

    if (c.kind == ControlClass::updown) {
        switch (msg) {
        case UDM_SETRANGE:  // low word the maximum, high word the minimum, both signed 16-bit
            c.range_max = static_cast<short>(LOWORD(static_cast<DWORD_PTR>(lparam)));
            c.range_min = static_cast<short>(HIWORD(static_cast<DWORD_PTR>(lparam)));
            return 0;
        case UDM_GETRANGE:
            return MAKELONG(static_cast<WORD>(c.range_max), static_cast<WORD>(c.range_min));
        case UDM_SETRANGE32:
            c.range_min = static_cast<int>(wparam);
            c.range_max = static_cast<int>(lparam);
            return 0;
        case UDM_GETRANGE32:
            if (wparam) *reinterpret_cast<int*>(wparam) = c.range_min;
            if (lparam) *reinterpret_cast<int*>(lparam) = c.range_max;
            return 0;
        case UDM_SETPOS: {
            const int old = updown_position(d, c);
            updown_set_position(d, c, static_cast<short>(LOWORD(static_cast<DWORD_PTR>(lparam))));
            return old;
        }
        case UDM_GETPOS:
            return static_cast<WORD>(updown_position(d, c));
        default:
            return 0;
        }
    }
    return 0;
}

// Parses one script. Returns false with manager().error set on a syntax error.
bool parse_script(const char* script, std::vector<Step>& steps) {
    steps.clear();
    std::vector<std::string> parts(1);
    for (const char* p = script ? script : ""; *p; ++p) {
        if (*p == '\\' && (p[1] == ';' || p[1] == '\\')) {
            parts.back() += *++p;
        } else if (*p == ';') {
            parts.emplace_back();
        } else {
            parts.back() += *p;
        }
    }
    for (const std::string& part : parts) {
        std::string word = part;
        const size_t eq = word.find('=');
        std::string head = lower(word.substr(0, eq).c_str());
        while (!head.empty() && head.front() == ' ') head.erase(head.begin());
        while (!head.empty() && head.back() == ' ') head.pop_back();
        if (eq == std::string::npos) {
            if (head.empty()) continue;
            if (head == "ok") steps.push_back({StepKind::ok, IDOK, ""});
            else if (head == "cancel") steps.push_back({StepKind::cancel, IDCANCEL, ""});
            else if (head == "close") steps.push_back({StepKind::close, 0, ""});
            else {
                manager().error = "unknown dialog step \"" + part + "\"";
                return false;
            }
            continue;
        }
        const std::string value = word.substr(eq + 1);
        const bool is_command = head == "command";
        UINT id = 0;
        if (!parse_item_int(is_command ? value : head, true, id) || static_cast<int>(id) < 0 ||
            static_cast<int>(id) > 0xFFFF) {
            manager().error = "bad control identifier in dialog step \"" + part + "\"";
            return false;
        }
        steps.push_back({is_command ? StepKind::command : StepKind::set_value, static_cast<int>(id), value});
    }
    return true;
}

// Carries out one step; false with manager().error set when it can't.
bool run_step(Dialog* d, const Step& step) {
    switch (step.kind) {
    case StepKind::ok:
    case StepKind::cancel:
    case StepKind::command:
        send_command(d, step.id, BN_CLICKED);
        return true;
    case StepKind::close:
        if (!d->proc(reinterpret_cast<HWND>(d), WM_CLOSE, 0, 0) && !d->ended) send_command(d, IDCANCEL, BN_CLICKED);
        return true;
    case StepKind::set_value:
        break;
    }
    Control* c = control_of(d, step.id);
    const std::string where = "dialog step \"" + std::to_string(step.id) + "=" + step.value + "\": ";
    if (!c) {
        manager().error = where + "no control with that identifier";
        return false;
    }
    const std::string v = lower(step.value.c_str());
    switch (c->kind) {
    case ControlClass::edit: {
        std::string typed;
        for (char ch : step.value) {
            if (!(c->style & ES_NUMBER) || (ch >= '0' && ch <= '9')) typed += ch;
        }
        set_text(d, *c, typed);
        return true;
    }
    case ControlClass::combobox: {
        UINT index = 0;
        if (v == "none") {
            c->selection = -1;
        } else if (parse_item_int(v, false, index) && index < c->items.size()) {
            c->selection = static_cast<int>(index);
        } else {
            manager().error = where + "the combo box has no such entry";
            return false;
        }
        send_command(d, c->id, CBN_SELCHANGE);
        return true;
    }
    case ControlClass::button: {
        const DWORD type = c->style & BS_TYPEMASK;
        const bool checkable = type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
                               type == BS_AUTO3STATE || type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
        if (v == "click" && type != BS_GROUPBOX) {
            button_click(d, *c);
            return true;
        }
        if ((v == "check" || v == "uncheck") && checkable) {
            const int wanted = v == "check" ? 1 : 0;
            if (c->check != wanted) {
                c->check = wanted;
                send_command(d, c->id, BN_CLICKED);
            }
            return true;
        }
        manager().error = where + "the button can't take that";
        return false;
    }
    case ControlClass::updown:
        if (v == "up" || v == "down") {
            const int step_by = (v == "up") == (c->range_min <= c->range_max) ? 1 : -1;
            updown_set_position(d, *c, updown_position(d, *c) + step_by);
            return true;
        }
        manager().error = where + "an up-down control takes up or down";
        return false;
    case ControlClass::static_text:
        break;
    }
    manager().error = where + "the control takes no input";
    return false;
}

bool build_controls(const DialogResource& r, Dialog& d) {
    for (int i = 0; i < r.item_count; ++i) {
        const DialogItemResource& item = r.items[i];
        Control c;
        c.id = item.id;
        c.class_name = lower(item.class_name);
        c.text = item.text ? item.text : "";
        c.style = item.style;
        if (c.class_name == "button") c.kind = ControlClass::button;
        else if (c.class_name == "static") c.kind = ControlClass::static_text;
        else if (c.class_name == "edit") c.kind = ControlClass::edit;
        else if (c.class_name == "combobox") c.kind = ControlClass::combobox;
        else if (c.class_name == "msctls_updown32" && manager().common_controls) c.kind = ControlClass::updown;
        else {
            manager().error = "dialog control class \"" + c.class_name + "\" is not registered";
            return false;
        }
        if (c.kind == ControlClass::updown && (c.style & UDS_AUTOBUDDY) && i > 0) c.buddy = i - 1;
        d.controls.push_back(std::move(c));
    }
    return true;
}

}  // namespace

void WINAPI InitCommonControls(void) { manager().common_controls = true; }

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) {
    if (!picce || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
    if (picce->dwICC & ICC_UPDOWN_CLASS) manager().common_controls = true;
    return TRUE;
}

int dialog_resource_register(const void* anchor, const char* name, const DialogResource* resource) {
    const link_map* module = module_of(anchor);
    if (!module || !name || !resource) return 0;
    dialog_resource_unregister(anchor, name);
    manager().templates.push_back({module, name, resource});
    return 1;
}

void dialog_resource_unregister(const void* anchor, const char* name) {
    const link_map* module = module_of(anchor);
    auto& t = manager().templates;
    t.erase(std::remove_if(t.begin(), t.end(),
                           [&](const Registration& r) {
                               return r.module == module && name && lower(r.name.c_str()) == lower(name);
                           }),
            t.end());
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
    Manager& m = manager();
    std::vector<Step> steps;
    steps.swap(m.pending);  // a script serves one dialog
    m.error.clear();

    const DialogResource* resource = nullptr;
    for (const Registration& r : m.templates) {
        if (lpTemplateName && same_name(r.name, lpTemplateName) && module_has_handle(r.module, hInstance)) {
            resource = r.resource;
            break;
        }
    }
    if (!resource || !lpDialogFunc) {
        m.error = "dialog template not found";
        return -1;
    }
    Dialog dialog;
    dialog.name = IS_INTRESOURCE(lpTemplateName) ? "" : lpTemplateName;
    dialog.proc = lpDialogFunc;
    if (!build_controls(*resource, dialog)) return -1;

    m.live.push_back(&dialog);
    const HWND hwnd = reinterpret_cast<HWND>(&dialog);
    const DWORD no_focus = WS_DISABLED;
    if (lpDialogFunc(hwnd, WM_INITDIALOG, 0, dwInitParam)) {
        // The system gives the focus to the first control that takes tab stops.
        for (const Control& c : dialog.controls) {
            if ((c.style & WS_TABSTOP) && !(c.style & no_focus)) {
                dialog.focus = c.id;
                break;
            }
        }
    }
    for (const Step& step : steps) {
        if (dialog.ended) break;
        if (!run_step(&dialog, step)) {
            if (!dialog.ended) send_command(&dialog, IDCANCEL, BN_CLICKED);
            break;
        }
    }
    if (!dialog.ended) run_step(&dialog, Step{StepKind::close, 0, ""});
    if (!dialog.ended) {
        if (m.error.empty()) m.error = "the dialog did not end when closed";
        dialog.result = -1;
    }
    m.live.pop_back();

    m.have_last = true;
    m.last_result = dialog.result;
    m.last_focus = dialog.focus;
    m.last_controls = dialog.controls;
    return dialog.result;
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Dialog* d = dialog_of(hDlg);
    Control* c = control_of(d, nIDDlgItem);
    return c ? control_message(d, *c, Msg, wParam, lParam) : 0;
}

BOOL WINAPI SetDlgItemInt(HWND hDlg, int nIDDlgItem, UINT uValue, BOOL bSigned) {
    Dialog* d = dialog_of(hDlg);
    Control* c = control_of(d, nIDDlgItem);
    if (!c) return FALSE;
    set_text(d, *c, bSigned ? std::to_string(static_cast<int>(uValue)) : std::to_string(uValue));
    return TRUE;
}

UINT WINAPI GetDlgItemInt(HWND hDlg, int nIDDlgItem, BOOL* lpTranslated, BOOL bSigned) {
    if (lpTranslated) *lpTranslated = FALSE;
    Control* c = control_of(dialog_of(hDlg), nIDDlgItem);
    UINT value = 0;
    if (!c || !parse_item_int(c->text, bSigned != FALSE, value)) return 0;
    if (lpTranslated) *lpTranslated = TRUE;
    return value;
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    Dialog* d = dialog_of(hDlg);
    Control* c = control_of(d, nIDDlgItem);
    if (!c) return FALSE;
    set_text(d, *c, lpString ? lpString : "");
    return TRUE;
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
    Dialog* d = dialog_of(hDlg);
    Control* c = control_of(d, nIDDlgItem);
    if (!lpString || cchMax <= 0) return 0;
    lpString[0] = '\0';
    return c ? static_cast<UINT>(control_message(d, *c, WM_GETTEXT, static_cast<WPARAM>(cchMax),
                                                 reinterpret_cast<LPARAM>(lpString)))
             : 0;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    Dialog* d = dialog_of(hDlg);
    if (!d) return FALSE;
    d->ended = true;
    d->result = nResult;
    return TRUE;
}

int dialog_script_set(const char* script) {
    Manager& m = manager();
    m.error.clear();
    std::vector<Step> steps;
    if (!parse_script(script, steps)) {
        m.pending.clear();
        return 0;
    }
    m.pending = std::move(steps);
    return 1;
}

const char* dialog_script_error(void) { return manager().error.c_str(); }

int dialog_last_result(INT_PTR* result) {
    const Manager& m = manager();
    if (result) *result = m.have_last ? m.last_result : 0;
    return m.have_last ? 1 : 0;
}

int dialog_last_focus(void) { return manager().last_focus; }

int dialog_last_control(int id, DialogControlState* state) {
    const Manager& m = manager();
    if (!state || !m.have_last) return 0;
    for (const Control& c : m.last_controls) {
        if (c.id != id) continue;
        *state = DialogControlState{};
        state->id = c.id;
        std::snprintf(state->class_name, sizeof state->class_name, "%s", c.class_name.c_str());
        std::snprintf(state->text, sizeof state->text, "%s", c.text.c_str());
        state->style = c.style;
        state->check = c.check;
        state->selection = c.selection;
        state->item_count = static_cast<int>(c.items.size());
        state->range_min = c.range_min;
        state->range_max = c.range_max;
        state->buddy_id = c.buddy >= 0 ? m.last_controls[static_cast<size_t>(c.buddy)].id : 0;
        return 1;
    }
    return 0;
}

int dialog_last_item(int id, int index, char* buffer, int size) {
    const Manager& m = manager();
    if (!m.have_last || !buffer || size <= 0) return 0;
    for (const Control& c : m.last_controls) {
        if (c.id != id || index < 0 || index >= static_cast<int>(c.items.size())) continue;
        std::snprintf(buffer, static_cast<size_t>(size), "%s", c.items[static_cast<size_t>(index)].c_str());
        return 1;
    }
    return 0;
}

void dialog_reset(void) {
    Manager& m = manager();
    m.pending.clear();
    m.error.clear();
    m.common_controls = false;
    m.have_last = false;
    m.last_result = 0;
    m.last_focus = 0;
    m.last_controls.clear();
}
