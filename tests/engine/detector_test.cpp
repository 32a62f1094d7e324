#include "engine/detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

// A bottom-up DIB of `width` x `height` pixels, `bytes` per pixel, rows
// padded to 4 bytes; the padding holds the fill too, so a scan that steps
// through packed rows meets shifted pixels at widths like 45.
struct Frame {
    BITMAPINFOHEADER header{};
    std::vector<uint8_t> pixels;
    size_t stride;

    Frame(int32_t width, int32_t height, int bytes = 3, uint8_t fill = 0x40) {
        header.biSize = sizeof header;
        header.biWidth = width;
        header.biHeight = height;
        header.biPlanes = 1;
        header.biBitCount = static_cast<WORD>(bytes * 8);
        const int32_t rows = height < 0 ? -height : height;
        stride = (static_cast<size_t>(width) * bytes + 3) & ~static_cast<size_t>(3);
        pixels.assign(stride * rows, fill);
    }
    uint8_t* at(int32_t row, int32_t column) {
        return pixels.data() + static_cast<size_t>(row) * stride + static_cast<size_t>(column) * (header.biBitCount / 8);
    }
    void set_grey(int32_t row, int32_t column, uint8_t v) {
        uint8_t* p = at(row, column);
        p[0] = p[1] = p[2] = v;
    }
};

std::vector<DetectorPath> available_paths() {
    std::vector<DetectorPath> paths;
    for (DetectorPath p : {kDetectorPortable, kDetectorSsse3, kDetectorAvx2})
        if (detector_path_available(p)) paths.push_back(p);
    return paths;
}

// Every path, the dispatcher and the reference must give `expected`.
void expect_scan(const Frame& source, const Frame& decoded, int32_t diff, int32_t pix, BadBlockHit expected) {
    EXPECT_EQ(block_noise_scan_reference(source.pixels.data(), decoded.pixels.data(), source.header, diff, pix),
              expected);
    EXPECT_EQ(block_noise_scan(source.pixels.data(), decoded.pixels.data(), source.header, diff, pix), expected);
    for (DetectorPath p : available_paths())
        EXPECT_EQ(block_noise_scan_path(p, source.pixels.data(), decoded.pixels.data(), source.header, diff, pix),
                  expected)
            << "path " << p;
}

// Makes `count` pixels of the block at (row, column) differ by `step` in luminance.
void spoil_block(Frame& frame, int32_t row, int32_t x, int count, int step) {
    for (int i = 0; i < count; ++i) {
        uint8_t* p = frame.at(row + i / 8, x + i % 8);
        p[0] = p[1] = p[2] = static_cast<uint8_t>(p[0] + step);
    }
}

TEST(Luma, KnownColours) {
    const uint8_t red[3] = {0, 0, 255}, green[3] = {0, 255, 0}, blue[3] = {255, 0, 0};
    EXPECT_EQ(luma_of_bgr(red), 77);
    EXPECT_EQ(luma_of_bgr(green), 150);
    EXPECT_EQ(luma_of_bgr(blue), 30);
    for (int v = 0; v < 256; ++v) {
        const uint8_t grey[3] = {uint8_t(v), uint8_t(v), uint8_t(v)};
        ASSERT_EQ(luma_of_bgr(grey), v);
    }
}

TEST(BlockIsNoisy, ThresholdsAreInclusive) {
    Frame source(8, 8), decoded(8, 8);
    spoil_block(decoded, 0, 0, 28, 9);
    const uint8_t* s = source.pixels.data();
    const uint8_t* d = decoded.pixels.data();
    EXPECT_EQ(block_is_noisy(s, d, 24, 3, 9, 28), 1);
    EXPECT_EQ(block_is_noisy(s, d, 24, 3, 10, 28), 0);  // difference one short
    EXPECT_EQ(block_is_noisy(s, d, 24, 3, 9, 29), 0);   // one pixel short
    EXPECT_EQ(block_is_noisy(d, s, 24, 3, 9, 28), 1);   // symmetric
}

TEST(BlockNoiseScan, IdenticalFramesNeverHit) {
    Frame a(64, 48);
    for (size_t i = 0; i < a.pixels.size(); ++i) a.pixels[i] = static_cast<uint8_t>(i * 37);
    for (int32_t diff : {4, 9, 64})
        for (int32_t pix : {4, 28, 64}) expect_scan(a, a, diff, pix, 0);
}

