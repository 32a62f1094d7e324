// The plug-in's stored settings: the 36-byte record the host keeps between
// uses, its defaults, its clamp, and the table of codecs it offers.
#pragma once

#include <array>
#include <cstdint>

#include "engine/platform.h"
#include "engine/settings.h"

// Nine little-endian signed words, no header or padding: this byte image is
// what the host stores and hands back.
struct PluginConfig {
    int32_t codec_index;          // into kPluginCodecs; anything else means MP42
    int32_t bit_rate;             // kbit/s
    int32_t key_seconds;
    int32_t compression_control;  // percent
    int32_t diff_threshold;
    int32_t pixel_threshold;
    int32_t log_enabled;
    int32_t analyse_enabled;
    int32_t scene_level;          // 0 off
};
static_assert(sizeof(PluginConfig) == 36);

inline constexpr int kPluginConfigSize = 36;
inline constexpr PluginConfig kPluginConfigDefaults = {1, 3000, 8, 75, 9, 28, 0, 0, 0};

struct PluginCodec {
    FOURCC fourcc;
    char list_text[20];  // NUL-padded slot, as the combo box lists it
};
inline constexpr std::array<PluginCodec, 5> kPluginCodecs = {{
    {mmioFOURCC('M', 'P', 'G', '4'), "MPG4 (MPEG-4 V1)"},
    {mmioFOURCC('M', 'P', '4', '2'), "MP42 (MPEG-4 V2)"},
    {mmioFOURCC('M', 'P', '4', '3'), "MP43 (MPEG-4 V3)"},
    {mmioFOURCC('D', 'I', 'V', '3'), "DIV3 (Low Motion)"},
    {mmioFOURCC('D', 'I', 'V', '4'), "DIV4 (Fast Motion)"},
}};

// The one live record of the loaded library.
PluginConfig& plugin_config_live();

// Copies the live record to destination when it is not null and size is 36.
// Always answers 36, so a null destination asks for the size.
int plugin_config_get(void* destination, int size);
// Overwrites the live record with 36 bytes from source, unchecked; any other
// size changes nothing and answers 0.
int plugin_config_set(void* source, int size);
PluginConfig& plugin_config_clamp(PluginConfig& config);

// The FourCC for a codec index: MP42 for every index outside the table.
FOURCC plugin_codec_fourcc(int32_t codec_index);
// The engine's settings for a run from a clamped record.
EncodeSettings plugin_settings_from_config(const PluginConfig& config);
