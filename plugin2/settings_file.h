// vnt.auo2's settings: vnt.auo's fields (the same table, ranges and dialog),
// with audio kept as PCM by default, and how the host lays out its rows. The
// new editor keeps no settings for its plug-ins, so they live in a small text
// file of ours in its application-data folder, and in the project file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "plugin/config.h"

struct Auo2Settings {
    PluginConfig config;
    // 1: the host hands over frames of rows width * 3 bytes long, one right
    // after the other; 0 (the default): rows padded to 4 bytes, as any DIB.
    // Only the file holds it: it belongs to the editor installed, not to a project.
    int32_t packed_rows;
};

// An export from the new editor is expected to carry its sound.
consteval PluginConfig auo2_config_defaults() {
    PluginConfig c = kPluginConfigDefaults;
    c.audio = kPluginAudioPcm;
    return c;
}
inline constexpr Auo2Settings kAuo2SettingsDefaults = {auo2_config_defaults(), 0};

// The first line of the text form, which marks a file as ours.
inline constexpr std::string_view kAuo2SettingsFirstLine = "vnt.auo2 settings";
// Files longer than this are no settings of ours.
inline constexpr size_t kAuo2SettingsMostBytes = 4096;

// The text form: the first line, then "key=value" for every field of
// PluginConfig under the record's own names ("bit_rate=3000"), values as
// stored (a run clamps them), and "host_rows=padded|packed" when with_rows.
std::string auo2_settings_text(const Auo2Settings& settings, bool with_rows);

enum class Auo2SettingsRead {
    missing,  // no file
    ours,     // read whole
    damaged,  // our first line, but a line after it is no field we can read
    foreign,  // not ours: another first line, too long, or no regular file
};

// Reads the text form into settings. A key it doesn't know (a later
// version's) is passed over; a field missing keeps its default. Anything but
// ours leaves settings at the defaults, every field of them. Without
// with_rows a host_rows line is passed over and packed_rows kept as it was.
Auo2SettingsRead auo2_settings_parse(std::string_view text, Auo2Settings& settings, bool with_rows);

// The file at path, as auo2_settings_parse reads it (with the rows). Never
// blocks on a FIFO or reads a device: only a regular file is opened.
Auo2SettingsRead auo2_settings_load(const std::filesystem::path& path, Auo2Settings& settings);

// Keeps settings at path when the file there is ours to write: none yet, or
// one that starts with our first line (a damaged one too: the user asked for
// new settings to be kept). A foreign file is never written over. The new
// file takes the old one's place whole, or not at all. 1 kept, 0 refused
// (foreign), -1 the file could not be written.
int auo2_settings_save(const std::filesystem::path& path, const Auo2Settings& settings);

// The line the editor shows beside the settings button, of the settings as a
// run takes them (clamped): "MP42 3000 kbps, key 8 s, noise 9/28, audio PCM";
// the sound "off", "PCM" or "MP3 128 kbps".
std::string auo2_config_text(const PluginConfig& config);
