#include "engine/analysis.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace {

using Bgr = std::array<uint8_t, 3>;
constexpr Bgr kWhite{0xFF, 0xFF, 0xFF}, kGrey{0x80, 0x80, 0x80}, kRed{0x00, 0x00, 0xFF}, kBlue{0xFF, 0x00, 0x00};

uint32_t le32(const std::string& bytes, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

// A written 372 x 160 picture, read back from its file.
struct Picture {
    std::string bytes;
    Bgr at(int x, int y) const {
        const size_t p = 54 + (static_cast<size_t>(y) * 372 + x) * 3;
        return {static_cast<uint8_t>(bytes[p]), static_cast<uint8_t>(bytes[p + 1]), static_cast<uint8_t>(bytes[p + 2])};
    }
};

// A bottom-up 24-bit frame whose pixels all differ from their neighbours.
struct Frame {
    BITMAPINFOHEADER header{};
    std::vector<uint8_t> pixels;
    Frame(int32_t width, int32_t height) {
        header.biSize = sizeof header;
        header.biWidth = width;
        header.biHeight = height;
        header.biBitCount = 24;
        pixels.resize(static_cast<size_t>(width) * height * 3);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 + i / 3);
    }
    Bgr at(int32_t row, int32_t column) const {
        const size_t p = (static_cast<size_t>(row) * header.biWidth + column) * 3;
        return {pixels[p], pixels[p + 1], pixels[p + 2]};
    }
    void fill_grey(uint8_t v) { pixels.assign(pixels.size(), v); }
};

// The pictures land in the current directory: run each test in a fresh one.
class AnalysisPicture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(previous_), 0); }

    Picture write(const Frame& source, const Frame& decoded, int32_t x, int32_t row, int32_t diff = 9,
                  int32_t pix = 28, int32_t index = 0) {
        analysis_picture_write(source.pixels.data(), decoded.pixels.data(), source.header, x, row, diff, pix, index);
        char name[32];
        std::snprintf(name, sizeof name, "%08d.bmp", index);
        Picture picture{testsupport::read_file(dir_.file(name))};
        EXPECT_EQ(picture.bytes.size(), 178614u);
        return picture;
    }

    testsupport::TempDir dir_;
    char previous_[4096] = {};
};

TEST(Canvas, BytesPut32StoresLeastSignificantFirst) {
    uint8_t bytes[4] = {};
    bytes_put32(bytes, 0x12345678u);
    EXPECT_EQ(bytes[0], 0x78);
    EXPECT_EQ(bytes[1], 0x56);
    EXPECT_EQ(bytes[2], 0x34);
    EXPECT_EQ(bytes[3], 0x12);
}

TEST(Canvas, PrimitivesClipAtTheEdgesAndIgnoreOutsideStarts) {
    RgbCanvas* c = canvas_new(10, 6);
    ASSERT_NE(c, nullptr);
    auto colour_at = [&](int x, int y) {
        const uint8_t* p = c->pixels + (static_cast<size_t>(y) * 10 + x) * 3;
        return Bgr{p[0], p[1], p[2]};
    };
    auto count = [&](const Bgr& colour) {
        int n = 0;
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 10; ++x) n += colour_at(x, y) == colour;
        return n;
    };
    canvas_fill_rect(c, 0, 0, 10, 6, kWhite.data());
    EXPECT_EQ(count(kWhite), 60);

    // Starts outside the canvas draw nothing, even when the run would reach inside.
    canvas_fill_rect(c, -1, 0, 5, 5, kRed.data());
    canvas_fill_rect(c, 0, 6, 5, 5, kRed.data());
    canvas_hline(c, 10, 0, 3, kRed.data());
    canvas_vline(c, 0, -2, 5, kRed.data());
    canvas_fill_rect(c, 2, 2, 0, 3, kRed.data());
    canvas_hline(c, 2, 2, -4, kRed.data());
    EXPECT_EQ(count(kRed), 0);

    // Runs past the last column or row are cut there.
    canvas_fill_rect(c, 8, 4, 5, 5, kBlue.data());
    EXPECT_EQ(count(kBlue), 4);
    EXPECT_EQ(colour_at(8, 4), kBlue);
    EXPECT_EQ(colour_at(9, 5), kBlue);
    canvas_hline(c, 7, 0, 100, kRed.data());
    canvas_vline(c, 0, 3, 100, kGrey.data());
    EXPECT_EQ(count(kRed), 3);
    EXPECT_EQ(count(kGrey), 3);
    EXPECT_EQ(colour_at(9, 0), kRed);
    EXPECT_EQ(colour_at(0, 5), kGrey);
    canvas_free(c);
    canvas_free(nullptr);
}

