#include "scripted_plugin.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support.h"

namespace testsupport {

std::string scripted_plugin_library(bool with_export) {
    namespace fs = std::filesystem;
    const std::string source = source_dir() + "/tests/console/plugins/scripted_plugin.cpp";
    const fs::path folder = fs::path(build_dir()) / "test-plugins";
    const fs::path library = folder / (with_export ? "scripted.so" : "scripted-noexport.so");
    std::error_code ec;
    if (fs::exists(library, ec) && fs::last_write_time(library, ec) >= fs::last_write_time(source, ec))
        return library.string();
    fs::create_directories(folder, ec);
    // Built under a name of our own and renamed into place, since test
    // processes run side by side.
    const std::string partial = library.string() + ".tmp" + std::to_string(getpid());
    std::vector<std::string> argv = {"c++", "-std=c++20", "-shared", "-fPIC", "-O1", "-I" + source_dir(),
                                     source, "-o", partial};
    if (!with_export) argv.push_back("-DSCRIPTED_NO_EXPORT");
    ProcessResult result = run_process(argv);
    if (result.exit_code != 0) {
        std::fprintf(stderr, "building the scripted plug-in failed:\n%s", result.err.c_str());
        fs::remove(partial, ec);
        return {};
    }
    fs::rename(partial, library, ec);
    return ec ? std::string() : library.string();
}

std::string install_scripted_plugin(const std::string& dir, const std::string& name,
                                    const std::vector<std::string>& script_lines, bool with_export) {
    const std::string library = scripted_plugin_library(with_export);
    if (library.empty()) return {};
    const std::string path = dir + "/" + name;
    std::filesystem::copy_file(library, path, std::filesystem::copy_options::overwrite_existing);
    std::ofstream script(path + ".script");
    for (const auto& line : script_lines) script << line << '\n';
    return path;
}

void write_plugin_registry(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values) {
    auto quoted = [](const std::string& text) {
        std::string out = "\"";
        for (char c : text) {
            if (c == '\\' || c == '"') out += '\\';
            out += c;
        }
        return out + "\"";
    };
    std::ofstream out(path);
    out << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\VFPlugin]\n";
    for (const auto& [name, data] : values) out << quoted(name) << "=" << quoted(data) << "\n";
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

}  // namespace testsupport
