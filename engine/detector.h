// Block-noise detector: compares a source frame with its decoded delta frame
// on a grid of 8x8 blocks by luminance and reports the first noisy block.
#pragma once

#include <cstdint>

#include "common/luma.h"
#include "engine/platform.h"

// 0 = no noisy block; else (row << 18) + (block column << 5) + 1.
using BadBlockHit = int32_t;

constexpr int32_t bad_block_x(BadBlockHit hit) { return (hit >> 2) & 0xFFFF; }
constexpr int32_t bad_block_row(BadBlockHit hit) { return hit >> 18; }
constexpr BadBlockHit bad_block_pack(int32_t row, int32_t block_column) {
    return (row << 18) + (block_column << 5) + 1;
}


// The scan used on every delta frame: the fastest path this processor runs.
BadBlockHit block_noise_scan(const void* source, const void* decoded, const BITMAPINFOHEADER& header,
                             int32_t diff_threshold, int32_t pixel_threshold);
// The plain one-block-at-a-time scan that block_noise_scan must always agree with.
BadBlockHit block_noise_scan_reference(const void* source, const void* decoded, const BITMAPINFOHEADER& header,
                                       int32_t diff_threshold, int32_t pixel_threshold);

// The implementations behind block_noise_scan, so that tests and benchmarks
// can hold each of them against the reference on any machine that runs it.
enum DetectorPath : int32_t {
    kDetectorPortable = 0,  // plain C++, every build
    kDetectorSsse3 = 1,     // x86 with SSSE3
    kDetectorAvx2 = 2,      // x86 with AVX2
};
int detector_path_available(DetectorPath path);  // 1 when this build and processor run it
DetectorPath detector_path_selected();           // the one block_noise_scan uses
// Runs the given path; one that is not available falls back to the portable one.
BadBlockHit block_noise_scan_path(DetectorPath path, const void* source, const void* decoded,
                                  const BITMAPINFOHEADER& header, int32_t diff_threshold,
                                  int32_t pixel_threshold);