TEST(BlockNoiseScan, ExactThresholdsAcrossPaths) {
    // Block column 5 of block row 2 of a 96 x 40 frame, at both threshold bounds.
    for (int32_t diff : {4, 64}) {
        for (int32_t pix : {4, 64}) {
            Frame source(96, 40), decoded(96, 40);
            spoil_block(decoded, 16, 40, pix, diff);
            expect_scan(source, decoded, diff, pix, bad_block_pack(16, 5));
            expect_scan(decoded, source, diff, pix, bad_block_pack(16, 5));
            expect_scan(source, decoded, diff + 1, pix, 0);
            expect_scan(source, decoded, diff, pix + 1, 0);
        }
    }
}

TEST(BlockNoiseScan, HitPackingAndGrid) {
    {   // 44 x 30 blocks, no skipped rows.
        Frame source(352, 240), decoded(352, 240);
        spoil_block(decoded, 0, 24, 64, 50);
        const BadBlockHit hit = block_noise_scan(source.pixels.data(), decoded.pixels.data(), source.header, 9, 28);
        EXPECT_EQ(hit, 97);
        EXPECT_EQ(bad_block_x(hit), 24);
        EXPECT_EQ(bad_block_row(hit), 0);
        EXPECT_EQ(240 - bad_block_row(hit) - 8, 232);
        expect_scan(source, decoded, 9, 28, 97);
    }
    {   // 180 rows: the first 4 memory rows are left out.
        Frame source(320, 180), decoded(320, 180);
        spoil_block(decoded, 4, 0, 64, 50);
        expect_scan(source, decoded, 9, 28, 1048577);
        EXPECT_EQ(bad_block_row(1048577), 4);
        EXPECT_EQ(bad_block_x(1048577), 0);
    }
}

TEST(BlockNoiseScan, OutsideTheGridIsNeverRead) {
    // Noise only in the right margin (width % 8 columns) and in the skipped rows.
    Frame source(45, 21), decoded(45, 21);
    for (int32_t row = 0; row < 21; ++row)
        for (int32_t column = 40; column < 45; ++column) decoded.set_grey(row, column, 255);
    for (int32_t row = 0; row < 5; ++row)
        for (int32_t column = 0; column < 45; ++column) decoded.set_grey(row, column, 255);
    expect_scan(source, decoded, 4, 4, 0);
    // One more changed row makes the first block row noisy.
    for (int32_t column = 0; column < 8; ++column) decoded.set_grey(5, column, 255);
    expect_scan(source, decoded, 4, 4, bad_block_pack(5, 0));
}

TEST(BlockNoiseScan, FirstBlockInMemoryOrderWins) {
    Frame source(64, 64), decoded(64, 64);
    spoil_block(decoded, 40, 8, 64, 30);
    spoil_block(decoded, 16, 48, 64, 30);
    spoil_block(decoded, 16, 56, 64, 30);
    expect_scan(source, decoded, 9, 28, bad_block_pack(16, 6));
}

TEST(BlockNoiseScan, DegenerateHeadersYieldNothing) {
    Frame noisy7w(7, 64), clean7w(7, 64, 3, 0xFF);
    expect_scan(noisy7w, clean7w, 4, 4, 0);
    Frame noisy7h(64, 7), clean7h(64, 7, 3, 0xFF);
    expect_scan(noisy7h, clean7h, 4, 4, 0);
    Frame topdown(64, -64), other(64, -64, 3, 0xFF);
    expect_scan(topdown, other, 4, 4, 0);
    // 16-bit pixels would be read as three bytes each, past the end: not scanned.
    Frame short_a(16, 16, 2), short_b(16, 16, 2, 0xFF);
    expect_scan(short_a, short_b, 4, 4, 0);
}

TEST(BlockNoiseScan, FourBytePixelsStepOverTheFourthByte) {
    Frame source(32, 16, 4), decoded(32, 16, 4);
    for (int32_t row = 0; row < 16; ++row)
        for (int32_t column = 0; column < 32; ++column) decoded.at(row, column)[3] = 0xFF;  // ignored byte
    expect_scan(source, decoded, 4, 4, 0);
    spoil_block(decoded, 8, 16, 10, 20);
    expect_scan(source, decoded, 9, 10, bad_block_pack(8, 2));
}

