// The modal settings dialog over the live configuration record.
#pragma once

#include "engine/platform.h"

// Fills the controls from the live record on WM_INITDIALOG; OK stores them
// back unchecked (an audio rate the list lacks is kept unless another entry
// was picked), Cancel keeps the record.
INT_PTR CALLBACK config_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// Shows "CONFIG_DLG" from instance's resources. Answers 1 whatever happened.
int plugin_config_dialog(HWND parent, HINSTANCE instance);
