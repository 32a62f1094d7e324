// Little-endian fields in byte buffers (RIFF chunks, codec state blocks),
// whatever the byte order of the machine.
#pragma once

#include <cstdint>

inline std::uint16_t bytes_get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t bytes_get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t bytes_get64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(bytes_get32(p)) | (static_cast<std::uint64_t>(bytes_get32(p + 4)) << 32);
}
inline void bytes_put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void bytes_put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void bytes_put64(std::uint8_t* p, std::uint64_t v) {
    bytes_put32(p, static_cast<std::uint32_t>(v));
    bytes_put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
