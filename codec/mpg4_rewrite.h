// MS-MPEG-4 version 1 (MPG4) from version 2 (MP42): a lossless rewriter.
//
// libavcodec encodes version 2 but not version 1. The two share the
// macroblock layer (H.263-style macroblocks, DCT, quantiser, coefficient and
// motion vector codes); version 1 differs in the picture header (a start code
// and a frame number, the slice height in rows), in the macroblock type and
// pattern codes, in intra DC prediction (the previous block of the same plane
// in the row instead of the left/upper gradient rule), in coefficient escapes
// (one fixed-length form only), in always signalling skipped macroblocks, and
// it has no AC prediction. The version 2 encoder of libavcodec never uses AC
// prediction, so its pictures are parsed down to macroblock types, motion
// vectors, DC values and run-level coefficients, and written again in version
// 1 syntax. A version 1 decoder then reconstructs exactly the pictures a
// version 2 decoder makes of the original.
//
// Version 1 slices hold at most 31 macroblock rows; taller pictures get
// several slices, and motion vectors in the first row of each slice are
// predicted anew.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct Mpg4MotionVector {
    std::int8_t x, y;  // half pixels
};

struct Mpg4Rewriter {
    int mb_width = 0, mb_height = 0;
    int v2_slice_rows = 0;   // slice height of the version 2 input (from its last key picture)
    int v1_slice_rows = 0;   // slice height we write
    std::uint32_t frame_number = 0;
    int fps_field = 0;       // extension header of key pictures, when the input has none
    int rate_field = 0;
    std::vector<std::int16_t> dc;          // DC prediction grid of the input: luma, then both chroma
    std::vector<Mpg4MotionVector> motion;  // this picture's vectors, one per macroblock
};

enum Mpg4RewriteResult {
    mpg4_rewrite_ok = 0,
    mpg4_rewrite_bad_input = -1,  // malformed, or a feature version 1 cannot express
    mpg4_rewrite_too_big = -2,    // the output does not fit the capacity given
};

// Prepares a rewriter for pictures of width x height pixels; fps and kbps fill
// the extension header (kbps in units of 1024 bit/s) when the input has none.
// Returns 1, or 0 on bad sizes or no memory.
int mpg4_rewriter_open(Mpg4Rewriter& r, int width, int height, int fps, int kbps);
void mpg4_rewriter_close(Mpg4Rewriter& r);

// Rewrites one version 2 picture into `out` (at most `capacity` bytes).
// Pictures go in coding order: a delta takes its slice height from the key
// picture before it. On success sets *size and *key (a key picture) and
// counts the frame number on; on failure out holds nothing usable. No
// allocation.
Mpg4RewriteResult mpg4_rewrite_frame(Mpg4Rewriter& r, const std::uint8_t* in, std::size_t in_size,
                                     std::uint8_t* out, std::size_t capacity, std::size_t* size, bool* key);
