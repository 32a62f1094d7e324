// The built-in MPEG-4 drivers: round trips at the sizes the engine meets,
// key-frame requests, restarts, state block, errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec_testing.h"
#include "codec/driver.h"
#include "tests/codec/codec_util.h"
#include "platform/icm/icm.h"

using namespace icmtest;

namespace {

struct SizeCase {
    int w, h;
};

std::string fourcc_name(DWORD f) { return std::string{char(f), char(f >> 8), char(f >> 16), char(f >> 24)}; }

// MP42 by our own coder (own) or libavcodec's, for the life of a test; then
// the build's choice again.
struct Mp42Coder {
    explicit Mp42Coder(bool own) { codec_set_own_encoder(own); }
    ~Mp42Coder() { codec_set_own_encoder(codec_default_own_encoder); }
    Mp42Coder(const Mp42Coder&) = delete;
    Mp42Coder& operator=(const Mp42Coder&) = delete;
};

// Twelve frames, a key frame asked for at the sixth, each decoded at once;
// min_psnr for every frame. The mean PSNR and the bytes go to *result.
struct RoundTripResult {
    double psnr = 0;
    std::size_t bytes = 0;
};
void round_trip(DWORD fcc, int w, int h, double min_psnr = 30.0, RoundTripResult* result = nullptr) {
    double sum = 0;
    std::size_t bytes = 0;
    Compressor c;
    ASSERT_TRUE(c.open(fcc, w, h)) << fourcc_name(fcc);
    Decompressor d;
    ASSERT_TRUE(d.open(fcc, w, h));
    std::vector<std::uint8_t> px;
    for (int n = 0; n < 12; ++n) {
        make_picture(px, w, h, n);
        if (n == 6) {
            ASSERT_TRUE(c.begin());  // the engine's forced key frame
        }
        bool key = false;
        DWORD size = 0;
        ASSERT_EQ(c.encode(px.data(), key, size), ICERR_OK) << "frame " << n;
        EXPECT_EQ(key, n == 0 || n == 6) << "frame " << n;
        ASSERT_GT(size, 0u);
        ASSERT_LE(size, c.in.biSizeImage);
        if (key) {
            ASSERT_TRUE(d.begin());
        }
        ASSERT_EQ(d.decode(c.buffer.data(), size, key), ICERR_OK) << "frame " << n;
        const double p = psnr(px.data(), d.picture.data(), px.size());
        EXPECT_GT(p, min_psnr) << fourcc_name(fcc) << " frame " << n;
        sum += p;
        bytes += size;
    }
    if (result) *result = RoundTripResult{sum / 12, bytes};
}

class RoundTrip : public ::testing::TestWithParam<std::tuple<DWORD, SizeCase>> {};

TEST_P(RoundTrip, KeyAndDeltaFramesAsRequestedAndCloseToTheSource) {
    const auto [w, h] = std::get<1>(GetParam());
    round_trip(std::get<0>(GetParam()), w, h);
}

// Our own coder through the driver, beside libavcodec's at the same rate
// control: as close to the source, in no more bytes.
TEST(CodecDriver, OwnCoderRoundTripsAsWellAsLibavcodecs) {
    constexpr DWORD mp42 = mmioFOURCC('M', 'P', '4', '2');
    for (const SizeCase& c : {SizeCase{640, 480}, SizeCase{322, 242}, SizeCase{150, 100}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        RoundTripResult ref, own;
        {
            const Mp42Coder theirs(false);
            round_trip(mp42, c.w, c.h, 25.0, &ref);
        }
        {
            const Mp42Coder ours(true);
            round_trip(mp42, c.w, c.h, 25.0, &own);
        }
        std::printf("[ own      ] %dx%d: libavcodec %.2f dB in %zu bytes, ours %.2f dB in %zu bytes\n", c.w, c.h,
                    ref.psnr, ref.bytes, own.psnr, own.bytes);
        EXPECT_GT(own.psnr, ref.psnr - 0.2);
        EXPECT_LE(own.bytes, ref.bytes);
    }
}

// The coded bytes of a key and a delta frame of MP42 at 160x120.
std::vector<std::uint8_t> mp42_bytes() {
    Compressor c;
    std::vector<std::uint8_t> coded, px;
    if (!c.open(mmioFOURCC('M', 'P', '4', '2'), 160, 120)) return coded;
    for (int n = 0; n < 2; ++n) {
        make_picture(px, 160, 120, n);
        bool key = false;
        DWORD size = 0;
        if (c.encode(px.data(), key, size) != ICERR_OK) return {};
        coded.insert(coded.end(), c.buffer.begin(), c.buffer.begin() + size);
    }
    return coded;
}

// Until a test switches, MP42 is coded by the build's choice
// (TWOPASS_MP42_ENCODER), and a switch lasts only as long as it is asked for.
TEST(CodecDriver, Mp42CodedByTheBuildsEncoderUnlessSwitched) {
    const std::vector<std::uint8_t> unswitched = mp42_bytes();
    ASSERT_FALSE(unswitched.empty());
    std::vector<std::uint8_t> chosen, other;
    {
        const Mp42Coder by(codec_default_own_encoder);
        chosen = mp42_bytes();
    }
    {
        const Mp42Coder by(!codec_default_own_encoder);
        other = mp42_bytes();
    }
    EXPECT_EQ(unswitched, chosen);
    ASSERT_FALSE(other.empty());
    EXPECT_NE(unswitched, other);  // the two coders do not write the same bits
    EXPECT_EQ(mp42_bytes(), unswitched);  // and the switch went back
}

// Our own coder's frames are the same bytes on one thread as on two or
// three: key and delta frames, a restart among them, slices of equal and
// unequal heights (30, 7 and 3 macroblock rows).
TEST(CodecDriver, OwnCoderGivesTheSameBytesOnAnyNumberOfThreads) {
    constexpr DWORD mp42 = mmioFOURCC('M', 'P', '4', '2');
    const Mp42Coder own(true);
    for (const SizeCase& c : {SizeCase{640, 480}, SizeCase{150, 100}, SizeCase{40, 40}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        std::vector<std::vector<std::uint8_t>> coded[3];
        for (int threads = 1; threads <= 3; ++threads) {
            codec_set_encoder_threads(threads);
            Compressor comp;
            ASSERT_TRUE(comp.open(mp42, c.w, c.h));
            std::vector<std::uint8_t> px;
            for (int n = 0; n < 10; ++n) {
                make_picture(px, c.w, c.h, n, 3);
                if (n == 6) {
                    ASSERT_TRUE(comp.begin());
                }
                bool key = false;
                DWORD size = 0;
                ASSERT_EQ(comp.encode(px.data(), key, size), ICERR_OK) << "frame " << n;
                coded[threads - 1].emplace_back(comp.buffer.begin(), comp.buffer.begin() + size);
            }
        }
        codec_set_encoder_threads(2);
        for (int n = 0; n < 10; ++n) {
            EXPECT_EQ(coded[1][n], coded[0][n]) << "frame " << n << ", two threads";
            EXPECT_EQ(coded[2][n], coded[0][n]) << "frame " << n << ", three threads";
        }
    }
}

TEST(CodecDriver, DecodesFromABufferLongerThanTheFrame) {
    // The engine's verification decoder is told the uncompressed size: the
    // compressed frame is followed by whatever the buffer held before.
    for (DWORD fcc : {mmioFOURCC('M', 'P', '4', '2'), mmioFOURCC('M', 'P', '4', '3')}) {
        Compressor c;
        ASSERT_TRUE(c.open(fcc, 352, 240));
        Decompressor d;
        ASSERT_TRUE(d.open(fcc, 352, 240));
        std::vector<std::uint8_t> px;
        std::fill(c.buffer.begin(), c.buffer.end(), 0x5A);
        for (int n = 0; n < 5; ++n) {
            make_picture(px, 352, 240, n);
            bool key = false;
            DWORD size = 0;
            ASSERT_EQ(c.encode(px.data(), key, size), ICERR_OK);
            ASSERT_EQ(d.decode(c.buffer.data(), c.in.biSizeImage, key), ICERR_OK);
            EXPECT_GT(psnr(px.data(), d.picture.data(), px.size()), 30.0) << "frame " << n;
        }
        // An empty frame (dropped in an AVI file) shows the last picture again.
        const std::vector<std::uint8_t> last = d.picture;
        std::fill(d.picture.begin(), d.picture.end(), 0);
        EXPECT_EQ(d.decode(c.buffer.data(), 0, false), ICERR_OK);
        EXPECT_EQ(d.picture, last);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, RoundTrip,
                         ::testing::Combine(::testing::Values(mmioFOURCC('M', 'P', '4', '2'),
                                                              mmioFOURCC('M', 'P', '4', '3'),
                                                              mmioFOURCC('D', 'I', 'V', '3'),
                                                              mmioFOURCC('D', 'I', 'V', '4'),
                                                              mmioFOURCC('M', 'P', 'G', '4')),
                                            ::testing::Values(SizeCase{640, 480}, SizeCase{352, 240},
                                                              SizeCase{720, 405}, SizeCase{322, 242})));

TEST(CodecDriver, OpensTheFiveCodecsBothWaysAndOtherFourccsForDecompressionOnly) {
    for (DWORD fcc : {mmioFOURCC('M', 'P', 'G', '4'), mmioFOURCC('M', 'P', '4', '2'), mmioFOURCC('D', 'I', 'V', '4')})
        for (UINT mode : {ICMODE_COMPRESS, ICMODE_DECOMPRESS}) {
            HIC hic = ICOpen(ICTYPE_VIDEO, fcc, mode);
            EXPECT_NE(hic, nullptr) << fourcc_name(fcc) << " mode " << mode;
            if (hic) ICClose(hic);
        }
    // A FourCC the media libraries only decode (MPEG-4 part 2) does not compress.
    EXPECT_EQ(ICOpen(ICTYPE_VIDEO, mmioFOURCC('X', 'V', 'I', 'D'), ICMODE_COMPRESS), nullptr);
    HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('X', 'V', 'I', 'D'), ICMODE_DECOMPRESS);
    EXPECT_NE(hic, nullptr);
    if (hic) ICClose(hic);
    // Lower case reaches the same driver.
    hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('m', 'p', '4', '2'), ICMODE_COMPRESS);
    EXPECT_NE(hic, nullptr);
    if (hic) ICClose(hic);
    EXPECT_EQ(ICOpen(ICTYPE_VIDEO, mmioFOURCC('Z', 'Z', 'Z', '9'), ICMODE_DECOMPRESS), nullptr);
}

TEST(CodecDriver, StateBlockCarriesBitRateControlAndKeySeconds) {
    HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('D', 'I', 'V', '3'), ICMODE_COMPRESS);
    ASSERT_NE(hic, nullptr);
    const LRESULT n = ICSendMessage(hic, ICM_GETSTATE, 0, 0);
    ASSERT_GE(n, 24);
    std::vector<std::uint8_t> state(static_cast<std::size_t>(n));
    ASSERT_EQ(ICSendMessage(hic, ICM_GETSTATE, reinterpret_cast<DWORD_PTR>(state.data()), state.size()), n);
    // Patched the way the engine does it: the upper half of the double only.
    const std::uint32_t hi = 0x40A77000;  // 3000.0
    const std::int32_t control = 40, keys = 3;
    std::uint32_t lo = 0;
    std::memcpy(state.data() + 8, &lo, 4);
    std::memcpy(state.data() + 12, &hi, 4);
    std::memcpy(state.data() + 16, &control, 4);
    std::memcpy(state.data() + 20, &keys, 4);
    EXPECT_GT(ICSendMessage(hic, ICM_SETSTATE, reinterpret_cast<DWORD_PTR>(state.data()), state.size()), 0);
    std::vector<std::uint8_t> back(state.size());
    ICSendMessage(hic, ICM_GETSTATE, reinterpret_cast<DWORD_PTR>(back.data()), back.size());
    EXPECT_EQ(back, state);
    double kbps = 0;
    std::memcpy(&kbps, back.data() + 8, 8);
    EXPECT_EQ(kbps, 3000.0);

    // Foreign blocks and nonsense bit rates are refused and change nothing.
    std::vector<std::uint8_t> bad = state;
    bad[0] ^= 0xFF;
    EXPECT_LT(ICSendMessage(hic, ICM_SETSTATE, reinterpret_cast<DWORD_PTR>(bad.data()), bad.size()), 0);
    bad = state;
    const double nan = std::nan("");
    std::memcpy(bad.data() + 8, &nan, 8);
    EXPECT_LT(ICSendMessage(hic, ICM_SETSTATE, reinterpret_cast<DWORD_PTR>(bad.data()), bad.size()), 0);
    EXPECT_LT(ICSendMessage(hic, ICM_SETSTATE, reinterpret_cast<DWORD_PTR>(state.data()), 8), 0);
    ICSendMessage(hic, ICM_GETSTATE, reinterpret_cast<DWORD_PTR>(back.data()), back.size());
    EXPECT_EQ(back, state);
    ICClose(hic);
}

TEST(CodecDriver, KeySecondsLimitTheKeyDistance) {
    // 3 key seconds at 10 fps: the driver answers the 31st frame after a key with a key frame
    // even though the caller asks for deltas only.
    Compressor c;
    ASSERT_TRUE(c.open(mmioFOURCC('M', 'P', '4', '2'), 160, 120, 500, 3, 75, 10, 1));
    c.key_interval = 1000;  // the caller never asks for a key after the first
    std::vector<std::uint8_t> px;
    std::vector<int> keys;
    for (int n = 0; n < 70; ++n) {
        make_picture(px, 160, 120, n, 1);
        bool key = false;
        DWORD size = 0;
        ASSERT_EQ(c.encode(px.data(), key, size), ICERR_OK);
        if (key) keys.push_back(n);
    }
    EXPECT_EQ(keys, (std::vector<int>{0, 31, 62}));
}

TEST(CodecDriver, BadCallsAreAnsweredWithErrors) {
    HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('M', 'P', '4', '3'), ICMODE_COMPRESS);
    ASSERT_NE(hic, nullptr);
    BITMAPINFOHEADER in = rgb24(64, 48), out = in;
    out.biCompression = mmioFOURCC('M', 'P', '4', '3');
    BITMAPINFOHEADER in32 = in;
    in32.biBitCount = 32;
    in32.biSizeImage = 64 * 48 * 4;
    EXPECT_EQ(ICSendMessage(hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&in32), reinterpret_cast<DWORD_PTR>(&out)),
              ICERR_BADFORMAT);
    BITMAPINFOHEADER zero = in;
    zero.biWidth = 0;
    EXPECT_EQ(ICSendMessage(hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&zero), reinterpret_cast<DWORD_PTR>(&out)),
              ICERR_BADFORMAT);
    BITMAPINFOHEADER short_image = in;
    short_image.biSizeImage = 100;  // cannot hold the picture
    EXPECT_EQ(ICSendMessage(hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&short_image),
                            reinterpret_cast<DWORD_PTR>(&out)),
              ICERR_BADFORMAT);
    EXPECT_EQ(ICSendMessage(hic, ICM_COMPRESS, 0, 0), ICERR_BADPARAM);
    // Decompression messages on a driver without a decoder format are refused too.
    EXPECT_EQ(ICSendMessage(hic, ICM_DECOMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&out), 0), ICERR_BADFORMAT);

    // Compress before begin begins implicitly.
    std::vector<std::uint8_t> px(in.biSizeImage, 128), buffer(in.biSizeImage);
    DWORD flags = 0;
    EXPECT_EQ(ICCompress(hic, 0, &out, buffer.data(), &in, px.data(), nullptr, &flags, 0, 1000, 10000, nullptr,
                         nullptr),
              static_cast<DWORD>(ICERR_OK));
    EXPECT_EQ(flags, AVIIF_KEYFRAME);
    // A frame of another size than begun is refused.
    BITMAPINFOHEADER other = rgb24(32, 48);
    EXPECT_EQ(ICCompress(hic, 0, &out, buffer.data(), &other, px.data(), nullptr, &flags, 1, 1000, 10000, nullptr,
                         nullptr),
              static_cast<DWORD>(ICERR_BADFORMAT));
    ICClose(hic);
}

