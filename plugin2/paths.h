// Where the host's UTF-16 names become the names the engine and the files
// take.
#pragma once

#include <filesystem>
#include <string>

#include "plugin2/auo2_abi.h"

// The output path as the plug-in's messages name it: UTF-8. 0 when the
// host's name can't be converted (null, empty, a lone surrogate).
int auo2_output_path(Auo2Text host_path, std::string& path);
// The same name for session_open_wide, which opens it through the wide file
// calls on Windows (a name the ANSI code page can't hold reaches its file)
// and through the stand-ins over its UTF-8 elsewhere: the host's own units,
// WCHAR being 16 bits on both.
const WCHAR* auo2_output_name(Auo2Text host_path);

// The settings file in the host's application-data folder; empty when the
// host named none or the name can't be converted.
std::filesystem::path auo2_settings_path(Auo2Text app_data_path);

// The file's name in that folder.
inline constexpr char kAuo2SettingsFileName[] = "vnt.auo2.conf";
