// How a run compresses, checks and reports: filled by a front end, clamped
// once before the run, then read by every part of the engine.
#pragma once

#include <cstdint>

#include "engine/platform.h"

struct EncodeSettings {
    DWORD codec;                  // FourCC of the compressor
    int32_t bit_rate;             // kbit/s; the engine counts 128 bytes per second per unit
    int32_t key_seconds;          // longest distance between key frames
    int32_t compression_control;  // percent, written into the codec's state
    int32_t diff_threshold;       // a pixel differs at |dY| >= this
    int32_t pixel_threshold;      // a block is noisy at >= this many differing pixels
    int32_t log_enabled;
    int32_t progress_enabled;     // console only
    int32_t analyse_enabled;
    int32_t scene_level;          // 0 off; else width*height/16*level bytes
    int32_t audio;                // 0 off, 1 copy (PCM), 32 - 320: MP3 at this many kbit/s
};

constexpr int32_t kConsoleBitRateCeiling = 60000;
constexpr int32_t kPluginBitRateCeiling = 32767;

// Default and bounds of every field but the codec (whose default is the codec
// table's), in the clamp's order. Both front ends, the plug-in's dialog and the
// usage text read it. The clamp keeps a clamped field within [low, high], the
// bit rate up to the caller's ceiling instead of high; the other fields pass
// untouched, and their bounds are only what the dialog offers.
struct SettingRange {
    int32_t EncodeSettings::*field;
    int32_t default_value;
    int32_t low;
    int32_t high;
    bool clamped;
};
inline constexpr SettingRange kSettingRanges[] = {
    {&EncodeSettings::bit_rate, 3000, 1, kConsoleBitRateCeiling, true},
    {&EncodeSettings::key_seconds, 8, 1, 9999, true},
    {&EncodeSettings::compression_control, 75, 1, 100, true},
    {&EncodeSettings::diff_threshold, 9, 4, 64, true},
    {&EncodeSettings::pixel_threshold, 28, 4, 64, true},
    {&EncodeSettings::log_enabled, 0, 0, 1, false},
    {&EncodeSettings::progress_enabled, 1, 0, 1, false},
    {&EncodeSettings::analyse_enabled, 0, 0, 1, false},
    {&EncodeSettings::scene_level, 0, 0, 10, false},
    {&EncodeSettings::audio, 0, 0, 320, false},
};

void settings_range_missing();  // never defined: a field without a row fails to compile

consteval const SettingRange& settings_range(int32_t EncodeSettings::*field) {
    for (const SettingRange& r : kSettingRanges) {
        if (r.field == field) return r;
    }
    settings_range_missing();
    return kSettingRanges[0];
}

void settings_set_defaults(EncodeSettings& settings);
void settings_clamp(EncodeSettings& settings, int32_t bit_rate_ceiling);