TEST_F(AnalysisPicture, BmpHeaderAndFileNames) {
    Frame source(64, 64), decoded(64, 64);
    const Picture picture = write(source, decoded, 16, 16, 9, 28, 1234);
    const std::string& b = picture.bytes;
    ASSERT_EQ(b.size(), 178614u);
    EXPECT_EQ(b.substr(0, 2), "BM");
    EXPECT_EQ(le32(b, 2), 178614u);
    EXPECT_EQ(le32(b, 6), 0u);
    EXPECT_EQ(le32(b, 10), 54u);
    EXPECT_EQ(le32(b, 14), 40u);
    EXPECT_EQ(le32(b, 18), 372u);
    EXPECT_EQ(le32(b, 22), 160u);
    EXPECT_EQ(le32(b, 26), 1u | 24u << 16);  // planes, bits per pixel
    EXPECT_EQ(le32(b, 30), 0u);
    EXPECT_EQ(le32(b, 34), 0u);
    EXPECT_EQ(le32(b, 38), 3800u);
    EXPECT_EQ(le32(b, 42), 3800u);
    EXPECT_EQ(le32(b, 46), 0u);
    EXPECT_EQ(le32(b, 50), 0u);
    analysis_picture_write(source.pixels.data(), decoded.pixels.data(), source.header, 16, 16, 9, 28, 0);
    EXPECT_TRUE(testsupport::file_exists(dir_.file("00000000.bmp")));
    EXPECT_TRUE(testsupport::file_exists(dir_.file("00001234.bmp")));

    // Another reader sees the same picture format.
    const auto probe = testsupport::run_process({"ffprobe", "-v", "error", "-show_entries",
                                                 "stream=width,height,pix_fmt", "-of", "default=nw=1",
                                                 dir_.file("00001234.bmp")});
    ASSERT_EQ(probe.exit_code, 0) << probe.err;
    EXPECT_EQ(probe.out, "width=372\nheight=160\npix_fmt=bgr24\n");
}

TEST_F(AnalysisPicture, ViewsCopyTheNeighbourhoodAndGreyOutsideTheFrame) {
    Frame source(64, 48), decoded(64, 48);
    for (auto& v : decoded.pixels) v = static_cast<uint8_t>(v ^ 0x5A);
    // A block in the middle: both views are copies, upright, 2 x 2 per pixel.
    Picture p = write(source, decoded, 24, 16);
    for (int i = 0; i < 24; i += 5) {
        for (int j = 0; j < 24; j += 7) {
            EXPECT_EQ(p.at(26 + 2 * j, 88 + 2 * i), source.at(16 - 8 + i, 24 - 8 + j));
            EXPECT_EQ(p.at(27 + 2 * j, 89 + 2 * i), source.at(16 - 8 + i, 24 - 8 + j));
            EXPECT_EQ(p.at(26 + 2 * j, 24 + 2 * i), decoded.at(16 - 8 + i, 24 - 8 + j));
        }
    }
    EXPECT_EQ(p.at(25, 100), kWhite);
    EXPECT_EQ(p.at(74, 100), kWhite);

    // Block at the left edge and memory row 0: the left 16 and the lowest 16
    // canvas columns and rows of both views are grey.
    p = write(source, decoded, 0, 0);
    for (int y : {88, 103, 24, 39})
        for (int x = 26; x <= 73; ++x) ASSERT_EQ(p.at(x, y), kGrey) << x << "," << y;
    for (int x : {26, 41})
        for (int y = 88; y <= 135; ++y) ASSERT_EQ(p.at(x, y), kGrey) << x << "," << y;
    EXPECT_EQ(p.at(42, 104), source.at(0, 0));
    EXPECT_EQ(p.at(42, 40), decoded.at(0, 0));

    // Block in the last column and top block row: grey at x 58-73 and above the frame.
    p = write(source, decoded, 56, 40);
    for (int y = 24; y <= 71; ++y) ASSERT_EQ(p.at(58, y), kGrey);
    for (int y = 88; y <= 135; ++y) ASSERT_EQ(p.at(73, y), kGrey);
    EXPECT_EQ(p.at(57, 119), source.at(47, 63));
    EXPECT_EQ(p.at(40, 120), kGrey);  // memory row 48 does not exist
}

