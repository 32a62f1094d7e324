#include "engine/log.h"

#include <cstdlib>
#include <cstring>

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

EncodeLog log_open(const char* output_path, const EncodeSettings& settings, NameCoding coding) {
    EncodeLog log{};
    log.name = path_replace_extension(output_path, ".log");
    if (!log.name) return log;
    // Text mode: each line ends as text lines end on the platform. Denying
    // others to write: a second run with the same log is refused it, as
    // the writer refuses it the same output.
    log.file = file_open_shared(log.name, coding, "w", _SH_DENYWR);
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

namespace {

void put_line(EncodeLog& log, const char* line) {
    if (!log.file) return;
    std::fputs(line, log.file);
    std::fflush(log.file);
}

}  // namespace

void log_frame_kept(EncodeLog& log, int32_t n, uint32_t size, int is_key) {
    char line[64];
    std::snprintf(line, sizeof line, "%6d %6d  %s\n", n, static_cast<int>(size), is_key ? "***" : "");
    put_line(log, line);
}

void log_frame_scene_change(EncodeLog& log, int32_t n, uint32_t size, uint32_t rejected_size) {
    char line[96];
    std::snprintf(line, sizeof line, "%6d %6d  %s - seen changed (size %6d)\n", n, static_cast<int>(size), "***",
                  static_cast<int>(rejected_size));
    put_line(log, line);
}

void log_frame_bad_block(EncodeLog& log, int32_t n, uint32_t size, int32_t x, int32_t y) {
    char line[96];
    std::snprintf(line, sizeof line, "%6d %6d  %s - bad block (X:%4d, Y:%4d)\n", n, static_cast<int>(size), "***", x,
                  y);
    put_line(log, line);
}
