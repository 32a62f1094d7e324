#include "plugin/config_dialog.h"

#include "plugin/config.h"
#include "plugin/config_dialog_template.h"

namespace {

// Edits in the order they are filled and read, with the field each holds.
struct EditField {
    int id;
    int32_t PluginConfig::*field;
};
constexpr EditField kEdits[] = {
    {kIdKeySecondsEdit, &PluginConfig::key_seconds},
    {kIdBitRateEdit, &PluginConfig::bit_rate},
    {kIdCompressionEdit, &PluginConfig::compression_control},
    {kIdDiffEdit, &PluginConfig::diff_threshold},
    {kIdPixelEdit, &PluginConfig::pixel_threshold},
    {kIdSceneEdit, &PluginConfig::scene_level},
};

// Each spin's range: the clamp's bounds, and 0 to 10 for the scene level
// (typed levels above 10 are still taken).
struct SpinRange {
    int id;
    WORD low;
    WORD high;
};
constexpr SpinRange kSpins[] = {
    {kIdKeySecondsSpin, 1, 9999}, {kIdBitRateSpin, 1, 32767}, {kIdCompressionSpin, 1, 100},
    {kIdDiffSpin, 4, 64},         {kIdPixelSpin, 4, 64},       {kIdSceneSpin, 0, 10},
};

void fill_controls(HWND dialog, const PluginConfig& c) {
    for (const PluginCodec& codec : kPluginCodecs) {
        SendDlgItemMessageA(dialog, kIdCodecCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(codec.list_text));
    }
    const bool in_table = static_cast<uint32_t>(c.codec_index) < kPluginCodecs.size();
    SendDlgItemMessageA(dialog, kIdCodecCombo, CB_SETCURSEL, static_cast<WPARAM>(in_table ? c.codec_index : -1), 0);
    for (const EditField& e : kEdits) SetDlgItemInt(dialog, e.id, static_cast<UINT>(c.*e.field), TRUE);
    if (c.log_enabled) SendDlgItemMessageA(dialog, kIdLogCheck, BM_SETCHECK, BST_CHECKED, 0);
    if (c.analyse_enabled) SendDlgItemMessageA(dialog, kIdAnalyseCheck, BM_SETCHECK, BST_CHECKED, 0);
    for (const SpinRange& s : kSpins) {
        // Low word the upper bound, high word the lower.
        SendDlgItemMessageA(dialog, s.id, UDM_SETRANGE, 0, MAKELONG(s.high, s.low));
    }
}

void store_controls(HWND dialog, PluginConfig& c) {
    // A text that is no number reads as 0; nothing is clamped until a run.
    for (const EditField& e : kEdits) c.*e.field = static_cast<int32_t>(GetDlgItemInt(dialog, e.id, nullptr, TRUE));
    c.log_enabled =
        SendDlgItemMessageA(dialog, kIdLogCheck, BM_GETCHECK, 0, 0) == static_cast<LRESULT>(BST_CHECKED) ? 1 : 0;
    c.analyse_enabled =
        SendDlgItemMessageA(dialog, kIdAnalyseCheck, BM_GETCHECK, 0, 0) == static_cast<LRESULT>(BST_CHECKED) ? 1 : 0;
    c.codec_index = static_cast<int32_t>(SendDlgItemMessageA(dialog, kIdCodecCombo, CB_GETCURSEL, 0, 0));
}

}  // namespace

INT_PTR CALLBACK config_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        fill_controls(dialog, plugin_config_live());
        return 1;  // let the system place the focus
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK:
            store_controls(dialog, plugin_config_live());
            EndDialog(dialog, 1);
            break;
        case IDCANCEL:
            EndDialog(dialog, 2);
            break;
        default:
            break;
        }
        return 0;
    default:
        return 0;
    }
}

int plugin_config_dialog(HWND parent, HINSTANCE instance) {
    // A dialog that can't be created leaves the record as it is; the host
    // learns nothing of it.
    DialogBoxParamA(instance, kConfigDialog.name, parent, config_dialog_proc, 0);
    return 1;
}
