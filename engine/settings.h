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
};

constexpr int32_t kConsoleBitRateCeiling = 60000;
constexpr int32_t kPluginBitRateCeiling = 32767;
constexpr int32_t kKeySecondsMax = 9999;
constexpr int32_t kCompressionControlMax = 100;
constexpr int32_t kThresholdMin = 4;
constexpr int32_t kThresholdMax = 64;

void settings_set_defaults(EncodeSettings& settings);
void settings_clamp(EncodeSettings& settings, int32_t bit_rate_ceiling);
