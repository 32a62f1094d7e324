#include "tests/support/mp4_display.h"

#include <fstream>

#include "tests/support/support.h"

namespace testsupport {

bool mp4_set_display_matrix(const std::string& path, const std::array<int32_t, 9>& matrix) {
    std::string data = read_file(path);
    const size_t type = data.find("tkhd");
    if (type == std::string::npos || type < 4 || type + 5 > data.size()) return false;
    // The matrix follows times, track number and duration (64-bit ones in
    // version 1), reserved words, layer, group and volume.
    const size_t box = type - 4;
    const size_t at = box + (data[type + 4] == 1 ? 60 : 48);
    if (at + 36 > data.size()) return false;
    for (size_t i = 0; i < 9; ++i) {
        const auto v = static_cast<uint32_t>(matrix[i]);
        for (size_t b = 0; b < 4; ++b) data[at + 4 * i + b] = static_cast<char>(v >> (24 - 8 * b));
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return static_cast<bool>(out);
}

}  // namespace testsupport
