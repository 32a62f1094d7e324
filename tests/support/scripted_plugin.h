// Scripted VFAPI reader plug-ins for the console and end-to-end suites, and
// the registry files that list them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// The scripted plug-in library (tests/console/plugins/scripted_plugin.cpp),
// compiled on first use into the build folder. with_export false gives the
// variant without vfGetPluginFunc. Empty when it can't be built.
std::string scripted_plugin_library(bool with_export = true);

// A copy of the plug-in as dir/name with its script dir/name.script (lines
// "key=value"); returns the copy's path. Each copy is a library of its own.
std::string install_scripted_plugin(const std::string& dir, const std::string& name,
                                    const std::vector<std::string>& script_lines, bool with_export = true);

// Writes a registry file listing values (name, data) in this order under
// HKEY_CURRENT_USER\Software\VFPlugin.
void write_plugin_registry(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values);

// The lines of a plug-in journal.
std::vector<std::string> read_lines(const std::string& path);

}  // namespace testsupport
