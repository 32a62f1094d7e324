// Luma PSNR of one decoded picture against its source, both in the engine's
// 24-bit layout, with the detector's own luma: 99 for identical pictures.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engine/detector.h"

namespace testsupport {

inline double luma_psnr(const uint8_t* a, const uint8_t* b, size_t pixels) {
    double sum = 0;
    for (size_t i = 0; i < pixels; ++i) {
        const int d = luma_of_bgr(a + 3 * i) - luma_of_bgr(b + 3 * i);
        sum += d * d;
    }
    if (sum == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(pixels) / sum);
}

}  // namespace testsupport
