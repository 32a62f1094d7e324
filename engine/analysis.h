// Bad-block analysis picture: a 372 x 160 BMP of a rejected block, its
// neighbourhood before and after compression and a chart of its differences.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.h"
#include "engine/file_open.h"
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
// 1 when the whole file was written; 0 when it could not be created or written.
int canvas_write_bmp(const RgbCanvas* canvas, const char* file_name);

// The picture's file name for a frame: "%08d.bmp", in the current directory.
void analysis_picture_name(int32_t frame_index, char* name, size_t size);

// Draws and writes the picture of frame_index. 1 when its file was written.
int analysis_picture_write(const void* source, const void* decoded, const BITMAPINFOHEADER& header, int32_t x,
                           int32_t row, int32_t diff_threshold, int32_t pixel_threshold, int32_t frame_index);

// The run's own files, which a picture must never replace: the names of the
// pictures are fixed, and the input, the output or the log may well bear one.
enum class AnalysisKept : int32_t { input = 0, output, log };
inline constexpr int kAnalysisKeptCount = 3;

// What a run keeps apart from its pictures, and what became of the pictures
// that were not written, for the front end to tell once. Cleared: nothing kept.
struct AnalysisFiles {
    char* kept[kAnalysisKeptCount];  // owned names, by AnalysisKept; null where the run has none
    NameCoding coding[kAnalysisKeptCount];  // how each is written
    int skipped;                     // 1 once a picture was not written for its name
    int32_t skipped_frame;           // the first such picture's frame
    AnalysisKept skipped_file;       // and the file it would have replaced
    int failed;                      // 1 once a picture could not be written
    int32_t failed_frame;            // the first such picture's frame
};

// Copies path as the run's file of that kind. 0 when memory ran out.
int analysis_files_keep(AnalysisFiles& files, AnalysisKept which, const char* path,
                        NameCoding coding = NameCoding::system);
// Frees the names; the record is cleared.
void analysis_files_release(AnalysisFiles& files);
// analysis_picture_write for the run: not when the picture's name leads to
// one of the kept files (by name or, through links, as the same file).
void analysis_picture_write_kept_apart(AnalysisFiles& files, const void* source, const void* decoded,
                                       const BITMAPINFOHEADER& header, int32_t x, int32_t row,
                                       int32_t diff_threshold, int32_t pixel_threshold, int32_t frame_index);
