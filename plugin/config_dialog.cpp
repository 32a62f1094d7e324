#include "plugin/config_dialog.h"

#include <array>
#include <cstdlib>
#include <iterator>

#include "plugin/config.h"
#include "plugin/config_dialog_template.h"

namespace {

// Edits in the order they are filled and read, with the field each holds and
// the up-down control that spins it.
struct EditField {
    int id;
    int32_t PluginConfig::*field;
    int spin_id;
};
constexpr EditField kEdits[] = {
    {kIdKeySecondsEdit, &PluginConfig::key_seconds, kIdKeySecondsSpin},
    {kIdBitRateEdit, &PluginConfig::bit_rate, kIdBitRateSpin},
    {kIdCompressionEdit, &PluginConfig::compression_control, kIdCompressionSpin},
    {kIdDiffEdit, &PluginConfig::diff_threshold, kIdDiffSpin},
    {kIdPixelEdit, &PluginConfig::pixel_threshold, kIdPixelSpin},
    {kIdSceneEdit, &PluginConfig::scene_level, kIdSceneSpin},
};

// The audio combo's entries and the setting each stands for. Texts go through
// the ANSI messages, so they are in the host's code page, Shift-JIS.
struct AudioEntry {
    const char* text;
    int32_t audio;
};
constexpr AudioEntry kAudioEntries[] = {
    {"\x82\xc8\x82\xb5", kPluginAudioOff},  // "なし": none
    {"PCM", kPluginAudioPcm},
    {"MP3 128 kbps", 128},
    {"MP3 192 kbps", 192},
    {"MP3 320 kbps", 320},
};

// The entry that shows a setting: its own, else the nearest MP3 rate (the
// lower of two as near), after the clamp a run would apply.
int audio_entry_of(int32_t audio) {
    const int32_t a = plugin_audio_clamp(audio);
    const auto distance = [a](int i) { return std::abs(kAudioEntries[i].audio - a); };
    int best = -1;
    for (int i = 0; i < static_cast<int>(std::size(kAudioEntries)); ++i) {
        if (kAudioEntries[i].audio == a) return i;
        if (a < kPluginMp3LowKbps || kAudioEntries[i].audio < kPluginMp3LowKbps) continue;
        if (best < 0 || distance(i) < distance(best)) best = i;  // rising rates: ties keep the lower
    }
    return best < 0 ? 0 : best;
}

// Each spin's range, in the order of kEdits: the clamp's bounds, and 0 to 10
// for the scene level (typed levels above 10 are still taken).
constexpr auto kSpinRanges = []() consteval {
    std::array<SettingRange, std::size(kEdits)> ranges{};
    for (size_t i = 0; i < ranges.size(); ++i) ranges[i] = plugin_config_range(kEdits[i].field);
    return ranges;
}();

void fill_controls(HWND dialog, const PluginConfig& c) {
    for (const PluginCodec& codec : kPluginCodecs) {
        SendDlgItemMessageA(dialog, kIdCodecCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(codec.list_text));
    }
    const bool in_table = static_cast<uint32_t>(c.codec_index) < kPluginCodecs.size();
    SendDlgItemMessageA(dialog, kIdCodecCombo, CB_SETCURSEL, static_cast<WPARAM>(in_table ? c.codec_index : -1), 0);
    for (const EditField& e : kEdits) SetDlgItemInt(dialog, e.id, static_cast<UINT>(c.*e.field), TRUE);
    if (c.log_enabled) SendDlgItemMessageA(dialog, kIdLogCheck, BM_SETCHECK, BST_CHECKED, 0);
    if (c.analyse_enabled) SendDlgItemMessageA(dialog, kIdAnalyseCheck, BM_SETCHECK, BST_CHECKED, 0);
    for (const AudioEntry& e : kAudioEntries) {
        SendDlgItemMessageA(dialog, kIdAudioCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(e.text));
    }
    SendDlgItemMessageA(dialog, kIdAudioCombo, CB_SETCURSEL, static_cast<WPARAM>(audio_entry_of(c.audio)), 0);
    for (size_t i = 0; i < std::size(kEdits); ++i) {
        // Low word the upper bound, high word the lower.
        const SettingRange& r = kSpinRanges[i];
        SendDlgItemMessageA(dialog, kEdits[i].spin_id, UDM_SETRANGE, 0,
                            MAKELONG(static_cast<WORD>(r.high), static_cast<WORD>(r.low)));
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
    // A stored rate the list doesn't have stays until another entry is picked.
    const LRESULT audio = SendDlgItemMessageA(dialog, kIdAudioCombo, CB_GETCURSEL, 0, 0);
    if (audio >= 0 && audio < static_cast<LRESULT>(std::size(kAudioEntries)) && audio != audio_entry_of(c.audio))
        c.audio = kAudioEntries[audio].audio;
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
