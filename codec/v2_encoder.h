// MS-MPEG-4 version 2 picture coder: one key (I) or delta (P) picture at a
// time, at one quantiser, whose reconstruction is exactly what libavcodec's
// msmpeg4v2 decoder (with the IDCT codec_idct selects) makes of the bytes.
//
// It does not search: a delta picture takes one candidate vector per
// macroblock from its caller and decides per macroblock among skip, inter
// with that vector or the zero vector, and intra (v2enc_decide_mb).
// Pictures are coded without AC prediction, in slices: bands of macroblock
// rows that reset the DC and vector prediction, each coded into bits of its
// own (on its own thread where the coder has more than one) and joined in
// order, so that the bytes never depend on the number of threads. Under the
// caller's check (V2Encoder::check_level) delta pictures keep their blocks
// within it where finer rounding or intra coding can.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/bit_writer.h"
#include "codec/motion_vector.h"
#include "codec/workers.h"

#pragma GCC visibility push(hidden)

// Three planes, 4:2:0: plane[0] luma, then Cb and Cr.
struct V2Picture {
    std::uint8_t* plane[3];
    std::ptrdiff_t stride[3];
};

enum V2MbMode { v2_mb_skip, v2_mb_inter, v2_mb_intra };

// One slice's bits while a picture is coded: slice 0 writes the picture's
// header and goes straight into the caller's buffer, the others into data.
struct V2SliceBits {
    std::vector<std::uint8_t> data;
    BitWriter w;
    int counts[3] = {};  // macroblocks per V2MbMode
    int worst_off = 0;   // under the check: the largest count of a block of the slice (the coder's weighting)
    int refined = 0;     // blocks whose rounding the check changed
};

// The picture between v2enc_begin and v2enc_finish.
struct V2Coding {
    bool active = false;
    bool key = false;
    int qp = 0;
    const CodecMv* vectors = nullptr;
    int slices = 0;      // the header's count (key pictures)
    int slice_rows = 0;  // rows per slice; the last slice may be shorter
    int bands = 0;       // slices the rows make: mb_height / slice_rows rounded up
    bool checked = false;  // a delta under the caller's check (V2Encoder::check_level)
};

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
    // pixels, and none a level nearer once it holds that many. Where the quantiser's plain rounding
    // would leave more, the coder rounds that block more finely, or codes its
    // macroblock intra.
    int check_level = 0, check_target = 0;
    int worst_off = -1;      // of the last delta under the check: most off pixels in a block; -1 otherwise
    int refined_blocks = 0;  // blocks of the last picture whose rounding the check changed
    // Slice layout of the last key picture, which delta pictures keep (the
    // decoder takes it from key pictures only): the header's count and the
    // rows per slice the decoder derives from it, mb_height / slices.
    int slices = 1, slice_rows = 1;
    CodecWorkers* workers = nullptr;  // the coder's threads beside the caller's; null: one thread
    V2Coding coding;
    std::vector<V2SliceBits> slice_bits;  // one per band
};

// Prepares a coder for width x height pictures (1 x 1 up to codec_max_side)
// that codes each picture on `threads` threads (the caller's included; the
// bytes are the same for any number). Returns 1, or 0 on bad sizes or no
// memory (the record then closed); fewer threads when no more can be made.
int v2enc_open(V2Encoder& e, int width, int height, int threads = 1);
// Frees everything and ends the threads; safe on a cleared or failed record.
void v2enc_close(V2Encoder& e);

// The number of slices of key pictures of mb_height macroblock rows: from
// the picture alone, never from the threads, 1 to mb_height.
int v2enc_choose_slices(int mb_height);

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
// it included) or when the bands' buffers cannot be had (they grow to the
// largest capacity asked for, once). On success the reconstruction becomes
// the next reference.
int v2enc_code(V2Encoder& e, bool key, int qp, const CodecMv* vectors, std::uint8_t* out, std::size_t capacity);

// v2enc_code in three steps, for a caller that does work of its own per band
// before coding it (the driver searches a band's vectors first):
// v2enc_begin checks the arguments as v2enc_code does and writes the header;
// it returns the number of bands (slices as coded), or -1 (also on no
// memory). v2enc_code_band then codes band k, for every k once, in any order
// and from any thread; it reads `vectors` and the source only in band k's
// rows, which the caller has padded (v2enc_pad_rows) by then.
// v2enc_finish joins the bands and answers as v2enc_code does (-1 when
// nothing was begun); the state changes only when it succeeds.
int v2enc_begin(V2Encoder& e, bool key, int qp, const CodecMv* vectors, std::uint8_t* out, std::size_t capacity);
void v2enc_code_band(V2Encoder& e, int k);
int v2enc_finish(V2Encoder& e);
// Macroblock rows [first, end) of band k of the picture begun.
struct V2Band {
    int first, end;
};
V2Band v2enc_band(const V2Encoder& e, int k);
// Fills the source beyond the visible picture in macroblock rows [first,
// end) as v2enc_code does for the whole picture: the last column replicated
// to the right, and in the last row the last line below. Touches only those
// rows (and reads the last visible line, which lies in the last row), so
// bands can be padded on threads of their own.
void v2enc_pad_rows(V2Encoder& e, V2Band rows);

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
