#include "plugin2/paths.h"

#include "plugin2/text16.h"

int auo2_output_path(Auo2Text host_path, std::string& path) {
    path.clear();
    return text16_to_utf8(host_path, path) && !path.empty();
}

const WCHAR* auo2_output_name(Auo2Text host_path) {
    static_assert(sizeof(WCHAR) == sizeof(Auo2Char));
    return reinterpret_cast<const WCHAR*>(host_path);
}

std::filesystem::path auo2_settings_path(Auo2Text app_data_path) {
    std::string folder;
    if (!text16_to_utf8(app_data_path, folder) || folder.empty()) return {};
    // The bytes are UTF-8: say so, for Windows, where a plain string would be read in the ANSI code page.
    const std::u8string name(reinterpret_cast<const char8_t*>(folder.data()), folder.size());
    return std::filesystem::path(name) / kAuo2SettingsFileName;
}