TEST(CodecDriver, NeverWritesMoreThanTheUncompressedSize) {
    // A tiny noisy picture compresses badly; the output buffer is exactly the
    // uncompressed size with guard bytes behind it.
    constexpr int w = 16, h = 16;
    HIC hic = ICOpen(ICTYPE_VIDEO, mmioFOURCC('M', 'P', '4', '2'), ICMODE_COMPRESS);
    ASSERT_NE(hic, nullptr);
    BITMAPINFOHEADER in = rgb24(w, h), out = in;
    out.biCompression = mmioFOURCC('M', 'P', '4', '2');
    ASSERT_EQ(ICSendMessage(hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&in), reinterpret_cast<DWORD_PTR>(&out)),
              ICERR_OK);
    std::vector<std::uint8_t> px(in.biSizeImage);
    std::vector<std::uint8_t> buffer(in.biSizeImage + 64, 0xA5);
    std::uint32_t seed = 1;
    for (int n = 0; n < 20; ++n) {
        for (auto& b : px) {
            seed = seed * 1664525u + 1013904223u;
            b = static_cast<std::uint8_t>(seed >> 24);
        }
        DWORD flags = 0;
        const LRESULT r = static_cast<std::int32_t>(ICCompress(hic, n == 0 ? ICCOMPRESS_KEYFRAME : 0, &out,
                                                                buffer.data(), &in, px.data(), nullptr, &flags, n,
                                                                100, 10000, nullptr, nullptr));
        ASSERT_TRUE(r == ICERR_OK || r < 0);
        if (r == ICERR_OK) {
            EXPECT_LE(out.biSizeImage, in.biSizeImage);
        }
        for (std::size_t i = in.biSizeImage; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xA5) << "frame " << n;
    }
    ICClose(hic);
}

