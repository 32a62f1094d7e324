// Uncompressed frames from AVI files into the engine's packed 24-bit frames,
// and decoders found through the AVI tag table.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "tests/codec/codec_util.h"
#include "platform/icm/icm.h"
#include "tests/support/support.h"

using namespace icmtest;

namespace {

constexpr int W = 5, H = 3;  // odd width: stored rows carry filler

struct Stored {
    std::vector<std::uint8_t> header;  // BITMAPINFOHEADER and palette
    std::vector<std::uint8_t> bits;
    BITMAPINFOHEADER* bi() { return reinterpret_cast<BITMAPINFOHEADER*>(header.data()); }
};

Stored stored(int bits, int height, std::uint32_t palette_entries = 0) {
    Stored s;
    s.header.resize(40 + 4 * palette_entries);
    BITMAPINFOHEADER bi{};
    bi.biSize = 40;
    bi.biWidth = W;
    bi.biHeight = height;
    bi.biPlanes = 1;
    bi.biBitCount = static_cast<WORD>(bits);
    bi.biCompression = BI_RGB;
    bi.biClrUsed = palette_entries;
    const std::size_t stride = ((W * bits + 31) / 32) * 4;
    bi.biSizeImage = static_cast<DWORD>(stride * H);
    std::memcpy(s.header.data(), &bi, 40);
    s.bits.assign(stride * H, 0xEE);  // filler bytes must not show
    return s;
}

std::vector<std::uint8_t> decode(DWORD handler, Stored& s, LRESULT* result = nullptr) {
    HIC hic = ICOpen(ICTYPE_VIDEO, handler, ICMODE_DECOMPRESS);
    EXPECT_NE(hic, nullptr);
    if (!hic) return {};
    BITMAPINFOHEADER out = rgb24(W, H);
    std::vector<std::uint8_t> px(out.biSizeImage + 16, 0x11);
    EXPECT_EQ(ICSendMessage(hic, ICM_DECOMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(s.bi()),
                            reinterpret_cast<DWORD_PTR>(&out)),
              ICERR_OK);
    const LRESULT r = static_cast<std::int32_t>(ICDecompress(hic, 0, s.bi(), s.bits.data(), &out, px.data()));
    if (result)
        *result = r;
    else
        EXPECT_EQ(r, ICERR_OK);
    for (std::size_t i = out.biSizeImage; i < px.size(); ++i) EXPECT_EQ(px[i], 0x11) << "wrote past the frame";
    px.resize(out.biSizeImage);
    ICClose(hic);
    return px;
}

std::array<std::uint8_t, 3> at(const std::vector<std::uint8_t>& px, int x, int y_bottom_up) {
    const std::size_t o = static_cast<std::size_t>(y_bottom_up) * stride24(W) + static_cast<std::size_t>(x) * 3;
    return {px[o], px[o + 1], px[o + 2]};
}

TEST(RgbDriver, PaletteIndicesBecomeTheirColours) {
    Stored s = stored(8, H, 3);
    const std::uint8_t pal[3][4] = {{10, 20, 30, 0}, {40, 50, 60, 0}, {70, 80, 90, 0}};
    std::memcpy(s.header.data() + 40, pal, sizeof pal);
    const std::size_t stride = 8;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) s.bits[y * stride + x] = static_cast<std::uint8_t>((x + y) % 4);  // 3 is past the palette
    const auto px = decode(0, s);  // handler 0: BI_RGB
    ASSERT_EQ(px.size(), stride24(W) * H);  // rows padded to 4 bytes
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const int i = (x + y) % 4;
            const std::array<std::uint8_t, 3> want =
                i < 3 ? std::array<std::uint8_t, 3>{pal[i][0], pal[i][1], pal[i][2]} : std::array<std::uint8_t, 3>{0, 0, 0};
            EXPECT_EQ(at(px, x, y), want) << x << "," << y;
        }
}

TEST(RgbDriver, FourBitIndicesHighNibbleFirst) {
    Stored s = stored(4, H, 16);
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t q[4] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i * 2),
                                   static_cast<std::uint8_t>(i * 3), 0};
        std::memcpy(s.header.data() + 40 + 4 * i, q, 4);
    }
    for (int y = 0; y < H; ++y) {
        s.bits[y * 4 + 0] = 0x12;
        s.bits[y * 4 + 1] = 0x34;
        s.bits[y * 4 + 2] = 0x50 | y;
    }
    const auto px = decode(mmioFOURCC('D', 'I', 'B', ' '), s);
    const int want[W] = {1, 2, 3, 4, 5};
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const auto i = static_cast<std::uint8_t>(want[x]);
            EXPECT_EQ(at(px, x, y), (std::array<std::uint8_t, 3>{i, static_cast<std::uint8_t>(i * 2),
                                                               static_cast<std::uint8_t>(i * 3)}));
        }
}

