#include "engine/analysis.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/detector.h"
#include "engine/file_identity.h"

namespace {

constexpr uint8_t kWhite[3] = {0xFF, 0xFF, 0xFF};
constexpr uint8_t kGrey[3] = {0x80, 0x80, 0x80};
constexpr uint8_t kRed[3] = {0x00, 0x00, 0xFF};
constexpr uint8_t kBlue[3] = {0xFF, 0x00, 0x00};

constexpr int32_t kPictureWidth = 372;
constexpr int32_t kPictureHeight = 160;
constexpr int32_t kViewX = 26;
constexpr int32_t kSourceViewY = 88;
constexpr int32_t kDecodedViewY = 24;
constexpr int32_t kChartX = 100;
constexpr int32_t kChartY = 16;
constexpr int32_t kChartWidth = 256;
constexpr int32_t kChartHeight = 128;

bool inside(const RgbCanvas* c, int32_t x, int32_t y) {
    return c && x >= 0 && y >= 0 && x < c->width && y < c->height;
}

uint8_t* pixel_at(RgbCanvas* c, int32_t x, int32_t y) {
    return c->pixels + (static_cast<size_t>(y) * c->width + x) * 3;
}

void put_pixel(uint8_t* p, RgbColour colour) {
    p[0] = colour[0];
    p[1] = colour[1];
    p[2] = colour[2];
}

// The 24 x 24 frame pixels around the block, each as a 2 x 2 square; pixels
// beyond the frame's edges are grey.
void draw_view(RgbCanvas* c, const uint8_t* frame, int32_t width, int32_t height, size_t stride, int32_t x,
               int32_t row, int32_t base) {
    for (int32_t i = 0; i < 24; ++i) {
        const int32_t r = row - 8 + i;
        for (int32_t j = 0; j < 24; ++j) {
            const int32_t k = x - 8 + j;
            RgbColour colour = kGrey;
            if (r >= 0 && r < height && k >= 0 && k < width)
                colour = frame + static_cast<size_t>(r) * stride + static_cast<size_t>(k) * 3;
            canvas_fill_rect(c, kViewX + 2 * j, base + 2 * i, 2, 2, colour);
        }
    }
}

}  // namespace

RgbCanvas* canvas_new(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return nullptr;
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    if (bytes / 3 / static_cast<size_t>(height) != static_cast<size_t>(width)) return nullptr;
    auto* canvas = static_cast<RgbCanvas*>(std::malloc(sizeof(RgbCanvas)));
    if (!canvas) return nullptr;
    canvas->pixels = static_cast<uint8_t*>(std::malloc(bytes));
    if (!canvas->pixels) {
        std::free(canvas);
        return nullptr;
    }
    canvas->width = width;
    canvas->height = height;
    return canvas;
}

void canvas_free(RgbCanvas* canvas) {
    if (!canvas) return;
    std::free(canvas->pixels);
    canvas->pixels = nullptr;
    std::free(canvas);
}

void canvas_fill_rect(RgbCanvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, RgbColour colour) {
    if (!inside(canvas, x, y)) return;
    const int32_t columns = w < canvas->width - x ? w : canvas->width - x;
    const int32_t rows = h < canvas->height - y ? h : canvas->height - y;
    for (int32_t r = 0; r < rows; ++r) {
        uint8_t* p = pixel_at(canvas, x, y + r);
        for (int32_t k = 0; k < columns; ++k, p += 3) put_pixel(p, colour);
    }
}

void canvas_hline(RgbCanvas* canvas, int32_t x, int32_t y, int32_t length, RgbColour colour) {
    canvas_fill_rect(canvas, x, y, length, 1, colour);
}

void canvas_vline(RgbCanvas* canvas, int32_t x, int32_t y, int32_t length, RgbColour colour) {
    canvas_fill_rect(canvas, x, y, 1, length, colour);
}

int canvas_write_bmp(const RgbCanvas* canvas, const char* file_name) {
    if (!canvas) return 0;
    const uint32_t pixel_bytes = static_cast<uint32_t>(canvas->width) * static_cast<uint32_t>(canvas->height) * 3;
    std::array<uint8_t, 54> header{};
    header[0] = 'B';
    header[1] = 'M';
    bytes_put32(&header[2], 54 + pixel_bytes);
    bytes_put32(&header[10], 54);
    bytes_put32(&header[14], 40);
    bytes_put32(&header[18], static_cast<uint32_t>(canvas->width));
    bytes_put32(&header[22], static_cast<uint32_t>(canvas->height));
    header[26] = 1;   // planes
    header[28] = 24;  // bits per pixel
    bytes_put32(&header[38], 3800);
    bytes_put32(&header[42], 3800);
    FILE* file = std::fopen(file_name, "wb");
    if (!file) return 0;
    const bool written = std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
                         std::fwrite(canvas->pixels, 1, pixel_bytes, file) == pixel_bytes;
    return std::fclose(file) == 0 && written ? 1 : 0;
}

