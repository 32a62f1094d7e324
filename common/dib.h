// Geometry of device-independent bitmaps as Windows lays out uncompressed
// frames (rows padded to 4 bytes, on every path: files, codecs, hosts), and
// the largest pictures the system takes.
#pragma once

#include <cstdint>

// Bytes from one row to the next, at any width (a negative one counts as its size).
constexpr std::uint64_t dib_stride(std::int64_t width, std::uint32_t bits) {
    const std::uint64_t w = static_cast<std::uint64_t>(width < 0 ? -width : width);
    return (w * bits + 31) / 32 * 4;
}

// Bytes of a frame as its header lays it out: biSizeImage, or padded rows
// when that is 0 (as Windows reads an uncompressed frame).
template <class Header>
constexpr std::uint64_t dib_frame_bytes(const Header& h) {
    if (h.biSizeImage != 0) return h.biSizeImage;
    const std::int64_t height = h.biHeight;
    return dib_stride(h.biWidth, h.biBitCount) * static_cast<std::uint64_t>(height < 0 ? -height : height);
}

// The largest picture a run encodes: the block-noise detector's hit holds
// rows below 8192 (a taller picture would be scanned wrongly), and the codec
// takes no wider picture than codec_max_side.
constexpr std::int32_t encode_max_width = 16384;
constexpr std::int32_t encode_max_height = 8192;
// The largest width or height our codec's drivers take.
constexpr std::int32_t codec_max_side = 16384;
static_assert(encode_max_width <= codec_max_side && encode_max_height <= codec_max_side);

// The one test of that limit, for every path a picture comes in by: sources
// ask it before they decode anything, the writer before it opens.
constexpr bool encode_size_fits(std::int64_t width, std::int64_t height) {
    return width <= encode_max_width && height <= encode_max_height && -height <= encode_max_height;
}
// Bytes of the largest picture a run encodes, as a 24-bit DIB.
constexpr std::uint64_t encode_max_picture_bytes = dib_stride(encode_max_width, 24) * encode_max_height;

static_assert(dib_stride(150, 24) == 452 && dib_stride(-3, 8) == 4 && dib_stride(1, 1) == 4);
