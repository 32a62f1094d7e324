// Block comparisons of the motion search: SAD, SATD and SAD against a
// half-pel interpolated reference, each in plain C++ (the reference every
// other variant must equal exactly) and in SSE2 / AVX2 where the processor
// has them. The variant is picked once, at first use, from what the processor
// runs; tests and benchmarks can ask for each one by name.
//
// Blocks are 8-bit samples; a stride is the distance in bytes from one row to
// the next (any value, odd ones included). No kernel writes outside `out`.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma GCC visibility push(hidden)

// Distortion of block a against block b.
using MotionCompareFn = std::uint32_t (*)(const std::uint8_t* a, std::ptrdiff_t a_stride, const std::uint8_t* b,
                                          std::ptrdiff_t b_stride);
// The 16x16 prediction at a half-pel position written out, 16 bytes per row.
using MotionInterpolateFn = void (*)(const std::uint8_t* ref, std::ptrdiff_t ref_stride, std::uint8_t* out);

// Half-pel position of a prediction: bit 0 horizontal half, bit 1 vertical
// half (the decoder's "dxy"). ref points at the whole-pixel sample at or left
// of / above the position; h and v positions read one column / row more (17),
// hv positions both. Interpolation rounds up: (a+b+1)>>1, (a+b+c+d+2)>>2.
enum MotionHalfPel : int {
    motion_full = 0,
    motion_half_h = 1,
    motion_half_v = 2,
    motion_half_hv = 3,
};

struct MotionKernels {
    const char* name;
    MotionCompareFn sad16;  // sum |a - b| over 16x16
    MotionCompareFn sad8;   // sum |a - b| over 8x8
    // 8x8 sum of absolute transformed differences: with D = a - b and H the
    // 8x8 Hadamard matrix of +-1 (no scaling), (sum |H D H| + 2) >> 2.
    MotionCompareFn satd8;
    // SAD of the 16x16 block a against the reference interpolated at each
    // half-pel position (b is the reference as described above);
    // sad16_half[motion_full] equals sad16.
    MotionCompareFn sad16_half[4];
    MotionInterpolateFn interpolate16[4];  // [motion_full] copies
};

enum MotionKernelVariant : int {
    motion_kernels_scalar = 0,  // plain C++, every build
    motion_kernels_sse2 = 1,    // x86 with SSE2
    motion_kernels_avx2 = 2,    // x86 with AVX2 (its 8x8 kernels are the SSE2 ones: 8 bytes a row do not fill it)
};
constexpr int motion_kernel_variants = 3;

int motion_kernels_available(MotionKernelVariant v);  // 1 when this build and processor run it
// The kernels of one variant; one that is not available gives the scalar ones.
const MotionKernels& motion_kernels_of(MotionKernelVariant v);
MotionKernelVariant motion_kernels_selected();  // the fastest available, chosen once
const MotionKernels& motion_kernels();           // motion_kernels_of(motion_kernels_selected())

#pragma GCC visibility pop
