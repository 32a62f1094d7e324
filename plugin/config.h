// The plug-in's stored settings: the 40-byte record the host keeps between
// uses (36 bytes before the audio setting), its defaults, its clamp, and the
// table of codecs it offers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/codecs.h"
#include "engine/platform.h"
#include "engine/settings.h"

// Ten little-endian signed words, no header or padding: this byte image is
// what the host stores and hands back. A block stored before the audio
// setting existed is the first nine words.
struct PluginConfig {
    int32_t codec_index;          // into kPluginCodecs; anything else means the default codec
    int32_t bit_rate;             // kbit/s
    int32_t key_seconds;
    int32_t compression_control;  // percent
    int32_t diff_threshold;
    int32_t pixel_threshold;
    int32_t log_enabled;
    int32_t analyse_enabled;
    int32_t scene_level;          // 0 off
    // kPluginAudioOff, kPluginAudioPcm, or MP3 at this many kbit/s. Off where
    // a record is made of the nine earlier fields alone, as a stored block of
    // the plug-in before it kept audio is.
    int32_t audio = 0;
};

inline constexpr int kPluginConfigSize = static_cast<int>(sizeof(PluginConfig));
// The record as stored by the plug-in before it kept audio: every field up to
// the audio setting.
inline constexpr int kPluginConfigSizeWithoutAudio = static_cast<int>(offsetof(PluginConfig, audio));
static_assert(kPluginConfigSize == 40 && kPluginConfigSizeWithoutAudio == 36);

// The audio setting: off, the host's 16-bit PCM as it is, or MP3 at a rate in
// kPluginMp3LowKbps - kPluginMp3HighKbps. The rate is rounded to one MP3 has
// only at the run, where the host's sample rate is known.
inline constexpr int32_t kPluginAudioOff = 0;
inline constexpr int32_t kPluginAudioPcm = 1;
inline constexpr int32_t kPluginMp3LowKbps = 32;
inline constexpr int32_t kPluginMp3HighKbps = 320;

// Each field of the record but the codec index beside the engine's field of
// the same meaning, whose default and bounds it takes.
struct PluginConfigField {
    int32_t PluginConfig::*field;
    int32_t EncodeSettings::*setting;
};
inline constexpr PluginConfigField kPluginConfigFields[] = {
    {&PluginConfig::bit_rate, &EncodeSettings::bit_rate},
    {&PluginConfig::key_seconds, &EncodeSettings::key_seconds},
    {&PluginConfig::compression_control, &EncodeSettings::compression_control},
    {&PluginConfig::diff_threshold, &EncodeSettings::diff_threshold},
    {&PluginConfig::pixel_threshold, &EncodeSettings::pixel_threshold},
    {&PluginConfig::log_enabled, &EncodeSettings::log_enabled},
    {&PluginConfig::analyse_enabled, &EncodeSettings::analyse_enabled},
    {&PluginConfig::scene_level, &EncodeSettings::scene_level},
    {&PluginConfig::audio, &EncodeSettings::audio},
};

// A field's default and bounds in the plug-in: the engine's, but with the
// plug-in's own bit-rate ceiling.
consteval SettingRange plugin_config_range(int32_t PluginConfig::*field) {
    for (const PluginConfigField& f : kPluginConfigFields) {
        if (f.field != field) continue;
        SettingRange r = settings_range(f.setting);
        if (f.setting == &EncodeSettings::bit_rate) r.high = kPluginBitRateCeiling;
        return r;
    }
    settings_range_missing();
    return kSettingRanges[0];
}

consteval PluginConfig plugin_config_defaults() {
    PluginConfig c{};
    c.codec_index = static_cast<int32_t>(kDefaultCodecIndex);
    for (const PluginConfigField& f : kPluginConfigFields) c.*f.field = settings_range(f.setting).default_value;
    return c;
}
inline constexpr PluginConfig kPluginConfigDefaults = plugin_config_defaults();

// The codec rows, indexed by codec_index.
using PluginCodec = CodecEntry;
inline constexpr const std::array<PluginCodec, kCodecs.size()>& kPluginCodecs = kCodecs;

// The one live record of the loaded library.
PluginConfig& plugin_config_live();

// Copies the live record to destination when it is not null and size is
// kPluginConfigSize. Always answers kPluginConfigSize, so a null destination
// asks for the size.
int plugin_config_get(void* destination, int size);
// Overwrites the live record from source, unchecked: kPluginConfigSize bytes,
// or the kPluginConfigSizeWithoutAudio bytes of a block stored before the
// audio setting (audio then off). Answers the bytes taken; any other size
// changes nothing and answers 0.
int plugin_config_set(void* source, int size);
PluginConfig& plugin_config_clamp(PluginConfig& config);
// The audio setting within its bounds: off below PCM, MP3 rates held to
// kPluginMp3LowKbps - kPluginMp3HighKbps.
int32_t plugin_audio_clamp(int32_t audio);

// The FourCC for a codec index: the default codec for every index outside the table.
FOURCC plugin_codec_fourcc(int32_t codec_index);
// The engine's settings for a run from a clamped record.
EncodeSettings plugin_settings_from_config(const PluginConfig& config);
