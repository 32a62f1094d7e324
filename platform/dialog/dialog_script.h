// Scripting the headless dialog manager: a test or the plug-in host says what
// the "user" does in the next modal dialog, and reads back what the dialog's
// controls held when it ended.
//
// A script is a list of steps separated by ';' (a literal ';' or '\' in a text
// is written "\;" or "\\"):
//   ID=TEXT        types TEXT into edit ID, replacing its text (an edit with
//                  ES_NUMBER takes only the digits, as typing does)
//   ID=N | ID=none picks entry N of combo box ID, or clears its selection
//   ID=check | ID=uncheck | ID=click   sets or clicks button ID
//   ID=up | ID=down                    clicks an arrow of up-down control ID
//   ok | cancel    presses the button with identifier 1 or 2
//   close          the caption's close box (WM_CLOSE; unhandled, it cancels)
//   command=N      sends WM_COMMAND with identifier N
// Each step that changes a control also sends the control's notification
// (EN_CHANGE, CBN_SELCHANGE, BN_CLICKED). The script stops when the dialog
// ends; a dialog still open after the last step is closed with the close box.
// A step that names a missing control or a value its control can't take stops
// the script, cancels the dialog and leaves a message in dialog_script_error.
#pragma once

#include "platform/base/win32_types.h"

// Sets the script for the next DialogBoxParamA (replacing any pending one).
// Returns 1, or 0 on a syntax error (see dialog_script_error); null or "" is
// the empty script.
int dialog_script_set(const char* script);
// What went wrong in the last dialog_script_set or scripted dialog; "" when nothing.
const char* dialog_script_error(void);

// The state of the last dialog that was created, when it ended.
struct DialogControlState {
    int id;
    char class_name[32];  // lower case
    char text[256];       // window text (edit contents, button caption)
    DWORD style;
    int check;            // buttons: BST_*
    int selection;        // combo boxes: selected entry, -1 for none
    int item_count;       // combo boxes
    int range_min;        // up-down controls
    int range_max;
    int buddy_id;         // up-down controls: identifier of the buddy, 0 for none
};
// 1 when a dialog was created since the last reset; result is what DialogBoxParamA answered.
int dialog_last_result(INT_PTR* result);
// The identifier of the control that got the focus after WM_INITDIALOG, 0 for none.
int dialog_last_focus(void);
int dialog_last_control(int id, DialogControlState* state);
// Copies entry index of combo box id; returns 1 when it exists.
int dialog_last_item(int id, int index, char* buffer, int size);

// Forgets the pending script, the last dialog and the common-controls
// initialisation, as a fresh process would have them. Templates stay linked.
void dialog_reset(void);
