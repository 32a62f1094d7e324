// Where the host's UTF-16 names become the names the engine and the files
// take. The one place to change when the engine takes wide names.
#pragma once

#include <filesystem>
#include <string>

#include "plugin2/auo2_abi.h"

// The output path for session_open: UTF-8, as the stand-ins' file calls take
// it. 0 when the host's name can't be converted (null, a lone surrogate).
// On Windows this is where the wide entry of the engine is to be called
// instead: a UTF-8 name there reaches the ANSI file calls.
int auo2_output_path(Auo2Text host_path, std::string& path);

// The settings file in the host's application-data folder; empty when the
// host named none or the name can't be converted.
std::filesystem::path auo2_settings_path(Auo2Text app_data_path);

// The file's name in that folder.
inline constexpr char kAuo2SettingsFileName[] = "vnt.auo2.conf";
