// Little-endian fields in byte buffers (codec state blocks, bitmap headers),
// whatever the byte order of the machine. The stand-ins below the engine have
// their own (platform/base/bytes.h): the engine reaches the platform only
// through engine/platform.h, which on Windows is the system's headers.
#pragma once

#include <cstdint>

inline void put_le32(std::uint32_t value, std::uint8_t* destination) {
    for (int i = 0; i < 4; ++i) destination[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
