// The MPEG-4 drivers convert suitable frames in place and others through a
// padded picture of their own: both ways must give the same bytes, whatever
// the width, the alignment of the caller's buffers, and without touching a
// byte outside them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/codec/codec_util.h"
#include "codec/codec_testing.h"

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

}  // namespace
