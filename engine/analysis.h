// Bad-block analysis picture: a 372 x 160 BMP of a rejected block, its
// neighbourhood before and after compression and a chart of its differences.
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "engine/platform.h"

struct RgbCanvas {
    uint8_t* pixels;  // owned: width * height * 3 bytes, row 0 first, blue-green-red
    int32_t width;
    int32_t height;
};

using RgbColour = const uint8_t*;  // three bytes: blue, green, red

RgbCanvas* canvas_new(int32_t width, int32_t height);
void canvas_free(RgbCanvas* canvas);
void canvas_fill_rect(RgbCanvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, RgbColour colour);
void canvas_hline(RgbCanvas* canvas, int32_t x, int32_t y, int32_t length, RgbColour colour);
void canvas_vline(RgbCanvas* canvas, int32_t x, int32_t y, int32_t length, RgbColour colour);
void canvas_write_bmp(const RgbCanvas* canvas, const char* file_name);

void analysis_picture_write(const void* source, const void* decoded, const BITMAPINFOHEADER& header, int32_t x,
                            int32_t row, int32_t diff_threshold, int32_t pixel_threshold, int32_t frame_index);