TEST(RgbDriver, SixteenBitFiveFiveFiveExpandsToFullRange) {
    Stored s = stored(16, H);
    const std::uint16_t values[W] = {0x0000, 0x7FFF, 0x001F, 0x03E0, 0x7C00 | (1 << 5) | 16};
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            s.bits[y * 12 + 2 * x] = static_cast<std::uint8_t>(values[x]);
            s.bits[y * 12 + 2 * x + 1] = static_cast<std::uint8_t>(values[x] >> 8);
        }
    const auto px = decode(mmioFOURCC('R', 'G', 'B', ' '), s);
    const std::array<std::uint8_t, 3> want[W] = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 255, 0}, {132, 8, 255}};
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) EXPECT_EQ(at(px, x, y), want[x]) << x;
}

TEST(RgbDriver, PaddedTwentyFourAndThirtyTwoBitRowsAndTopDownFrames) {
    Stored s24 = stored(24, H);
    Stored s32 = stored(32, -H);  // top-down
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            for (int k = 0; k < 3; ++k) {
                const auto v = static_cast<std::uint8_t>(y * 50 + x * 7 + k);
                s24.bits[y * 16 + x * 3 + k] = v;
                s32.bits[(H - 1 - y) * 20 + x * 4 + k] = v;  // same picture, rows the other way round
            }
    const auto a = decode(mmioFOURCC('r', 'a', 'w', ' '), s24);
    const auto b = decode(0, s32);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const auto v = static_cast<std::uint8_t>(y * 50 + x * 7);
            const std::array<std::uint8_t, 3> want{v, static_cast<std::uint8_t>(v + 1), static_cast<std::uint8_t>(v + 2)};
            EXPECT_EQ(at(a, x, y), want);
            EXPECT_EQ(at(b, x, y), want);
        }
}

TEST(RgbDriver, ShortImageAndCompressOpenAreRefused) {
    Stored s = stored(24, H);
    s.bi()->biSizeImage = 20;  // less than the rows it describes
    LRESULT r = 0;
    decode(0, s, &r);
    EXPECT_EQ(r, ICERR_BADSIZE);
    EXPECT_EQ(ICOpen(ICTYPE_VIDEO, mmioFOURCC('D', 'I', 'B', ' '), ICMODE_COMPRESS), nullptr);
}

TEST(RgbDriver, FourccFromTheTagTableFindsItsDecoder) {
    // A JPEG frame as an MJPG stream would hold it, made by ffmpeg with the same picture in bgr24.
    testsupport::TempDir dir;
    const std::string jpg = dir.file("f.jpg"), raw = dir.file("f.bgr");
    constexpr int w = 160, h = 120;
    ASSERT_TRUE(testsupport::make_clip(jpg, "testsrc2=size=160x120", 1, {"-c:v", "mjpeg", "-q:v", "2", "-f", "mjpeg"}));
    ASSERT_TRUE(testsupport::make_clip(raw, "testsrc2=size=160x120", 1, {"-f", "rawvideo", "-pix_fmt", "bgr24"}));
    const std::string data = testsupport::read_file(jpg);
    const std::string top = testsupport::read_file(raw);
    ASSERT_EQ(top.size(), static_cast<std::size_t>(w * h * 3));

    HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('m', 'j', 'p', 'g'), ICMODE_DECOMPRESS);
    ASSERT_NE(hic, nullptr);
    EXPECT_EQ(ICOpen(ICTYPE_VIDEO, mmioFOURCC('M', 'J', 'P', 'G'), ICMODE_COMPRESS), nullptr);
    BITMAPINFOHEADER in = rgb24(w, h);
    in.biCompression = mmioFOURCC('M', 'J', 'P', 'G');
    in.biSizeImage = static_cast<DWORD>(data.size());
    BITMAPINFOHEADER out = rgb24(w, h);
    std::vector<std::uint8_t> px(out.biSizeImage);
    std::vector<std::uint8_t> bits(data.begin(), data.end());
    EXPECT_EQ(static_cast<std::int32_t>(ICDecompress(hic, 0, &in, bits.data(), &out, px.data())), ICERR_OK);
    std::vector<std::uint8_t> source(top.size());
    for (int y = 0; y < h; ++y) std::memcpy(&source[y * w * 3], &top[(h - 1 - y) * w * 3], w * 3);
    EXPECT_GT(psnr(source.data(), px.data(), px.size()), 28.0);
    ICClose(hic);
}

}  // namespace
