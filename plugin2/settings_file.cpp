#include "plugin2/settings_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#include "common/ascii.h"

namespace {

struct Field {
    const char* key;
    int32_t PluginConfig::*field;
};
// The record's own names, in its order.
constexpr Field kFields[] = {
    {"codec_index", &PluginConfig::codec_index},
    {"bit_rate", &PluginConfig::bit_rate},
    {"key_seconds", &PluginConfig::key_seconds},
    {"compression_control", &PluginConfig::compression_control},
    {"diff_threshold", &PluginConfig::diff_threshold},
    {"pixel_threshold", &PluginConfig::pixel_threshold},
    {"log_enabled", &PluginConfig::log_enabled},
    {"analyse_enabled", &PluginConfig::analyse_enabled},
    {"scene_level", &PluginConfig::scene_level},
    {"audio", &PluginConfig::audio},
};
static_assert(std::size(kFields) * sizeof(int32_t) == sizeof(PluginConfig), "a field of the record has no key");
constexpr std::string_view kRowsKey = "host_rows";

bool parse_int32(std::string_view text, int32_t& value) {
    if (text.empty() || text.size() > 11) return false;
    const std::string copy(text);
    if (!(copy[0] == '-' || (copy[0] >= '0' && copy[0] <= '9'))) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(copy.c_str(), &end, 10);
    if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<int32_t>(v);
    return true;
}

// The text's next line without its end (\n or \r\n); false at the end.
bool next_line(std::string_view& text, std::string_view& line) {
    if (text.empty()) return false;
    const size_t end = text.find('\n');
    line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
}

bool starts_as_ours(std::string_view text) {
    std::string_view line;
    return next_line(text, line) && line == kAuo2SettingsFirstLine;
}

// What lies at path: nothing, a regular file (its first bytes, at most one
// past the most a settings file has), or something else.
enum class Found { nothing, file, other };
Found read_head(const std::filesystem::path& path, std::string& bytes) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) return Found::nothing;
    if (ec || !std::filesystem::is_regular_file(status)) return Found::other;
    std::ifstream in(path, std::ios::binary);
    if (!in) return Found::other;
    bytes.assign(kAuo2SettingsMostBytes + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return Found::file;
}

}  // namespace

std::string auo2_settings_text(const Auo2Settings& s, bool with_rows) {
    std::string text(kAuo2SettingsFirstLine);
    text += '\n';
    for (const Field& f : kFields) text += std::string(f.key) + '=' + std::to_string(s.config.*f.field) + '\n';
    if (with_rows) text += std::string(kRowsKey) + (s.packed_rows ? "=packed\n" : "=padded\n");
    return text;
}

Auo2SettingsRead auo2_settings_parse(std::string_view text, Auo2Settings& settings, bool with_rows) {
    const int32_t rows_before = settings.packed_rows;
    settings = kAuo2SettingsDefaults;
    if (!with_rows) settings.packed_rows = rows_before;
    if (text.size() > kAuo2SettingsMostBytes || !starts_as_ours(text)) return Auo2SettingsRead::foreign;
    Auo2Settings read = settings;
    std::string_view rest = text, line;
    next_line(rest, line);
    while (next_line(rest, line)) {
        if (line.empty()) continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) return Auo2SettingsRead::damaged;
        const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == kRowsKey) {
            if (value != "padded" && value != "packed") return Auo2SettingsRead::damaged;
            if (with_rows) read.packed_rows = value == "packed" ? 1 : 0;
            continue;
        }
        for (const Field& f : kFields) {
            if (key != f.key) continue;
            if (!parse_int32(value, read.config.*f.field)) return Auo2SettingsRead::damaged;
            break;
        }
    }
    settings = read;
    return Auo2SettingsRead::ours;
}

Auo2SettingsRead auo2_settings_load(const std::filesystem::path& path, Auo2Settings& settings) {
    std::string bytes;
    const Found found = read_head(path, bytes);
    if (found != Found::file) {
        settings = kAuo2SettingsDefaults;
        return found == Found::nothing ? Auo2SettingsRead::missing : Auo2SettingsRead::foreign;
    }
    // A file of ours grown past the most it holds is damaged, not foreign.
    if (bytes.size() > kAuo2SettingsMostBytes && starts_as_ours(bytes)) {
        settings = kAuo2SettingsDefaults;
        return Auo2SettingsRead::damaged;
    }
    return auo2_settings_parse(bytes, settings, true);
}

int auo2_settings_save(const std::filesystem::path& path, const Auo2Settings& settings) {
    std::string head;
    const Found found = read_head(path, head);
    if (found == Found::other || (found == Found::file && !starts_as_ours(head))) return 0;
    std::error_code ec;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
    std::filesystem::path temp = path;
    temp += ".new";
    const std::string text = auo2_settings_text(settings, true);
    bool written = false;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        written = out && out.write(text.data(), static_cast<std::streamsize>(text.size())) && out.flush();
    }
    if (written) std::filesystem::rename(temp, path, ec);
    if (!written || ec) {
        std::filesystem::remove(temp, ec);  // nothing of a failed save stays behind
        return -1;
    }
    return 1;
}

std::string auo2_config_text(const PluginConfig& config) {
    PluginConfig c = config;
    plugin_config_clamp(c);
    std::string text;
    for (const char ch : fourcc_text(plugin_codec_fourcc(c.codec_index))) {
        if (ch) text += ch >= 0x20 && ch < 0x7F ? ch : '?';
    }
    text += ' ' + std::to_string(c.bit_rate) + " kbps, key " + std::to_string(c.key_seconds) + " s, noise " +
            std::to_string(c.diff_threshold) + '/' + std::to_string(c.pixel_threshold) + ", audio ";
    if (c.audio == kPluginAudioOff) text += "off";
    else if (c.audio == kPluginAudioPcm) text += "PCM";
    else text += "MP3 " + std::to_string(c.audio) + " kbps";
    return text;
}