TEST_F(AnalysisPicture, ChartOfIdenticalBlocks) {
    Frame source(64, 64);
    const Picture p = write(source, source, 16, 16);
    // Only the bar at d = 0 stands, 128 high; the rest of the chart is grey.
    for (int y = 22; y <= 143; ++y) {
        if (y == 72 || (y - 16) % 20 == 0) continue;  // the red line, the long row ticks
        ASSERT_EQ(p.at(103, y), kBlue) << y;
    }
    for (int x = 104; x <= 355; ++x) {
        if (x == 136) continue;
        ASSERT_EQ(p.at(x, 30), kGrey) << x;
    }
    EXPECT_EQ(p.at(99, 30), kWhite);
    EXPECT_EQ(p.at(356, 30), kWhite);
    EXPECT_EQ(p.at(103, 144), kWhite);
    // Default thresholds: red lines at y 72 and x 136, over the bar.
    EXPECT_EQ(p.at(103, 72), kRed);
    EXPECT_EQ(p.at(200, 72), kRed);
    EXPECT_EQ(p.at(136, 100), kRed);
    EXPECT_EQ(p.at(136, 143), kRed);
    // White ticks over the red lines and the bar; long ones every 10 and every 5.
    EXPECT_EQ(p.at(136, 18), kWhite);
    EXPECT_EQ(p.at(136, 19), kRed);
    EXPECT_EQ(p.at(101, 72), kWhite);
    EXPECT_EQ(p.at(102, 20), kWhite);
    EXPECT_EQ(p.at(103, 20), kBlue);
    EXPECT_EQ(p.at(140, 21), kWhite);
    EXPECT_EQ(p.at(140, 22), kGrey);
    EXPECT_EQ(p.at(105, 36), kWhite);
    EXPECT_EQ(p.at(106, 36), kGrey);
}

TEST_F(AnalysisPicture, ChartOfABlockChangedBy70) {
    Frame source(64, 64), decoded(64, 64);
    source.fill_grey(10);
    decoded.fill_grey(10);
    for (int32_t r = 8; r < 16; ++r)
        for (int32_t k = 32; k < 40; ++k)
            for (int c = 0; c < 3; ++c) decoded.pixels[(static_cast<size_t>(r) * 64 + k) * 3 + c] = 80;
    const Picture p = write(source, decoded, 32, 8, 64, 64);
    // Every bar d = 0..63 stands the full 128; the thresholds' red lines lie just outside.
    for (int x = 100; x <= 355; ++x) ASSERT_EQ(p.at(x, 143), kBlue) << x;
    for (int x = 100; x <= 355; ++x) ASSERT_EQ(p.at(x, 144), kRed) << x;
    for (int y = 16; y <= 143; ++y) ASSERT_EQ(p.at(356, y), kRed) << y;
    EXPECT_EQ(p.at(357, 100), kWhite);
}

TEST_F(AnalysisPicture, UnwritableNameIsIgnored) {
    RgbCanvas* c = canvas_new(4, 4);
    ASSERT_NE(c, nullptr);
    canvas_fill_rect(c, 0, 0, 4, 4, kWhite.data());
    EXPECT_EQ(canvas_write_bmp(c, dir_.path().c_str()), 0);  // a folder cannot be opened as a file
    EXPECT_EQ(canvas_write_bmp(c, dir_.file("small.bmp").c_str()), 1);
    canvas_free(c);
    const std::string small = testsupport::read_file(dir_.file("small.bmp"));
    EXPECT_EQ(small.size(), 54u + 4 * 4 * 3);
    EXPECT_EQ(le32(small, 2), 54u + 48u);
}

}  // namespace
