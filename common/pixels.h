// Pixel conversion between 24-bit BGR rows as Windows lays out a DIB (either
// way up, rows padded or not) and the planar YUV pictures of the codecs, over
// libswscale. Used by the codec drivers and by the VFAPI reader plug-in; built
// as a static library of its own so that the reader, a shared object apart
// from the stand-ins, links the same code (and neither exports it).
//
// libswscale works in whole vectors: fed the caller's frame through a
// negative stride at a width that is not a multiple of 8 it gave wrong pixels
// in the last columns and wrote past the end of the buffer. Such frames (and
// top-down ones) go through a top-down picture of ours with aligned, padded
// rows, copied row by row to or from the caller's frame. A bottom-up frame at
// a width that is a multiple of 8 may be converted in place, walked from its
// last row with a negative stride; on the way out the two rows at the end of
// its memory (the top of the picture) still go through our picture, so that
// no vector store can land behind the buffer. Both ways give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

struct SwsContext;

// The caller's BGR rows: the top line of the picture and the step to the line
// below (negative for a bottom-up DIB).
struct PixelsRows {
    std::uint8_t* top;
    std::ptrdiff_t down;
};

// A top-down BGR picture of ours with rows aligned and padded for libswscale.
struct PixelsPicture {
    std::uint8_t* data = nullptr;
    int stride = 0;
    int width = 0, height = 0;
};

// bad_format: libswscale takes no such conversion; failed: it converted
// fewer rows than the picture has.
enum class PixelsResult { ok, no_memory, bad_format, failed };

// BGR rows to 4:2:0 YUV of the same size.
struct PixelsToYuv {
    SwsContext* sws = nullptr;
    PixelsPicture staging;
    int width = 0, height = 0;
};

// Returns 1, or 0 when out of memory (the record is then closed).
int pixels_to_yuv_open(PixelsToYuv& c, int width, int height);
// Converts the picture at src into dst, a YUV420P frame of the open size.
// direct allows the in-place conversion where the layout permits it.
void pixels_to_yuv(PixelsToYuv& c, PixelsRows src, AVFrame* dst, bool direct);
void pixels_to_yuv_close(PixelsToYuv& c);

// Planes of a 4:2:0 picture of the caller's: luma, Cb, Cr.
struct PixelsPlanes {
    std::uint8_t* plane[3];
    std::ptrdiff_t stride[3];
};

// Rows [y0, y1) of a width x height BGR picture to 4:2:0 YUV, our own
// conversion (no libswscale): ITU-R BT.601 in video range, each luma sample
// rounded from its pixel, each chroma sample from the mean of its 2x2 pixels
// (the last column or row of an odd size standing in for the one missing).
// y0 even, y1 even or height; chroma rows y0 / 2 up to (y1 + 1) / 2. It reads
// nothing of src beyond width x 3 bytes a row and writes only those rows, so
// bands of one picture may be converted on threads of their own. Against the
// source through libswscale's YUV-to-RGB conversion it comes nearer than
// libswscale's own (docs/codec.md, "Pixel conversion").
void pixels_bgr_to_yuv420(PixelsRows src, int width, int height, int y0, int y1, const PixelsPlanes& dst);

// Any decoded picture to BGR rows of width x height (scaled when the sizes differ).
struct PixelsToBgr {
    SwsContext* sws = nullptr;
    PixelsPicture staging;
};

// How pixels_to_bgr writes the caller's rows.
enum class PixelsWrite {
    staged,   // all rows through our picture
    guarded,  // in place where the layout allows it (see above), else staged
};

// sws_flags as for sws_getContext.
PixelsResult pixels_to_bgr(PixelsToBgr& c, const AVFrame* src, PixelsRows dst, int width, int height, int sws_flags,
                           PixelsWrite how);
void pixels_to_bgr_close(PixelsToBgr& c);
