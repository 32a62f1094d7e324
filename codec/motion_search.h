// Motion search of the version 2 picture coder: one 16x16 luma vector per
// macroblock, in half pixels, with its cost, for the coder to weigh against
// skipping or intra coding.
//
// The vectors are those the format can code: components in -63..63, and each
// reachable by the decoder from the median predictor (a difference of at most
// 32 per component, the sum wrapped into -63..63 by 64; see motion_codable).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/motion_kernels.h"
#include "codec/motion_vector.h"

#pragma GCC visibility push(hidden)

constexpr int motion_max_component = 63;  // half pixels: up to 31.5 pixels

// 1 when the decoder, predicting pred, can be sent a difference that gives v
// (both components); 0 otherwise, also when either is outside -63..63.
int motion_codable(CodecMv v, CodecMv pred);
// Bits of the shortest code of v from pred (both components, sign bits
// included); -1 when v is not codable from pred.
int motion_bits(CodecMv v, CodecMv pred);
// The components reachable from a predicted component pred (-63..63) form the
// interval [*lo, *hi]; pred outside -63..63 gives the empty interval 1, 0.
void motion_codable_range(int pred, int* lo, int* hi);
// The decoder's predictor of macroblock (mbx, mby) from the vectors of this
// picture (mb_width a row), in slices of slice_rows rows (0: the picture one
// slice): the median of the left, upper and upper-right neighbours (zero
// beyond the right edge), and in the first row of a slice the left neighbour
// alone (zero for the first macroblock). Macroblocks the coder skips or codes
// intra must hold zero in `vectors` when it predicts for coding.
CodecMv motion_predict(const CodecMv* vectors, int mb_width, int mbx, int mby, int slice_rows = 0);

struct MotionSearch {
    int mb_width = 0, mb_height = 0;
    const MotionKernels* kernels = nullptr;  // motion_kernels() after open; tests may pick others
    // Rank the half-pel candidates by SATD (four 8x8) instead of SAD. The
    // reported cost is SAD-based either way.
    int half_pel_satd = 0;
    // A macroblock whose best SAD after the predictors and the pattern search
    // still exceeds this gets a coarse scan of its whole window (every second
    // pixel), then the pattern search again from the best point of it.
    std::uint32_t wide_threshold = 16 * 16 * 8;
    // When even the wide scan leaves the SAD above wide_threshold, search the
    // whole range regardless of the predictor; if a match there is beyond the
    // predictor's reach and under half the SAD, return the reachable vector
    // nearest to it (a worse one here, so that the next macroblocks' predictors
    // reach the motion: the way a large pan gets coded at all).
    int steer = 1;
    // Below this SAD at the best predictor the whole-pixel search stops.
    std::uint32_t early_exit = 16 * 16 / 2;
    // The coder's slices, rows each (0: one slice): the predictor and the
    // neighbours tried follow them, as the coder's predictor does.
    int slice_rows = 0;
    std::vector<CodecMv> previous;  // the last frame's vectors, zero before the first
};

// 1 on success; 0 for a size outside 1..(codec_max_side / 16 rounded up) or no memory.
int motion_search_open(MotionSearch& s, int mb_width, int mb_height);
void motion_search_close(MotionSearch& s);  // safe after a failed open and twice

// Searches every macroblock of row mby, writing vectors[mby * mb_width + mbx]
// and costs[same]. The median predictor is formed as motion_predict does, from
// row mby - 1 of `vectors` (already searched) and the left neighbours just
// found; the first row of a slice reads nothing of the row above, so each
// slice can be searched on a thread of its own (s is only read), and rows
// within one can be shared by threads one row apart. Every vector written
// is codable from that predictor (its components clamped to -63..63 should
// row mby - 1 hold vectors out of range).
// cur: the luma plane of the macroblock-aligned picture (mb_width * 16 x
// mb_height * 16); ref: the same of the reference, its (0, 0) sample with
// codec_ref_border pixels of replicated edge around it.
// cost = SAD of the prediction (half-pel interpolated as the decoder does)
//        + (lambda * bits of the vector from the predictor + 8) / 16,
// lambda in sixteenths of a SAD unit per bit (16: one SAD unit a bit;
// negative counts as 0). Does nothing if s is not open or mby is outside the picture.
void motion_search_row(MotionSearch& s, const std::uint8_t* cur, std::ptrdiff_t cur_stride,
                       const std::uint8_t* ref, std::ptrdiff_t ref_stride, int mby, int lambda, CodecMv* vectors,
                       std::uint32_t* costs);
// All rows in order, then motion_search_end_frame(s, vectors).
void motion_search_frame(MotionSearch& s, const std::uint8_t* cur, std::ptrdiff_t cur_stride,
                         const std::uint8_t* ref, std::ptrdiff_t ref_stride, int lambda, CodecMv* vectors,
                         std::uint32_t* costs);
// Remembers a frame's vectors (mb_width * mb_height; the coder may pass the
// ones it finally coded) as the previous frame's, the next search's candidates.
void motion_search_end_frame(MotionSearch& s, const CodecMv* vectors);

#pragma GCC visibility pop
