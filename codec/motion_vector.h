// What the picture coder and the motion search share: a vector and the
// border of reference planes.
#pragma once

#include <cstdint>

#pragma GCC visibility push(hidden)

// A motion vector in half pixels.
struct CodecMv {
    std::int16_t x, y;
};

// Luma pixels of replicated edge around every reference plane (half that for
// chroma): any vector the format can code, +-31.5 pixels, reads inside it.
constexpr int codec_ref_border = 48;

#pragma GCC visibility pop
