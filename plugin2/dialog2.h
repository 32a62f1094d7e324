// vnt.auo2's settings dialog: vnt.auo's template and procedure in a Unicode
// dialog, over the live configuration record.
#pragma once

#include "engine/platform.h"

// Registers the up-down controls' class (the editor may not have), then
// shows "CONFIG_DLG" from instance, or from this module when instance is
// null. What DialogBoxParamW answered: 1 OK, 2 Cancel, -1 not shown.
INT_PTR auo2_dialog_run(HWND parent, HINSTANCE instance);