// The engine's redo: a delta frame is coded, decoded by its verification
// decoder, rejected; the compressor begins again and codes the same
// picture as a key frame; the decoder begins again on that key frame.
// A fresh decoder that sees only the kept frames must show the same pictures.
void thrown_away_delta_leaves_no_trace(DWORD fcc) {
    constexpr int w = 320, h = 240;
    Compressor c;
    ASSERT_TRUE(c.open(fcc, w, h));
    Decompressor verifier, fresh;
    ASSERT_TRUE(verifier.open(fcc, w, h));
    ASSERT_TRUE(fresh.open(fcc, w, h));
    std::vector<std::uint8_t> px;
    int redone = 0;
    for (int n = 0; n < 30; ++n) {
        make_picture(px, w, h, n, 5);
        bool key = false;
        DWORD size = 0;
        ASSERT_EQ(c.encode(px.data(), key, size), ICERR_OK);
        if (!key) {
            ASSERT_EQ(verifier.decode(c.buffer.data(), size, false), ICERR_OK);
            if (n % 7 == 3) {  // reject this one
                ASSERT_TRUE(c.begin());
                ASSERT_EQ(c.encode(px.data(), key, size), ICERR_OK);
                ASSERT_TRUE(key);
                ++redone;
            }
        }
        if (key) {
            ASSERT_TRUE(verifier.begin());
            ASSERT_EQ(verifier.decode(c.buffer.data(), size, true), ICERR_OK);
        }
        ASSERT_EQ(fresh.decode(c.buffer.data(), size, key), ICERR_OK);
        ASSERT_EQ(fresh.picture, verifier.picture) << "frame " << n;
        EXPECT_GT(psnr(px.data(), fresh.picture.data(), px.size()), 30.0) << "frame " << n;
    }
    EXPECT_EQ(redone, 4);
}

TEST(CodecDriver, ThrownAwayDeltaFrameLeavesNoTrace) { thrown_away_delta_leaves_no_trace(mmioFOURCC('D', 'I', 'V', '4')); }

TEST(CodecDriver, ThrownAwayDeltaFrameOfTheOwnCoderLeavesNoTrace) {
    const Mp42Coder own(true);
    thrown_away_delta_leaves_no_trace(mmioFOURCC('M', 'P', '4', '2'));
}

}  // namespace
