// The module's exports: the table and the entries the editor calls, and the
// state of the loaded module (the live settings, where they are kept).
#include <filesystem>
#include <string>

#include "plugin/config.h"
#include "plugin2/auo2_abi.h"
#include "plugin2/dialog2.h"
#include "plugin2/logger.h"
#include "plugin2/output2.h"
#include "plugin2/paths.h"
#include "plugin2/settings_file.h"
#include "plugin2/text16.h"

#if defined(__GNUC__) && !defined(_WIN32)
#define AUO2_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define AUO2_EXPORT extern "C"
#endif

namespace {

// The name and filter as vnt.auo shows them, in UTF-16 ("自動２パス MsPEG4 圧縮":
// automatic two-pass MsPEG4 compression).
constexpr Auo2Char kName[] = u"自動２パス MsPEG4 圧縮";
// Description and pattern, the list ended by an empty string (the literal's own NUL).
constexpr Auo2Char kFileFilter[] = u"AVI (*.avi)\0*.avi\0";
constexpr Auo2Char kInformation[] = u"自動２パス MsPEG4 圧縮 for AviUtl ExEdit2, version " VNT_AUO2_VERSION;
// The project file's key for the settings: their text form, without the rows.
constexpr char kProjectKey[] = "settings";

struct ModuleState {
    bool loaded = false;
    std::filesystem::path settings_path;  // empty: the host named no folder
    Auo2Settings kept = kAuo2SettingsDefaults;  // the file's, or what the dialog last stored
    int32_t packed_rows = 0;
    std::u16string config_text;  // the last line handed out
};
ModuleState g_state;

std::string path_text(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The settings file is read at the first entry after the host named its
// folder, so that the log is there to hear of a damaged file.
void ensure_loaded() {
    if (g_state.loaded) return;
    g_state.loaded = true;
    Auo2Settings s = kAuo2SettingsDefaults;
    if (!g_state.settings_path.empty()) {
        const Auo2SettingsRead read = auo2_settings_load(g_state.settings_path, s);
        if (read == Auo2SettingsRead::damaged || read == Auo2SettingsRead::foreign)
            auo2_log_warning("WARNING - " + path_text(g_state.settings_path) +
                             " holds no settings of vnt.auo2; the defaults are used and the file is left as it is");
    }
    g_state.kept = s;
    g_state.packed_rows = s.packed_rows;
    plugin_config_live() = s.config;
}

bool output_entry(Auo2Request* request) {
    ensure_loaded();
    return request && auo2_output(*request, plugin_config_live(), g_state.packed_rows);
}

bool config_entry(HWND parent, HINSTANCE instance) {
    ensure_loaded();
    const INT_PTR result = auo2_dialog_run(parent, instance);
    if (result == -1) {
        auo2_log_error("ERROR - the settings dialog can't be shown");
        return false;
    }
    if (result != IDOK) return true;
    g_state.kept = {plugin_config_live(), g_state.packed_rows};
    if (g_state.settings_path.empty()) {
        auo2_log_warning("WARNING - the editor named no folder for settings; they last until it ends");
        return true;
    }
    const int saved = auo2_settings_save(g_state.settings_path, g_state.kept);
    if (saved == 0)
        auo2_log_warning("WARNING - " + path_text(g_state.settings_path) +
                         " holds no settings of vnt.auo2; the settings are not kept there");
    else if (saved < 0)
        auo2_log_warning("WARNING - Can't write the settings to " + path_text(g_state.settings_path));
    return true;
}

Auo2Text config_text_entry() {
    ensure_loaded();
    g_state.config_text = text16_from_utf8(auo2_config_text(plugin_config_live()));
    return g_state.config_text.c_str();
}

// A project saved with settings exports with them; one without takes the
// settings kept outside projects.
bool load_project_entry(Auo2Project* project) {
    ensure_loaded();
    const char* text = project && project->get_string ? project->get_string(kProjectKey) : nullptr;
    if (!text) {
        plugin_config_live() = g_state.kept.config;
        return project != nullptr;
    }
    Auo2Settings s;
    s.packed_rows = g_state.packed_rows;
    if (auo2_settings_parse(text, s, false) != Auo2SettingsRead::ours) {
        auo2_log_warning(
            "WARNING - the project's settings of vnt.auo2 can't be read; the settings kept outside it are used");
        plugin_config_live() = g_state.kept.config;
        return false;
    }
    plugin_config_live() = s.config;
    return true;
}

bool save_project_entry(Auo2Project* project) {
    ensure_loaded();
    if (!project || !project->set_string) return false;
    project->set_string(kProjectKey, auo2_settings_text({plugin_config_live(), g_state.packed_rows}, false).c_str());
    return true;
}

Auo2Table g_table = {
    kAuo2TableVideo | kAuo2TableAudio | kAuo2TableProjectConfig,
    kName,
    kFileFilter,
    kInformation,
    output_entry,
    config_entry,
    config_text_entry,
    load_project_entry,
    save_project_entry,
};

}  // namespace

AUO2_EXPORT Auo2Table* GetOutputPluginTable() { return &g_table; }

AUO2_EXPORT void InitializeLogger(Auo2Logger* logger) { auo2_logger_set(logger); }

AUO2_EXPORT void InitializeConfig(Auo2ConfigHandle* config) {
    // The name is copied: the handle's text need not outlive the call.
    g_state.settings_path = config ? auo2_settings_path(config->app_data_path) : std::filesystem::path();
    g_state.loaded = false;
}

AUO2_EXPORT bool InitializePlugin(DWORD) {
    ensure_loaded();
    return true;
}

AUO2_EXPORT void UninitializePlugin() { auo2_logger_set(nullptr); }
