// The picture hash decides whether a frame after a begin is a redo of
// the last one; a false "same" drops a kept frame from the accounting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "codec/picture_hash.h"

namespace {

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 11);
    return v;
}

TEST(PictureHash, EveryByteAndItsPlaceCount) {
    // Lengths around the 64-byte stripes, including a tail of every size.
    for (std::size_t n : {0u, 1u, 7u, 63u, 64u, 65u, 127u, 128u, 200u, 1000u}) {
        std::vector<std::uint8_t> v = pattern(n);
        const std::uint64_t base = picture_hash(v.data(), n);
        EXPECT_EQ(picture_hash(v.data(), n), base);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::uint8_t bit : {0x01, 0x80}) {
                v[i] ^= bit;
                EXPECT_NE(picture_hash(v.data(), n), base) << "length " << n << " byte " << i;
                v[i] ^= bit;
            }
        }
    }
}

TEST(PictureHash, MovedContentAndLengthCount) {
    std::vector<std::uint8_t> v = pattern(640 * 3 * 4);
    const std::uint64_t base = picture_hash(v.data(), v.size());
    // Two stripes swapped (content moving across the picture), and two words within a stripe.
    std::vector<std::uint8_t> w = v;
    std::swap_ranges(w.begin(), w.begin() + 64, w.begin() + 640);
    EXPECT_NE(picture_hash(w.data(), w.size()), base);
    w = v;
    std::swap_ranges(w.begin(), w.begin() + 8, w.begin() + 8);
    EXPECT_NE(picture_hash(w.data(), w.size()), base);
    // A whole picture shifted by one pixel.
    w.assign(v.begin() + 3, v.end());
    w.insert(w.end(), v.begin(), v.begin() + 3);
    EXPECT_NE(picture_hash(w.data(), w.size()), base);
    // Black pictures of different sizes.
    std::set<std::uint64_t> seen;
    const std::vector<std::uint8_t> zeros(4096, 0);
    for (std::size_t n = 0; n <= 4096; n += 8) seen.insert(picture_hash(zeros.data(), n));
    EXPECT_EQ(seen.size(), 4096u / 8 + 1);
}

}  // namespace
