// MS-MPEG-4 version 2 picture coder: one key (I) or delta (P) picture at a
// time, at one quantiser, whose reconstruction is exactly what libavcodec's
// msmpeg4v2 decoder (with the IDCT codec_idct selects) makes of the bytes.
//
// It does not search: a delta picture takes one candidate vector per
// macroblock from its caller and decides per macroblock among skip, inter
// with that vector or the zero vector, and intra (v2enc_decide_mb).
// Pictures are one slice, without AC prediction. Under the caller's check
// (V2Encoder::check_level) delta pictures keep their blocks within it where
// finer rounding or intra coding can.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/motion_vector.h"

#pragma GCC visibility push(hidden)

// Three planes, 4:2:0: plane[0] luma, then Cb and Cr.
struct V2Picture {
    std::uint8_t* plane[3];
    std::ptrdiff_t stride[3];
};

enum V2MbMode { v2_mb_skip, v2_mb_inter, v2_mb_intra };

struct V2Encoder {
    int width = 0, height = 0;
    int mb_width = 0, mb_height = 0;
    // Extension header of key pictures (frame rate, bit rate in 1024 bit/s),
    // written only when fps >= 0.
    int ext_fps = -1, ext_kbps = 0;
    std::vector<std::uint8_t> source_buffer;
    // Two reconstructions with codec_ref_border around each plane: the
    // reference and the one being made, swapped when a picture is done.
    std::vector<std::uint8_t> frame_buffer[2];
    V2Picture source{};
    V2Picture frame[2]{};
    int reference = 0;          // index of the reference in frame[]
    bool has_reference = false;
    std::vector<std::int16_t> dc;  // intra DC levels of this picture: luma grid, then Cb, Cr
    std::vector<CodecMv> mv;       // coded vectors of this picture (zero for intra and skipped)
    int mode_count[3] = {};        // macroblocks of the last picture coded per V2MbMode
    // The caller's check of delta pictures: a luma pixel is off when it lies
    // check_level or more (Y', 1..255; 0: no check) from the source, and a
    // whole visible 8x8 block should hold no more than check_target off
    // pixels. Where the quantiser's plain rounding would leave more, the
    // coder rounds that block more finely, or codes its macroblock intra.
    int check_level = 0, check_target = 0;
    int worst_off = -1;      // of the last delta under the check: most off pixels in a block; -1 otherwise
    int refined_blocks = 0;  // blocks of the last picture whose rounding the check changed
};

// Prepares a coder for width x height pictures (1 x 1 up to codec_max_side).
// Returns 1, or 0 on bad sizes or no memory (the record then closed).
int v2enc_open(V2Encoder& e, int width, int height);
// Frees everything; safe on a cleared or failed record.
void v2enc_close(V2Encoder& e);

// The source planes, macroblock-aligned: the caller fills the visible width x
// height (chroma (width + 1) / 2 x (height + 1) / 2); v2enc_code fills the
// rest by replicating the last column and row.
V2Picture v2enc_source(V2Encoder& e);

// Codes the source as a key or delta picture at qp (2..31) into out.
// `vectors`: one candidate per macroblock in raster order, half pixels (null:
// all zero); a candidate the format cannot code from the actual predictor is
// moved, each component alone, to the nearest value it can code.
// Returns the size in bytes; 0 when it does not fit capacity (the coder's
// state then unchanged); -1 on bad arguments (a delta with no picture before
// it included). On success the reconstruction becomes the next reference.
int v2enc_code(V2Encoder& e, bool key, int qp, const CodecMv* vectors, std::uint8_t* out, std::size_t capacity);

// The last picture coded as the decoder shows it, macroblock-aligned (its
// planes have codec_ref_border of replicated edge around them).
V2Picture v2enc_reconstruction(const V2Encoder& e);

// ---- pieces exposed for the tests and for later decisions --------------------

// The cheap estimates for a delta macroblock, from the luma alone: the vector
// (candidate or zero) with the smaller SAD, intra when the block's deviation
// from its mean plus 512 is below that SAD. The picture coder then codes the
// likely modes in full and weighs their exact bits against their squared
// error (and the caller's check).
struct V2MbDecision {
    V2MbMode mode;
    CodecMv mv;
    int sad;        // of mv
    int sad_zero;   // of the zero vector
    int deviation;  // sum of |pixel - mean|
};
V2MbDecision v2enc_decide_mb(const V2Encoder& e, int mb_x, int mb_y, CodecMv candidate);

// The H.263 predictor of a macroblock's vector from the vectors of this
// picture so far: median of left, above and above-right (zero outside the
// picture); the first row of a slice sees only its left neighbour.
CodecMv v2enc_predict_mv(const CodecMv* mv, int mb_width, int mb_x, int mb_y, bool first_row);

// Whether a component value (half pixels) can be coded from predictor pred;
// the nearest one that can otherwise.
bool v2enc_mv_codable(int pred, int value);
int v2enc_nearest_codable(int pred, int value);

#pragma GCC visibility pop
