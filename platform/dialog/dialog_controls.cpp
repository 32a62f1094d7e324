// The controls of a headless dialog: buttons, static text, edits, combo
// boxes and up-down controls, with the notifications the system's controls
// send, and the item calls the dialog procedure makes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/base/wide_name.h"
#include "platform/dialog/dialog_internal.h"

DialogControl* controls_find(DialogWindow* d, int id) {
    if (!d) return nullptr;
    for (DialogControl& c : d->controls) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

// Windows' reading of a number in a dialog item: blanks around it, a sign
// (minus only when signed), at least one digit, nothing else, and a value
// that fits; otherwise not translated.
bool controls_parse_int(const std::string& s, bool is_signed, UINT& value) {
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

void controls_send_command(DialogWindow* d, int id, WORD code) {
    const WPARAM wparam = static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(static_cast<WORD>(id), code)));
    d->proc(reinterpret_cast<HWND>(d), WM_COMMAND, wparam, 0);
}

// Text set on an edit notifies its dialog, as the system's edit control does.
void controls_set_text(DialogWindow* d, DialogControl& c, std::string text) {
    c.text = std::move(text);
    if (c.kind == DialogControlKind::edit) controls_send_command(d, c.id, EN_CHANGE);
}

int controls_updown_position(const DialogWindow* d, const DialogControl& c) {
    if ((c.style & UDS_SETBUDDYINT) && c.buddy >= 0) {
        UINT v = 0;
        std::string text = d->controls[static_cast<size_t>(c.buddy)].text;
        text.erase(std::remove(text.begin(), text.end(), ','), text.end());
        if (controls_parse_int(text, true, v)) return static_cast<int>(v);
    }
    return c.pos;
}

void controls_updown_set_position(DialogWindow* d, DialogControl& c, int pos) {
    const int lo = std::min(c.range_min, c.range_max);
    const int hi = std::max(c.range_min, c.range_max);
    c.pos = std::clamp(pos, lo, hi);
    if ((c.style & UDS_SETBUDDYINT) && c.buddy >= 0) {
        controls_set_text(d, d->controls[static_cast<size_t>(c.buddy)], std::to_string(c.pos));
    }
}

void controls_click(DialogWindow* d, DialogControl& c) {
    const DWORD type = c.style & BS_TYPEMASK;
    if (type == BS_AUTOCHECKBOX) {
        c.check = c.check == static_cast<int>(BST_CHECKED) ? 0 : 1;
    } else if (type == BS_AUTO3STATE) {
        c.check = (c.check + 1) % 3;
    }
    controls_send_command(d, c.id, BN_CLICKED);
}

