#include "codec/picture_hash.h"

#include <cstring>

// Eight independent multiply-xorshift chains over 64-byte stripes keep the
// multiplier busy (one chain waits on its own multiply); the lanes and the
// tail are then folded in order.
std::uint64_t picture_hash(const void* data, std::size_t n) {
    constexpr std::uint64_t mul = 0x9FB21C651E98DF25ull;
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint64_t lane[8];
    for (int k = 0; k < 8; ++k) lane[k] = (0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(k + 1)) ^ n;
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        for (int k = 0; k < 8; ++k) {
            std::uint64_t v;
            std::memcpy(&v, p + i + 8 * k, 8);
            lane[k] = (lane[k] ^ v) * mul;
            lane[k] ^= lane[k] >> 29;
        }
    }
    std::uint64_t h = n;
    for (int k = 0; k < 8; ++k) {
        h = (h ^ lane[k]) * mul;
        h ^= h >> 32;
    }
    for (; i < n; ++i) {
        h = (h ^ p[i]) * mul;
        h ^= h >> 32;
    }
    return h;
}
