// The block-noise rule the system checks every delta frame by: a pixel's
// luminance, and an 8x8 block that counts as noisy.
#pragma once

#include <cstddef>
#include <cstdint>

// The weights of red, green and blue in 16.16 fixed point, and what is added
// before the shift; vector code must give luma_of_bgr's results with them.
constexpr std::uint32_t luma_weight_red = 19595, luma_weight_green = 38469, luma_weight_blue = 7471;
constexpr std::uint32_t luma_rounding = 65535;

// Integer luminance 0..255 of a blue-green-red pixel.
inline int luma_of_bgr(const std::uint8_t* p) {
    return static_cast<int>(
        (luma_weight_red * p[2] + luma_weight_green * p[1] + luma_weight_blue * p[0] + luma_rounding) >> 16);
}

// 1 when at least pixel_threshold of the block's 64 pixels differ in
// luminance by diff_threshold or more; rows row_stride bytes apart, pixels
// pixel_step bytes apart.
inline int block_is_noisy(const std::uint8_t* source, const std::uint8_t* decoded, std::int32_t row_stride,
                          std::int32_t pixel_step, std::int32_t diff_threshold, std::int32_t pixel_threshold) {
    std::int32_t count = 0;
    for (int r = 0; r < 8; ++r) {
        const std::uint8_t* s = source + static_cast<std::ptrdiff_t>(r) * row_stride;
        const std::uint8_t* d = decoded + static_cast<std::ptrdiff_t>(r) * row_stride;
        for (int k = 0; k < 8; ++k) {
            int diff = luma_of_bgr(s) - luma_of_bgr(d);
            if (diff < 0) diff = -diff;
            if (diff >= diff_threshold) ++count;
            s += pixel_step;
            d += pixel_step;
        }
    }
    return count >= pixel_threshold ? 1 : 0;
}