LRESULT controls_message(DialogWindow* d, DialogControl& c, UINT msg, WPARAM wparam, LPARAM lparam) {
    switch (msg) {
    case WM_SETTEXT:
        controls_set_text(d, c, lparam ? reinterpret_cast<const char*>(lparam) : "");
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

    if (c.kind == DialogControlKind::button) {
        switch (msg) {
        case BM_SETCHECK:
            c.check = static_cast<int>(wparam);
            return 0;
        case BM_GETCHECK:
            return c.check;
        case BM_CLICK:
            controls_click(d, c);
            return 0;
        default:
            return 0;
        }
    }

    if (c.kind == DialogControlKind::combobox) {
        const int count = static_cast<int>(c.items.size());
        const int index = static_cast<int>(wparam);
        switch (msg) {
        case CB_ADDSTRING: {
            const char* s = lparam ? reinterpret_cast<const char*>(lparam) : "";
            auto at = c.items.end();
            if (c.style & CBS_SORT) {
                at = std::find_if(c.items.begin(), c.items.end(),
                                  [&](const std::string& e) { return dialog_lower(e.c_str()) > dialog_lower(s); });
            }
            return static_cast<LRESULT>(c.items.insert(at, s) - c.items.begin());
        }
        case CB_INSERTSTRING: {
            // At the index, unsorted; -1 at the end.
            const int at = index == -1 ? count : index;
            if (at < 0 || at > count) return CB_ERR;
            c.items.insert(c.items.begin() + at, lparam ? reinterpret_cast<const char*>(lparam) : "");
            if (c.selection >= at) ++c.selection;
            return at;
        }
        case CB_DELETESTRING:
            if (index < 0 || index >= count) return CB_ERR;
            c.items.erase(c.items.begin() + index);
            if (c.selection == index) c.selection = -1;
            else if (c.selection > index) --c.selection;
            return count - 1;
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

    if (c.kind == DialogControlKind::updown) {
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
            const int old = controls_updown_position(d, c);
            controls_updown_set_position(d, c, static_cast<short>(LOWORD(static_cast<DWORD_PTR>(lparam))));
            return old;
        }
        case UDM_GETPOS:
            return static_cast<WORD>(controls_updown_position(d, c));
        default:
            return 0;
        }
    }
    return 0;
}

bool controls_build(const DialogResource& r, DialogWindow& d) {
    for (int i = 0; i < r.item_count; ++i) {
        const DialogItemResource& item = r.items[i];
        DialogControl c;
        c.id = item.id;
        c.class_name = dialog_lower(item.class_name);
        c.text = item.text ? item.text : "";
        c.style = item.style;
        if (c.class_name == "button") c.kind = DialogControlKind::button;
        else if (c.class_name == "static") c.kind = DialogControlKind::static_text;
        else if (c.class_name == "edit") c.kind = DialogControlKind::edit;
        else if (c.class_name == "combobox") c.kind = DialogControlKind::combobox;
        else if (c.class_name == "msctls_updown32" && dialog_manager().common_controls) c.kind = DialogControlKind::updown;
        else {
            dialog_manager().error = "dialog control class \"" + c.class_name + "\" is not registered";
            return false;
        }
        if (c.kind == DialogControlKind::updown && (c.style & UDS_AUTOBUDDY) && i > 0) c.buddy = i - 1;
        d.controls.push_back(std::move(c));
    }
    return true;
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    DialogWindow* d = dialog_of(hDlg);
    DialogControl* c = controls_find(d, nIDDlgItem);
    return c ? controls_message(d, *c, Msg, wParam, lParam) : 0;
}

LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    switch (Msg) {
    case CB_ADDSTRING:
    case CB_INSERTSTRING: {
        if (!lParam) break;
        const std::string text = wide_name_utf8(reinterpret_cast<LPCWSTR>(lParam));
        return SendDlgItemMessageA(hDlg, nIDDlgItem, Msg, wParam, reinterpret_cast<LPARAM>(text.c_str()));
    }
    case CB_GETLBTEXT:
    case CB_GETLBTEXTLEN:
        return CB_ERR;
    default:
        break;
    }
    return SendDlgItemMessageA(hDlg, nIDDlgItem, Msg, wParam, lParam);
}

BOOL WINAPI SetDlgItemInt(HWND hDlg, int nIDDlgItem, UINT uValue, BOOL bSigned) {
    DialogWindow* d = dialog_of(hDlg);
    DialogControl* c = controls_find(d, nIDDlgItem);
    if (!c) return FALSE;
    controls_set_text(d, *c, bSigned ? std::to_string(static_cast<int>(uValue)) : std::to_string(uValue));
    return TRUE;
}

UINT WINAPI GetDlgItemInt(HWND hDlg, int nIDDlgItem, BOOL* lpTranslated, BOOL bSigned) {
    if (lpTranslated) *lpTranslated = FALSE;
    DialogControl* c = controls_find(dialog_of(hDlg), nIDDlgItem);
    UINT value = 0;
    if (!c || !controls_parse_int(c->text, bSigned != FALSE, value)) return 0;
    if (lpTranslated) *lpTranslated = TRUE;
    return value;
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    DialogWindow* d = dialog_of(hDlg);
    DialogControl* c = controls_find(d, nIDDlgItem);
    if (!c) return FALSE;
    controls_set_text(d, *c, lpString ? lpString : "");
    return TRUE;
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
    DialogWindow* d = dialog_of(hDlg);
    DialogControl* c = controls_find(d, nIDDlgItem);
    if (!lpString || cchMax <= 0) return 0;
    lpString[0] = '\0';
    return c ? static_cast<UINT>(controls_message(d, *c, WM_GETTEXT, static_cast<WPARAM>(cchMax),
                                                 reinterpret_cast<LPARAM>(lpString)))
             : 0;
}
