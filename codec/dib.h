// Geometry of uncompressed frames as the drivers read and write them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codec/platform.h"
#include "common/dib.h"

struct DibLayout {
    int width;
    int height;        // always positive
    bool top_down;     // negative biHeight: first row in memory is the top line
    int bits;          // biBitCount
    std::size_t stride;  // bytes from one row to the next in memory
    std::size_t size;    // stride * height
};

// A 24-bit frame as every Windows DIB is laid out: rows padded to 4 bytes.
// biSizeImage 0 means exactly that size. Fails on anything but BI_RGB 24-bit,
// on sizes out of range and when biSizeImage cannot hold the picture.
inline bool dib_layout_frame24(const BITMAPINFOHEADER* bi, DibLayout& out) {
    if (!bi || bi->biSize < 40 || bi->biCompression != BI_RGB || bi->biBitCount != 24) return false;
    if (bi->biWidth <= 0 || bi->biHeight == 0 || bi->biWidth > codec_max_side || std::labs(bi->biHeight) > codec_max_side) return false;
    out.width = bi->biWidth;
    out.height = static_cast<int>(std::labs(bi->biHeight));
    out.top_down = bi->biHeight < 0;
    out.bits = 24;
    out.stride = dib_stride(out.width, 24);
    out.size = out.stride * static_cast<std::size_t>(out.height);
    return bi->biSizeImage == 0 || bi->biSizeImage >= out.size;
}

// An uncompressed frame as stored in AVI files: BI_RGB at 1, 4, 8, 16 (555),
// 24 or 32 bits, rows padded to 4 bytes.
inline bool dib_layout_stored(const BITMAPINFOHEADER* bi, DibLayout& out) {
    if (!bi || bi->biSize < 40 || bi->biCompression != BI_RGB) return false;
    switch (bi->biBitCount) {
        case 1: case 4: case 8: case 16: case 24: case 32: break;
        default: return false;
    }
    if (bi->biWidth <= 0 || bi->biHeight == 0 || bi->biWidth > codec_max_side || std::labs(bi->biHeight) > codec_max_side) return false;
    out.width = bi->biWidth;
    out.height = static_cast<int>(std::labs(bi->biHeight));
    out.top_down = bi->biHeight < 0;
    out.bits = bi->biBitCount;
    out.stride = dib_stride(out.width, static_cast<std::uint32_t>(out.bits));
    out.size = out.stride * static_cast<std::size_t>(out.height);
    return true;
}

// Room a compressed frame may take: the frame itself, and for tiny pictures
// 3 bytes per pixel of the picture rounded up to whole 16 x 16 blocks (what
// the codec codes). Callers' output buffers hold at least this much.
inline std::size_t dib_compressed_capacity(const DibLayout& l) {
    const std::size_t blocks = (static_cast<std::size_t>(l.width) + 15) / 16 * 16 *
                               ((static_cast<std::size_t>(l.height) + 15) / 16 * 16) * 3;
    return l.size > blocks ? l.size : blocks;
}

// Pointer to the top line of the picture and the step to the line below,
// whatever the memory order: bottom-up frames are walked with a negative
// step, so no copy is needed to flip them.
struct DibRows {
    std::uint8_t* top;
    std::ptrdiff_t down;
};

inline DibRows dib_rows(const void* bits, const DibLayout& l) {
    auto* p = static_cast<std::uint8_t*>(const_cast<void*>(bits));
    if (l.top_down) return {p, static_cast<std::ptrdiff_t>(l.stride)};
    return {p + static_cast<std::size_t>(l.height - 1) * l.stride, -static_cast<std::ptrdiff_t>(l.stride)};
}

// Palette entries that follow a header of biSize bytes.
inline std::uint32_t dib_palette_entries(const BITMAPINFOHEADER* bi) {
    if (bi->biBitCount > 8) return bi->biClrUsed;
    const std::uint32_t full = 1u << bi->biBitCount;
    return (bi->biClrUsed == 0 || bi->biClrUsed > full) ? full : bi->biClrUsed;
}