// Every 24-bit colour once: the decoded pixel is a grey exactly t luminance
// steps away, so with a threshold of t + 1 nothing may count. A path whose
// luminance is one off for any colour, either way, sees a difference of t + 1
// in one of the two directions and reports a hit.
TEST(BlockNoiseScan, VectorLuminanceIsExactForEveryColour) {
    constexpr int32_t width = 4096, height = 512;
    Frame source(width, height), decoded(width, height);
    const auto paths = available_paths();
    for (uint32_t first = 0; first < (1u << 24); first += width * height) {
        for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
            const uint32_t colour = first + static_cast<uint32_t>(i);
            source.pixels[3 * i] = static_cast<uint8_t>(colour);
            source.pixels[3 * i + 1] = static_cast<uint8_t>(colour >> 8);
            source.pixels[3 * i + 2] = static_cast<uint8_t>(colour >> 16);
        }
        for (int direction : {1, -1}) {
            const int t = direction > 0 ? 9 : 40;
            for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
                const int y = luma_of_bgr(&source.pixels[3 * i]);
                int grey = y + direction * t;
                if (grey < 0 || grey > 255) grey = y - direction * t;
                decoded.pixels[3 * i] = decoded.pixels[3 * i + 1] = decoded.pixels[3 * i + 2] =
                    static_cast<uint8_t>(grey);
            }
            for (DetectorPath p : paths)
                ASSERT_EQ(block_noise_scan_path(p, source.pixels.data(), decoded.pixels.data(), source.header, t + 1, 1),
                          0)
                    << "path " << p << " colours from " << first;
            // And at t itself every block is noisy at once.
            for (DetectorPath p : paths)
                ASSERT_EQ(block_noise_scan_path(p, source.pixels.data(), decoded.pixels.data(), source.header, t, 64),
                          1);
        }
    }
}

// Random frame pairs of many sizes, noise levels near the thresholds and
// thresholds at and beyond their bounds: every path agrees with the reference.
TEST(BlockNoiseScan, VectorPathsMatchReferenceOnRandomFrames) {
    std::mt19937 rng(20240531);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const auto paths = available_paths();
    int hits = 0, rounds = 0;
    for (int round = 0; round < 600; ++round) {
        const int32_t width = uniform(1, 20) == 1 ? uniform(0, 15) : uniform(8, 200);
        const int32_t height = uniform(1, 20) == 1 ? uniform(0, 15) : uniform(8, 120);
        Frame source(width, height), decoded(width, height);
        for (auto& b : source.pixels) b = static_cast<uint8_t>(uniform(0, 255));
        decoded.pixels = source.pixels;
        const int amplitude = uniform(1, 80);
        const int per_mille = uniform(0, 1000) < 100 ? uniform(0, 1000) : uniform(0, 40);
        for (auto& b : decoded.pixels)
            if (uniform(0, 999) < per_mille) b = static_cast<uint8_t>(std::clamp(b + uniform(-amplitude, amplitude), 0, 255));
        static const int32_t diffs[] = {4, 64, -3, 0, 1, 255, 256, 300};
        static const int32_t pixes[] = {4, 64, 0, 65, -1};
        const int32_t diff = uniform(0, 3) ? uniform(4, 64) : diffs[uniform(0, 7)];
        const int32_t pix = uniform(0, 3) ? uniform(4, 64) : pixes[uniform(0, 4)];

        const BadBlockHit expected =
            block_noise_scan_reference(source.pixels.data(), decoded.pixels.data(), source.header, diff, pix);
        ASSERT_EQ(block_noise_scan_reference(decoded.pixels.data(), source.pixels.data(), source.header, diff, pix),
                  expected);
        for (DetectorPath p : paths) {
            ASSERT_EQ(block_noise_scan_path(p, source.pixels.data(), decoded.pixels.data(), source.header, diff, pix),
                      expected)
                << "path " << p << " " << width << "x" << height << " diff " << diff << " pix " << pix;
            ASSERT_EQ(block_noise_scan_path(p, decoded.pixels.data(), source.pixels.data(), source.header, diff, pix),
                      expected);
        }
        hits += expected != 0 && bad_block_pack(0, 0) != expected;
        ++rounds;
    }
    // The generator must reach hits away from the first block, and clean frames.
    EXPECT_GT(hits, rounds / 10);
    EXPECT_LT(hits, rounds * 9 / 10);
}

}  // namespace
