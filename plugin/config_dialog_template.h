// The settings dialog "CONFIG_DLG" as data: placement, caption, font and the
// 30 controls in template order (also tab and Z order). The Windows resource
// script describes the same dialog and is checked against this table; the
// Linux build links this table itself as the module's dialog resource.
// Positions and sizes are dialog units; texts are UTF-8.
#pragma once

#include <array>
#include <cstdint>

#include "engine/platform.h"

struct DialogItemSpec {
    int id;  // -1: no identifier
    const char* class_name;
    const char* text;  // "" for none
    DWORD style;       // whole style word, WS_CHILD | WS_VISIBLE included
    short x, y, cx, cy;
};

struct DialogSpec {
    const char* name;
    DWORD style;
    short x, y, cx, cy;
    const char* caption;
    const char* font_name;
    WORD point_size;
};

// Control identifiers the dialog procedure talks to.
enum ConfigDialogId : int {
    kIdLogCheck = 1003,
    kIdAnalyseCheck = 1004,
    kIdCodecCombo = 1006,
    kIdKeySecondsEdit = 1011,
    kIdKeySecondsSpin = 1012,
    kIdBitRateEdit = 1013,
    kIdBitRateSpin = 1014,
    kIdCompressionEdit = 1015,
    kIdCompressionSpin = 1016,
    kIdDiffEdit = 1017,
    kIdDiffSpin = 1018,
    kIdPixelEdit = 1019,
    kIdPixelSpin = 1020,
    kIdSceneEdit = 1021,
    kIdSceneSpin = 1022,
    kIdAudioCombo = 1023,
};

inline constexpr DialogSpec kConfigDialog = {
    "CONFIG_DLG",
    WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK | DS_SETFONT,
    0, 0, 211, 270,
    "VNT 設定ダイアログ",
    "ＭＳ Ｐゴシック",
    9,
};

namespace config_dialog_styles {
inline constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
inline constexpr DWORD kGroupBox = kChild | BS_GROUPBOX;
inline constexpr DWORD kCheckBox = kChild | BS_AUTOCHECKBOX | WS_TABSTOP;
inline constexpr DWORD kLabel = kChild | SS_LEFT | WS_GROUP;
inline constexpr DWORD kDigitsEdit = kChild | ES_LEFT | WS_BORDER | WS_TABSTOP | ES_NUMBER;
inline constexpr DWORD kDigitsScrollEdit = kDigitsEdit | ES_AUTOHSCROLL;
inline constexpr DWORD kSpin =
    kChild | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS | UDS_NOTHOUSANDS;
}  // namespace config_dialog_styles

inline constexpr std::array<DialogItemSpec, 30> kConfigDialogItems = [] {
    using namespace config_dialog_styles;
    return std::array<DialogItemSpec, 30>{{
        {1, "button", "決定", kChild | BS_DEFPUSHBUTTON | BS_CENTER | BS_VCENTER | WS_TABSTOP, 45, 225, 50, 14},
        {2, "button", "取り消し", kChild | BS_PUSHBUTTON | WS_TABSTOP, 115, 225, 50, 14},
        {-1, "button", "圧縮ノイズ検出閾値", kGroupBox, 10, 105, 120, 60},
        {-1, "button", "応用設定", kGroupBox, 135, 105, 65, 105},
        {-1, "button", "CODEC 設定", kGroupBox, 10, 5, 190, 95},
        {-1, "button", "シーンチェンジ", kGroupBox, 10, 170, 120, 40},
        {kIdLogCheck, "button", "ログ出力", kCheckBox, 145, 141, 42, 10},
        {kIdAnalyseCheck, "button", "ノイズ分析", kCheckBox, 145, 123, 45, 8},
        {-1, "static", "CODEC 選択", kLabel, 20, 23, 54, 8},
        {-1, "static", "キーフレーム", kLabel, 20, 43, 54, 8},
        {-1, "static", "ビットレート", kLabel, 20, 62, 54, 8},
        {-1, "static", "圧縮設定", kLabel, 20, 83, 54, 8},
        {-1, "static", "輝度差", kLabel, 20, 123, 54, 8},
        {-1, "static", "相違ピクセル数", kLabel, 20, 143, 54, 8},
        {-1, "static", "検出レベル", kLabel, 20, 187, 54, 8},
        {kIdCodecCombo, "combobox", "", kChild | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 75, 20, 115, 80},
        {kIdKeySecondsEdit, "edit", "", kDigitsEdit, 75, 40, 65, 14},
        {kIdKeySecondsSpin, "msctls_updown32", "Spin3", kSpin, 125, 120, 9, 14},
        {kIdBitRateEdit, "edit", "", kDigitsScrollEdit, 75, 60, 65, 14},
        {kIdBitRateSpin, "msctls_updown32", "Spin4", kSpin, 125, 140, 9, 14},
        {kIdCompressionEdit, "edit", "", kDigitsScrollEdit, 75, 80, 65, 14},
        {kIdCompressionSpin, "msctls_updown32", "Spin5", kSpin, 140, 40, 9, 14},
        {kIdDiffEdit, "edit", "", kDigitsScrollEdit, 75, 120, 40, 14},
        {kIdDiffSpin, "msctls_updown32", "Spin6", kSpin, 130, 60, 9, 14},
        {kIdPixelEdit, "edit", "", kDigitsScrollEdit, 75, 140, 40, 14},
        {kIdPixelSpin, "msctls_updown32", "Spin7", kSpin, 130, 80, 9, 14},
        // The scene level alone takes any text: levels above the spin's 10 are typed.
        {kIdSceneEdit, "edit", "", kChild | ES_LEFT | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 75, 185, 40, 14},
        {kIdSceneSpin, "msctls_updown32", "Spin8", kSpin, 115, 185, 9, 14},
        // The audio setting came later: a row of its own below the buttons, so
        // that every control before it keeps its place and tab order.
        {-1, "static", "音声", kLabel, 20, 248, 54, 8},
        {kIdAudioCombo, "combobox", "", kChild | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 75, 245, 115, 80},
    }};
}();