void analysis_picture_name(int32_t frame_index, char* name, size_t size) {
    std::snprintf(name, size, "%08d.bmp", static_cast<int>(frame_index));
}

int analysis_picture_write(const void* source, const void* decoded, const BITMAPINFOHEADER& header, int32_t x,
                           int32_t row, int32_t diff_threshold, int32_t pixel_threshold, int32_t frame_index) {
    const auto* src = static_cast<const uint8_t*>(source);
    const auto* dec = static_cast<const uint8_t*>(decoded);
    const int32_t width = static_cast<int32_t>(header.biWidth);
    const int32_t height = static_cast<int32_t>(header.biHeight);
    const size_t stride = dib_stride(header.biWidth, 24);

    RgbCanvas* canvas = canvas_new(kPictureWidth, kPictureHeight);
    if (!canvas) return 0;  // nothing to draw on; the run goes on without the picture
    canvas_fill_rect(canvas, 0, 0, kPictureWidth, kPictureHeight, kWhite);
    draw_view(canvas, src, width, height, stride, x, row, kSourceViewY);
    draw_view(canvas, dec, width, height, stride, x, row, kDecodedViewY);

    // How many of the block's pixels changed by at least d, for d = 0..64.
    std::array<int32_t, 256> histogram{};
    for (int32_t r = row; r < row + 8; ++r) {
        for (int32_t k = x; k < x + 8; ++k) {
            if (r < 0 || r >= height || k < 0 || k >= width) continue;  // a hit always lies inside
            const size_t at = static_cast<size_t>(r) * stride + static_cast<size_t>(k) * 3;
            int d = luma_of_bgr(src + at) - luma_of_bgr(dec + at);
            ++histogram[static_cast<size_t>(d < 0 ? -d : d)];
        }
    }
    std::array<int32_t, 65> at_least{};
    for (size_t d = 64; d < histogram.size(); ++d) at_least[64] += histogram[d];
    for (size_t d = 64; d-- > 0;) at_least[d] = at_least[d + 1] + histogram[d];

    canvas_fill_rect(canvas, kChartX, kChartY, kChartWidth, kChartHeight, kGrey);
    for (int32_t d = 63; d >= 0; --d)
        canvas_fill_rect(canvas, kChartX + 4 * d, kChartY, 4, 2 * at_least[static_cast<size_t>(d)], kBlue);
    canvas_hline(canvas, kChartX, kChartY + 2 * pixel_threshold, kChartWidth, kRed);
    canvas_vline(canvas, kChartX + 4 * diff_threshold, kChartY, kChartHeight, kRed);
    for (int32_t t = 1; t <= 63; ++t) canvas_vline(canvas, kChartX + 4 * t, kChartY, t % 10 == 0 ? 6 : 3, kWhite);
    for (int32_t u = 1; u <= 31; ++u) canvas_hline(canvas, kChartX, kChartY + 4 * u, u % 5 == 0 ? 6 : 3, kWhite);

    char name[32];
    analysis_picture_name(frame_index, name, sizeof name);
    const int written = canvas_write_bmp(canvas, name);
    canvas_free(canvas);
    return written;
}

int analysis_files_keep(AnalysisFiles& files, AnalysisKept which, const char* path, NameCoding coding) {
    char*& kept = files.kept[static_cast<int>(which)];
    std::free(kept);
    kept = static_cast<char*>(std::malloc(std::strlen(path) + 1));
    if (!kept) return 0;
    std::strcpy(kept, path);
    files.coding[static_cast<int>(which)] = coding;
    return 1;
}

void analysis_files_release(AnalysisFiles& files) {
    for (char*& kept : files.kept) std::free(kept);
    files = AnalysisFiles{};
}

void analysis_picture_write_kept_apart(AnalysisFiles& files, const void* source, const void* decoded,
                                       const BITMAPINFOHEADER& header, int32_t x, int32_t row,
                                       int32_t diff_threshold, int32_t pixel_threshold, int32_t frame_index) {
    char name[32];
    analysis_picture_name(frame_index, name, sizeof name);
    for (int i = 0; i < kAnalysisKeptCount; ++i) {
        const char* kept = files.kept[i];
        // By name too: a kept file not made yet has no identity to compare.
        // The picture's name is ASCII: the same text in either coding.
        if (!kept || (std::strcmp(kept, name) != 0 &&
                      !file_same_as(kept, files.coding[i], name, NameCoding::system)))
            continue;
        if (!files.skipped) {
            files.skipped = 1;
            files.skipped_frame = frame_index;
            files.skipped_file = static_cast<AnalysisKept>(i);
        }
        return;
    }
    if (analysis_picture_write(source, decoded, header, x, row, diff_threshold, pixel_threshold, frame_index)) return;
    if (!files.failed) {
        files.failed = 1;
        files.failed_frame = frame_index;
    }
}
