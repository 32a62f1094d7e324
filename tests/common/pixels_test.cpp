// The MPEG-4 drivers convert suitable frames in place and others through a
// padded picture of their own: both ways must give the same bytes, whatever
// the width, the alignment of the caller's buffers, and without touching a
// byte outside them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "tests/codec/codec_util.h"
#include "codec/codec_testing.h"
#include "common/pixels.h"

using namespace icmtest;

namespace {

constexpr std::uint8_t kCanary = 0xA5;
constexpr std::size_t kGuard = 64;

struct Coded {
    std::vector<std::vector<std::uint8_t>> packets;
    std::vector<std::vector<std::uint8_t>> pictures;
    std::vector<bool> keys;
};

// A frame placed at an odd address inside a guarded block.
struct Guarded {
    std::vector<std::uint8_t> block;
    std::size_t offset, size;
    Guarded(std::size_t n, std::size_t misalign) : block(n + 2 * kGuard + misalign, kCanary), offset(kGuard + misalign), size(n) {}
    std::uint8_t* data() { return block.data() + offset; }
    bool guards_intact() const {
        for (std::size_t i = 0; i < block.size(); ++i)
            if ((i < offset || i >= offset + size) && block[i] != kCanary) return false;
        return true;
    }
};

Coded code_clip(DWORD fcc, int w, int h, bool direct) {
    codec_set_direct_conversion(direct ? 1 : 0);
    Coded run;
    Compressor c;
    Decompressor d;
    EXPECT_TRUE(c.open(fcc, w, h));
    EXPECT_TRUE(d.open(fcc, w, h));
    const std::size_t size = stride24(w) * static_cast<std::size_t>(h);
    Guarded src(size, 3), dst(size, 5);
    std::memset(dst.data(), 0, size);  // the row padding, which the decoder leaves alone, as in the source
    std::vector<std::uint8_t> px;
    for (int n = 0; n < 8; ++n) {
        make_picture(px, w, h, n, 5);
        std::memcpy(src.data(), px.data(), size);
        if (n == 5) {
            EXPECT_TRUE(c.begin());  // a key frame mid-stream
        }
        bool key = false;
        DWORD bytes = 0;
        EXPECT_EQ(c.encode(src.data(), key, bytes), ICERR_OK) << w << "x" << h << " frame " << n;
        run.packets.emplace_back(c.buffer.begin(), c.buffer.begin() + bytes);
        run.keys.push_back(key);
        if (key) {
            EXPECT_TRUE(d.begin());
        }
        d.in.biSizeImage = bytes;
        const DWORD r = ICDecompress(d.hic, key ? 0 : ICDECOMPRESS_NOTKEYFRAME, &d.in, c.buffer.data(), &d.out,
                                     dst.data());
        EXPECT_EQ(static_cast<LRESULT>(static_cast<std::int32_t>(r)), ICERR_OK);
        run.pictures.emplace_back(dst.data(), dst.data() + size);
        EXPECT_GT(psnr(px.data(), dst.data(), size), 30.0) << w << "x" << h << " frame " << n;
    }
    EXPECT_TRUE(dst.guards_intact()) << w << "x" << h << ": written outside the frame";
    codec_set_direct_conversion(1);
    return run;
}

TEST(Pixels, InPlaceAndPaddedConversionsGiveTheSameBytes) {
    struct Size {
        int w, h;
    };
    for (DWORD fcc : {mmioFOURCC('M', 'P', '4', '2'), mmioFOURCC('M', 'P', '4', '3')}) {
        for (const Size s : {Size{640, 480}, Size{352, 240}, Size{720, 405}, Size{322, 242}}) {
            const Coded padded = code_clip(fcc, s.w, s.h, false);
            const Coded direct = code_clip(fcc, s.w, s.h, true);
            ASSERT_EQ(padded.packets.size(), direct.packets.size());
            for (std::size_t n = 0; n < padded.packets.size(); ++n) {
                EXPECT_EQ(padded.keys[n], direct.keys[n]) << s.w << "x" << s.h << " frame " << n;
                EXPECT_TRUE(padded.packets[n] == direct.packets[n]) << s.w << "x" << s.h << " frame " << n;
                EXPECT_TRUE(padded.pictures[n] == direct.pictures[n]) << s.w << "x" << s.h << " frame " << n;
            }
        }
    }
}

TEST(Pixels, DecodedPictureIsTheSameWhicheverWayItIsConverted) {
    // The same packets decoded both ways, so a difference can only come from
    // the conversion out of the decoder.
    const DWORD fcc = mmioFOURCC('M', 'P', '4', '2');
    const int w = 640, h = 480;
    const Coded coded = code_clip(fcc, w, h, false);
    std::vector<std::uint8_t> pictures[2];
    for (int direct = 0; direct < 2; ++direct) {
        codec_set_direct_conversion(direct);
        Decompressor d;
        ASSERT_TRUE(d.open(fcc, w, h));
        for (std::size_t n = 0; n < coded.packets.size(); ++n) {
            if (coded.keys[n]) {
                ASSERT_TRUE(d.begin());
            }
            ASSERT_EQ(d.decode(coded.packets[n].data(), static_cast<DWORD>(coded.packets[n].size()), coded.keys[n]),
                      ICERR_OK);
            pictures[direct].insert(pictures[direct].end(), d.picture.begin(), d.picture.end());
        }
    }
    codec_set_direct_conversion(1);
    EXPECT_TRUE(pictures[0] == pictures[1]);
}

// Our own conversion for the coder: BT.601 in video range within rounding
// of the exact values, chroma from the 2x2 mean (an odd size's last column
// or row standing in for the missing one), greys exact; the same bytes
// whether the picture is converted whole or in bands, any way up; nothing
// written outside the rows asked for, nor beyond each plane's width.
TEST(Pixels, OwnConversionIsBt601InBandsOrWhole) {
    struct Case {
        int w, h;
        bool bottom_up;
        int content;  // 0 random, 1 saturated, 2 greys
    };
    const Case cases[] = {{64, 48, true, 0}, {33, 17, false, 0}, {1, 1, true, 0},   {2, 3, false, 1},
                          {9, 10, true, 1},  {23, 31, true, 2},  {768, 32, false, 0}, {17, 2, true, 0}};
    std::mt19937 rng(5);
    for (const Case& c : cases) {
        const std::size_t row = static_cast<std::size_t>(c.w) * 3;
        // Rows packed end to end with nothing after the last: reading past a
        // row's pixels lands outside the buffer (AddressSanitizer builds).
        std::vector<std::uint8_t> src(row * static_cast<std::size_t>(c.h));
        for (std::size_t i = 0; i < src.size(); i += 3) {
            const int g = static_cast<int>(rng() % 256);
            for (int k = 0; k < 3; ++k)
                src[i + k] = static_cast<std::uint8_t>(c.content == 2 ? g : c.content == 1 ? (rng() % 2) * 255 : rng() % 256);
        }
        const PixelsRows rows = c.bottom_up ? PixelsRows{src.data() + row * (c.h - 1), -static_cast<std::ptrdiff_t>(row)}
                                            : PixelsRows{src.data(), static_cast<std::ptrdiff_t>(row)};
        const int cw = (c.w + 1) / 2, ch = (c.h + 1) / 2, pad = 3;
        const std::ptrdiff_t ls = c.w + pad, cs = cw + pad;
        auto planes = [&](std::vector<std::uint8_t>& m) {
            m.assign(static_cast<std::size_t>(ls * c.h + 2 * cs * ch), kCanary);
            return PixelsPlanes{{m.data(), m.data() + ls * c.h, m.data() + ls * c.h + cs * ch}, {ls, cs, cs}};
        };
        std::vector<std::uint8_t> whole, banded;
        const PixelsPlanes pw = planes(whole), pb = planes(banded);
        pixels_bgr_to_yuv420(rows, c.w, c.h, 0, c.h, pw);
        for (int y0 = (c.h - 1) / 16 * 16; y0 >= 0; y0 -= 16) pixels_bgr_to_yuv420(rows, c.w, c.h, y0, std::min(c.h, y0 + 16), pb);
        EXPECT_TRUE(whole == banded) << c.w << "x" << c.h;

        const auto at = [&](int x, int y, int k) {
            return static_cast<double>(rows.top[std::min(y, c.h - 1) * rows.down + 3 * std::min(x, c.w - 1) + k]);
        };
        double worst = 0;
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                const double v = 16 + 219.0 / 255 * (0.114 * at(x, y, 0) + 0.587 * at(x, y, 1) + 0.299 * at(x, y, 2));
                worst = std::max(worst, std::fabs(pw.plane[0][y * ls + x] - v));
                for (int p = c.w; p < ls; ++p) ASSERT_EQ(pw.plane[0][y * ls + p], kCanary) << c.w << "x" << c.h;
            }
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < cw; ++x) {
                double m[3];
                for (int k = 0; k < 3; ++k)
                    m[k] = (at(2 * x, 2 * y, k) + at(2 * x + 1, 2 * y, k) + at(2 * x, 2 * y + 1, k) + at(2 * x + 1, 2 * y + 1, k)) / 4;
                const double u = 128 + 224.0 / 255 * (0.5 * m[0] - 0.331264 * m[1] - 0.168736 * m[2]);
                const double v = 128 + 224.0 / 255 * (-0.081312 * m[0] - 0.418688 * m[1] + 0.5 * m[2]);
                const int got_u = pw.plane[1][y * cs + x], got_v = pw.plane[2][y * cs + x];
                worst = std::max({worst, std::fabs(got_u - u), std::fabs(got_v - v)});
                if (c.content == 2 && m[0] == m[1] && m[1] == m[2]) {
                    EXPECT_EQ(got_u, 128);
                    EXPECT_EQ(got_v, 128);
                }
                for (int p = cw; p < cs; ++p) ASSERT_EQ(pw.plane[1][y * cs + p], kCanary) << c.w << "x" << c.h;
            }
        EXPECT_LE(worst, 0.52) << c.w << "x" << c.h;
    }
}

}  // namespace
