// Inside of the headless dialog manager: the live dialogs, their controls and
// the pending script, shared by the template lookup, the controls, the script
// and the modal loop. Not part of the API, and not exported from the library.
#pragma once

#include <string>
#include <vector>

#include "platform/dialog/dialog.h"
#include "platform/dialog/dialog_resource.h"

#pragma GCC visibility push(hidden)

enum class DialogControlKind { button, static_text, edit, combobox, updown };

struct DialogControl {
    int id = -1;
    DialogControlKind kind = DialogControlKind::static_text;
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

struct DialogWindow {
    std::string name;
    std::vector<DialogControl> controls;
    DLGPROC proc = nullptr;
    bool ended = false;
    INT_PTR result = 0;
    int focus = 0;
};

struct DialogTemplate {
    const struct link_map* module;
    std::string name;
    const DialogResource* resource;
};

enum class DialogStepKind { set_value, ok, cancel, close, command };

struct DialogStep {
    DialogStepKind kind;
    int id;
    std::string value;
};

struct DialogManager {
    std::vector<DialogTemplate> templates;
    std::vector<DialogWindow*> live;  // innermost dialog last
    std::vector<DialogStep> pending;
    std::string error;
    bool common_controls = false;
    bool have_last = false;
    INT_PTR last_result = 0;
    int last_focus = 0;
    std::vector<DialogControl> last_controls;
};

// dialog.cpp: the one manager of the process, and the live dialog behind a handle.
DialogManager& dialog_manager();
DialogWindow* dialog_of(HWND hwnd);
std::string dialog_lower(const char* s);

// dialog_templates.cpp: the template linked under name into the module whose
// handle is instance (null: the program), or null.
const DialogResource* templates_find(HINSTANCE instance, LPCSTR name);

// dialog_controls.cpp
DialogControl* controls_find(DialogWindow* d, int id);
// Builds the dialog's controls from its template; false with the manager's error set.
bool controls_build(const DialogResource& r, DialogWindow& d);
// Windows' reading of a number in a dialog item.
bool controls_parse_int(const std::string& s, bool is_signed, UINT& value);
void controls_send_command(DialogWindow* d, int id, WORD code);
void controls_set_text(DialogWindow* d, DialogControl& c, std::string text);
void controls_click(DialogWindow* d, DialogControl& c);
int controls_updown_position(const DialogWindow* d, const DialogControl& c);
void controls_updown_set_position(DialogWindow* d, DialogControl& c, int pos);
LRESULT controls_message(DialogWindow* d, DialogControl& c, UINT msg, WPARAM wparam, LPARAM lparam);

// dialog_script.cpp: carries out one step; false with the manager's error set when it can't.
bool script_run_step(DialogWindow* d, const DialogStep& step);

#pragma GCC visibility pop
