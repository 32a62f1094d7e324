// Code tables of MS-MPEG-4 versions 1 and 2 (H.263-style macroblock layer).
// The tables are facts of the format; mpg4_rewrite.cpp builds its readers
// and writers from them.
#pragma once

#include <cstdint>

// A variable-length code: the value in the low `len` bits of `code`.
struct Mpg4Code {
    std::uint16_t code;
    std::uint8_t len;
};

// A run-level table: entry k codes (last = k >= last_start, run[k], level[k]);
// entry `size` is the escape code.
struct Mpg4RunLevelTable {
    int size;
    int last_start;
    const Mpg4Code* codes;  // size + 1 entries
    const std::int8_t* run;
    const std::int8_t* level;
};

// Coefficients of intra luminance blocks.
extern const Mpg4RunLevelTable mpg4_intra_table;
// Coefficients of intra chrominance blocks and of every inter block.
extern const Mpg4RunLevelTable mpg4_inter_table;

// Version 1 macroblock type and chroma pattern, key pictures: index cbpc (0..3).
extern const Mpg4Code mpg4_v1_intra_mcbpc[4];
// Version 1, delta pictures: index intra * 4 + cbpc.
extern const Mpg4Code mpg4_v1_inter_mcbpc[8];
// Version 2, key pictures: index cbpc.
extern const Mpg4Code mpg4_v2_intra_cbpc[4];
// Version 2, delta pictures: index intra * 4 + cbpc.
extern const Mpg4Code mpg4_v2_mb_type[8];
// Luminance coded-block pattern (both versions): index the four luma bits.
extern const Mpg4Code mpg4_cbpy[16];
// Motion vector difference magnitude 0..32 (a sign bit follows a non-zero one).
extern const Mpg4Code mpg4_mv[33];
// Size prefixes of intra DC differences, sizes 0..9, as both versions code
// them (the complement of the MPEG-4 DC size codes).
extern const Mpg4Code mpg4_dc_size_luma[10];
extern const Mpg4Code mpg4_dc_size_chroma[10];
