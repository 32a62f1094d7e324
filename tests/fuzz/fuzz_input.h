// The fuzz targets' input as a file: one in-memory file per process, written
// afresh for every input, so that code which opens a path can be fuzzed.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzinput {

inline const std::string& path() {
    static const std::string p = [] {
        int fd = memfd_create("fuzz-input", 0);
        if (fd < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return p;
}

inline void load(const std::uint8_t* data, std::size_t size) {
    FILE* f = std::fopen(path().c_str(), "wb");  // truncates
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

}  // namespace fuzzinput
