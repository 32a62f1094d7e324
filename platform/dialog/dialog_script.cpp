// The script that stands in for the user (dialog_script.h): parsing it,
// carrying out its steps, and what the last dialog held when it ended.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/dialog/dialog_internal.h"
#include "platform/dialog/dialog_script.h"

namespace {

// Parses one script. Returns false with dialog_manager().error set on a syntax error.
bool parse_script(const char* script, std::vector<DialogStep>& steps) {
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
        std::string head = dialog_lower(word.substr(0, eq).c_str());
        while (!head.empty() && head.front() == ' ') head.erase(head.begin());
        while (!head.empty() && head.back() == ' ') head.pop_back();
        if (eq == std::string::npos) {
            if (head.empty()) continue;
            if (head == "ok") steps.push_back({DialogStepKind::ok, IDOK, ""});
            else if (head == "cancel") steps.push_back({DialogStepKind::cancel, IDCANCEL, ""});
            else if (head == "close") steps.push_back({DialogStepKind::close, 0, ""});
            else {
                dialog_manager().error = "unknown dialog step \"" + part + "\"";
                return false;
            }
            continue;
        }
        const std::string value = word.substr(eq + 1);
        const bool is_command = head == "command";
        UINT id = 0;
        if (!controls_parse_int(is_command ? value : head, true, id) || static_cast<int>(id) < 0 ||
            static_cast<int>(id) > 0xFFFF) {
            dialog_manager().error = "bad control identifier in dialog step \"" + part + "\"";
            return false;
        }
        steps.push_back({is_command ? DialogStepKind::command : DialogStepKind::set_value, static_cast<int>(id), value});
    }
    return true;
}

}  // namespace

// Carries out one step; false with dialog_manager().error set when it can't.
bool script_run_step(DialogWindow* d, const DialogStep& step) {
    switch (step.kind) {
    case DialogStepKind::ok:
    case DialogStepKind::cancel:
    case DialogStepKind::command:
        controls_send_command(d, step.id, BN_CLICKED);
        return true;
    case DialogStepKind::close:
        if (!d->proc(reinterpret_cast<HWND>(d), WM_CLOSE, 0, 0) && !d->ended) controls_send_command(d, IDCANCEL, BN_CLICKED);
        return true;
    case DialogStepKind::set_value:
        break;
    }
    DialogControl* c = controls_find(d, step.id);
    const std::string where = "dialog step \"" + std::to_string(step.id) + "=" + step.value + "\": ";
    if (!c) {
        dialog_manager().error = where + "no control with that identifier";
        return false;
    }
    const std::string v = dialog_lower(step.value.c_str());
    switch (c->kind) {
    case DialogControlKind::edit: {
        std::string typed;
        for (char ch : step.value) {
            if (!(c->style & ES_NUMBER) || (ch >= '0' && ch <= '9')) typed += ch;
        }
        controls_set_text(d, *c, typed);
        return true;
    }
    case DialogControlKind::combobox: {
        UINT index = 0;
        if (v == "none") {
            c->selection = -1;
        } else if (controls_parse_int(v, false, index) && index < c->items.size()) {
            c->selection = static_cast<int>(index);
        } else {
            dialog_manager().error = where + "the combo box has no such entry";
            return false;
        }
        controls_send_command(d, c->id, CBN_SELCHANGE);
        return true;
    }
    case DialogControlKind::button: {
        const DWORD type = c->style & BS_TYPEMASK;
        const bool checkable = type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
                               type == BS_AUTO3STATE || type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
        if (v == "click" && type != BS_GROUPBOX) {
            controls_click(d, *c);
            return true;
        }
        if ((v == "check" || v == "uncheck") && checkable) {
            const int wanted = v == "check" ? 1 : 0;
            if (c->check != wanted) {
                c->check = wanted;
                controls_send_command(d, c->id, BN_CLICKED);
            }
            return true;
        }
        dialog_manager().error = where + "the button can't take that";
        return false;
    }
    case DialogControlKind::updown:
        if (v == "up" || v == "down") {
            const int step_by = (v == "up") == (c->range_min <= c->range_max) ? 1 : -1;
            controls_updown_set_position(d, *c, controls_updown_position(d, *c) + step_by);
            return true;
        }
        dialog_manager().error = where + "an up-down control takes up or down";
        return false;
    case DialogControlKind::static_text:
        break;
    }
    dialog_manager().error = where + "the control takes no input";
    return false;
}

int dialog_script_set(const char* script) {
    DialogManager& m = dialog_manager();
    m.error.clear();
    std::vector<DialogStep> steps;
    if (!parse_script(script, steps)) {
        m.pending.clear();
        return 0;
    }
    m.pending = std::move(steps);
    return 1;
}

const char* dialog_script_error(void) { return dialog_manager().error.c_str(); }

int dialog_last_result(INT_PTR* result) {
    const DialogManager& m = dialog_manager();
    if (result) *result = m.have_last ? m.last_result : 0;
    return m.have_last ? 1 : 0;
}

int dialog_last_focus(void) { return dialog_manager().last_focus; }

int dialog_last_control(int id, DialogControlState* state) {
    const DialogManager& m = dialog_manager();
    if (!state || !m.have_last) return 0;
    for (const DialogControl& c : m.last_controls) {
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
    const DialogManager& m = dialog_manager();
    if (!m.have_last || !buffer || size <= 0) return 0;
    for (const DialogControl& c : m.last_controls) {
        if (c.id != id || index < 0 || index >= static_cast<int>(c.items.size())) continue;
        std::snprintf(buffer, static_cast<size_t>(size), "%s", c.items[static_cast<size_t>(index)].c_str());
        return 1;
    }
    return 0;
}

void dialog_reset(void) {
    DialogManager& m = dialog_manager();
    m.pending.clear();
    m.error.clear();
    m.common_controls = false;
    m.have_last = false;
    m.last_result = 0;
    m.last_focus = 0;
    m.last_controls.clear();
}

