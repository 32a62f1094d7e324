// Crafting MP4 files whose track says how its pictures are shown.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace testsupport {

// Writes matrix (a b u c d v x y w: a to d, x and y in 16.16 fixed point, u, v
// and w in 2.30) over the display matrix of the file's first track header, as
// a phone or an editor leaves it. false when the file has no track header.
bool mp4_set_display_matrix(const std::string& path, const std::array<int32_t, 9>& matrix);

}  // namespace testsupport
