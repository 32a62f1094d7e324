#include <cstdlib>
#include <cstring>

#include "engine/pipeline.h"

char* path_replace_extension(const char* path, const char* ext) {
    if (!path || !ext) return nullptr;
    const size_t length = std::strlen(path);
    // From the last character down to the second: the first dot cuts, a
    // separator met before any dot means the last component has no extension.
    size_t cut = length;
    for (size_t i = length; i-- > 1;) {
        if (path[i] == '.') {
            cut = i;
            break;
        }
        if (path[i] == '\\' || path[i] == '/') break;
    }
    const size_t ext_length = std::strlen(ext);
    auto* name = static_cast<char*>(std::malloc(cut + ext_length + 1));
    if (!name) return nullptr;
    std::memcpy(name, path, cut);
    std::memcpy(name + cut, ext, ext_length + 1);
    return name;
}

EncodeLog log_open(const char* output_path, const EncodeSettings& settings) {
    EncodeLog log{};
    log.name = path_replace_extension(output_path, ".log");
    if (!log.name) return log;
    // Text mode: each line ends as text lines end on the platform.
    log.file = std::fopen(log.name, "w");
    if (!log.file) return log;
    std::fprintf(log.file, "[%s]\n", output_path);
    std::fprintf(log.file, "rate: %d, key: %d, cc: %d, pixel: %d, diff: %d\n", settings.bit_rate,
                 settings.key_seconds, settings.compression_control, settings.pixel_threshold,
                 settings.diff_threshold);
    std::fputs(" frame   size  key\n", log.file);
    std::fflush(log.file);
    return log;
}

void log_close(EncodeLog& log) {
    if (log.file) {
        std::fclose(log.file);
        log.file = nullptr;
    }
    if (log.name) {
        std::free(log.name);
        log.name = nullptr;
    }
}
