// The compressor against a scripted codec: what it tells the codec at open,
// which frames it asks for as key frames, and with which budgets.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/compressor.h"
#include "engine/output.h"
#include "tests/support/scripted_driver.h"

using testsupport::CompressCall;
using testsupport::ScopedScriptedCodec;
using testsupport::ScriptedCodec;

namespace {

constexpr DWORD kCodec = mmioFOURCC('S', 'C', 'R', 'C');

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The budgets as 32-bit unsigned arithmetic gives them when nothing wraps.
CompressorBudgets budgets_in_32_bits(uint32_t image_size, uint32_t kbps, uint32_t seconds, uint32_t scale,
                                     uint32_t rate) {
    CompressorBudgets b{};
    const uint32_t frames_per_period = rate * seconds / scale;
    b.key_interval = frames_per_period + 1;
    b.delta_budget = kbps * seconds * 128u / (b.key_interval + 4);
    b.key_budget = 5 * b.delta_budget;
    if (b.delta_budget > image_size) b.delta_budget = image_size;
    if (b.key_budget > image_size) b.key_budget = image_size;
    b.data_rate = kbps * 128u;
    return b;
}

class CompressorTest : public ::testing::Test {
protected:
    ScriptedCodec codec;
    ScopedScriptedCodec installed{kCodec, &codec};
    Compressor c{};
    BITMAPINFOHEADER format = make_rgb24_format(320, 240);
    std::vector<uint8_t> frame = std::vector<uint8_t>(format.biSizeImage, 0x40);
    std::vector<uint8_t> out = std::vector<uint8_t>(format.biSizeImage);

    void TearDown() override { compressor_close(c); }

    int open(int32_t kbps = 3000, int32_t seconds = 8, uint32_t scale = 1001, uint32_t rate = 30000) {
        return compressor_open(c, format, kCodec, kbps, seconds, 75, scale, rate);
    }
    // Compresses frame n, tagged with n in its first byte.
    int encode(int n, int* is_key = nullptr, DWORD* size = nullptr) {
        frame[0] = static_cast<uint8_t>(n);
        int key = -1;
        DWORD bytes = 0xFFFFFFFF;
        const int ok = compressor_encode(c, frame.data(), out.data(), key, bytes);
        if (is_key) *is_key = key;
        if (size) *size = bytes;
        return ok;
    }
    static bool is_key_request(const CompressCall& call) { return (call.flags & ICCOMPRESS_KEYFRAME) != 0; }
};

}  // namespace

TEST(CompressorBudgets, WorkedExamples) {
    auto b = compressor_budgets(230400, 3000, 8, 1001, 30000);
    EXPECT_EQ(b.key_interval, 240u);
    EXPECT_EQ(b.data_rate, 384000u);
    EXPECT_EQ(b.delta_budget, 12590u);
    EXPECT_EQ(b.key_budget, 62950u);

    b = compressor_budgets(230400, 3000, 8, 1, 25);
    EXPECT_EQ(b.key_interval, 201u);
    EXPECT_EQ(b.delta_budget, 14985u);
    EXPECT_EQ(b.key_budget, 74925u);

    // Both budgets cut to the frame size.
    b = compressor_budgets(57600, 60000, 1, 1, 15);
    EXPECT_EQ(b.delta_budget, 57600u);
    EXPECT_EQ(b.key_budget, 57600u);

    b = compressor_budgets(230400, 1, 1, 1, 30);
    EXPECT_EQ(b.key_interval, 31u);
    EXPECT_EQ(b.delta_budget, 3u);
    EXPECT_EQ(b.key_budget, 15u);

    EXPECT_EQ(compressor_rate_word(3000), 0x40A77000u);
    EXPECT_EQ(compressor_rate_word(1), 0x3FF00000u);
    EXPECT_EQ(compressor_rate_word(60000), 0x40ED4C00u);
}

TEST(CompressorBudgets, SameAs32BitArithmeticWhereNothingWraps) {
    std::mt19937 random(7);
    int compared = 0;
    while (compared < 20000) {
        const uint32_t kbps = 1 + random() % 60000;
        const uint32_t seconds = 1 + random() % 9999;
        const uint32_t scale = 1 + random() % 100000;
        const uint32_t rate = 1 + random() % 3000000;
        const uint32_t image_size = random() % 10000000;
        if (uint64_t{kbps} * seconds * 128 > 0xFFFFFFFFu || uint64_t{rate} * seconds > 0xFFFFFFFFu) continue;
        const auto expected = budgets_in_32_bits(image_size, kbps, seconds, scale, rate);
        const auto got = compressor_budgets(image_size, static_cast<int32_t>(kbps), static_cast<int32_t>(seconds),
                                            scale, rate);
        ASSERT_EQ(got.key_interval, expected.key_interval) << kbps << " " << seconds << " " << scale << " " << rate;
        ASSERT_EQ(got.delta_budget, expected.delta_budget) << kbps << " " << seconds << " " << scale << " " << rate;
        ASSERT_EQ(got.key_budget, expected.key_budget) << kbps << " " << seconds << " " << scale << " " << rate;
        ASSERT_EQ(got.data_rate, expected.data_rate);
        ++compared;
    }
}

TEST(CompressorBudgets, LargeProductsDoNotWrap) {
    // 32767 kbit/s with 1025 s: bit_rate * key_seconds * 128 is past 32 bits.
    auto b = compressor_budgets(0x7FFFFFFF, 32767, 1025, 1, 1);
    EXPECT_EQ(b.key_interval, 1026u);
    EXPECT_EQ(b.delta_budget, 4299030400ull / 1030);
    EXPECT_EQ(b.key_budget, 5 * (4299030400ull / 1030));
    // 60000 kbit/s with 9999 s at 30 fps; the key budget clamps to the frame.
    b = compressor_budgets(921600, 60000, 9999, 1, 30);
    EXPECT_EQ(b.key_interval, 299971u);
    EXPECT_EQ(b.delta_budget, 76792320000ull / 299975);
    EXPECT_EQ(b.key_budget, 921600u);
    // rate * key_seconds past 32 bits: 3e6 / 1000 fps over 9999 s.
    b = compressor_budgets(921600, 3000, 9999, 1000, 3000000);
    EXPECT_EQ(b.key_interval, 29997001u);
    EXPECT_EQ(b.delta_budget, 3839616000ull / 29997005);
    // A frame rate so high that the interval itself would not fit: the
    // counter after a begin must still be above it.
    b = compressor_budgets(921600, 3000, 9999, 1, 0xFFFFFFFF);
    EXPECT_GT(b.key_interval + 1, b.key_interval);
}

TEST(CompressorBudgets, FrameBufferCoversPaddedRows) {
    EXPECT_EQ(frame_buffer_bytes(make_rgb24_format(320, 240)), 230400u);
    // 322 * 3 = 966 bytes a row, 968 when padded to 4 bytes; a header whose
    // biSizeImage says less still gets the padded rows.
    BITMAPINFOHEADER top_down = make_rgb24_format(322, -242);
    top_down.biSizeImage = 322 * 242 * 3;
    EXPECT_EQ(frame_buffer_bytes(top_down), 336u * 256 * 3);  // whole 16 x 16 blocks are more still
    BITMAPINFOHEADER tall = make_rgb24_format(322, 256);
    tall.biSizeImage = 0;
    EXPECT_EQ(frame_buffer_bytes(tall), 336u * 256 * 3);
    // Tiny pictures: room for a compressed frame of whole 16 x 16 blocks.
    EXPECT_EQ(frame_buffer_bytes(make_rgb24_format(1, 1)), 768u);
    EXPECT_EQ(frame_buffer_bytes(make_rgb24_format(17, 9)), 32u * 16 * 3);
    EXPECT_EQ(frame_buffer_bytes(make_rgb24_format(0, 0)), 0u);
    EXPECT_EQ(frame_buffer_bytes(make_rgb24_format(100000, 100000)), 0u);  // past 31 bits
}

TEST_F(CompressorTest, OpenTellsTheCodecRatesAndPatchesItsState) {
    for (size_t i = 0; i < codec.state.size(); ++i) codec.state[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(open(), 1);
    EXPECT_EQ(c.key_interval, 240u);
    EXPECT_EQ(c.delta_budget, 12590u);
    EXPECT_EQ(c.key_budget, 62950u);
    EXPECT_EQ(c.image_size, 230400u);
    EXPECT_EQ(c.frames_since_key, 241u);
    EXPECT_EQ(c.output_format.biCompression, kCodec);
    EXPECT_EQ(c.input_format.biCompression, BI_RGB);

    EXPECT_EQ(codec.sequence(ICMODE_COMPRESS),
              (std::vector<UINT>{DRV_OPEN, ICM_COMPRESS_FRAMES_INFO, ICM_GETSTATE, ICM_GETSTATE, ICM_SETSTATE,
                                 ICM_COMPRESS_BEGIN}));

    ASSERT_TRUE(codec.has_frames_info);
    const ICCOMPRESSFRAMES& info = codec.frames_info;
    EXPECT_EQ(codec.frames_info_size, sizeof(ICCOMPRESSFRAMES));
    EXPECT_EQ(info.dwFlags, 0u);
    EXPECT_EQ(info.lpbiOutput, &c.output_format);
    EXPECT_EQ(info.lpbiInput, &c.input_format);
    EXPECT_EQ(info.lOutput, 0);
    EXPECT_EQ(info.lInput, 0);
    EXPECT_EQ(info.lStartFrame, 0);
    EXPECT_EQ(info.lFrameCount, 240);
    EXPECT_EQ(info.lQuality, 10000);
    EXPECT_EQ(info.lDataRate, 384000);
    EXPECT_EQ(info.lKeyRate, 240);
    EXPECT_EQ(info.dwRate, 30000u);
    EXPECT_EQ(info.dwScale, 1001u);
    EXPECT_EQ(info.dwOverheadPerFrame, 0u);
    EXPECT_EQ(info.dwReserved2, 0u);
    EXPECT_EQ(info.GetData, nullptr);
    EXPECT_EQ(info.PutData, nullptr);

    // Three words patched, every other byte as the codec gave it.
    ASSERT_EQ(codec.set_state.size(), codec.state.size());
    EXPECT_EQ(le32(codec.set_state, 12), 0x40A77000u);
    EXPECT_EQ(le32(codec.set_state, 16), 75u);
    EXPECT_EQ(le32(codec.set_state, 20), 8u);
    for (size_t i = 0; i < codec.state.size(); ++i)
        if (i < 12 || i >= 24) {
            EXPECT_EQ(codec.set_state[i], codec.state[i]) << "byte " << i;
        }

    const auto begin = codec.of(ICM_COMPRESS_BEGIN);
    ASSERT_EQ(begin.size(), 1u);
    EXPECT_EQ(begin[0].p1, reinterpret_cast<LPARAM>(&c.input_format));
    EXPECT_EQ(begin[0].p2, reinterpret_cast<LPARAM>(&c.output_format));
}

TEST_F(CompressorTest, StateTooShortForTheWordsIsLeftAlone) {
    for (size_t size : {size_t{0}, size_t{23}}) {
        codec.state.assign(size, 0x11);
        codec.messages.clear();
        ASSERT_EQ(open(), 1);
        EXPECT_EQ(codec.of(ICM_GETSTATE).size(), 1u) << size;
        EXPECT_TRUE(codec.of(ICM_SETSTATE).empty()) << size;
        EXPECT_EQ(codec.of(ICM_COMPRESS_BEGIN).size(), 1u) << size;
        compressor_close(c);
    }
    codec.state.assign(24, 0x11);
    ASSERT_EQ(open(1, 1, 1, 30), 1);
    ASSERT_EQ(codec.set_state.size(), 24u);
    EXPECT_EQ(le32(codec.set_state, 8), 0x11111111u);  // the double's lower half is not written
    EXPECT_EQ(le32(codec.set_state, 12), 0x3FF00000u);
}

TEST_F(CompressorTest, RefusedCodecAndZeroScale) {
    codec.refuse_compress = true;
    EXPECT_EQ(open(), 0);
    EXPECT_EQ(c.failure, CompressorFailure::codec_unavailable);
    EXPECT_EQ(c.hic, nullptr);
    EXPECT_EQ(c.previous_frame, nullptr);
    compressor_close(c);  // harmless
    EXPECT_EQ(codec.of(ICM_COMPRESS_END).size(), 0u);

    codec.refuse_compress = false;
    codec.messages.clear();
    EXPECT_EQ(open(3000, 8, 0, 30000), 0);
    EXPECT_EQ(c.failure, CompressorFailure::bad_format);
    EXPECT_TRUE(codec.messages.empty());  // the codec was never opened
}

TEST_F(CompressorTest, KeyRequestsFallEveryKeyInterval) {
    ASSERT_EQ(open(), 1);
    codec.reserve(500);
    for (int n = 0; n <= 480; ++n) {
        int key = -1;
        DWORD size = 0;
        ASSERT_EQ(encode(n, &key, &size), 1);
        EXPECT_EQ(key, n % 240 == 0 ? 1 : 0) << n;
        EXPECT_EQ(size, n % 240 == 0 ? 1000u : 100u) << n;
    }
    ASSERT_EQ(codec.compresses.size(), 481u);
    for (int n = 0; n <= 480; ++n) {
        const CompressCall& call = codec.compresses[n];
        SCOPED_TRACE(n);
        EXPECT_EQ(call.quality, 10000u);
        EXPECT_TRUE(call.prev_format_is_input);
        EXPECT_FALSE(call.has_ckid);
        EXPECT_EQ(call.source_tag, n & 0xFF);
        EXPECT_EQ(call.output.biCompression, kCodec);
        EXPECT_EQ(call.input.biCompression, BI_RGB);
        if (n % 240 == 0) {
            EXPECT_TRUE(is_key_request(call));
            EXPECT_EQ(call.frame_num, 0);
            EXPECT_EQ(call.frame_size, 62950u);
            EXPECT_FALSE(call.has_prev);
        } else {
            EXPECT_FALSE(is_key_request(call));
            EXPECT_EQ(call.frame_num, n % 240);
            EXPECT_EQ(call.frame_size, 12590u);
            // The copy follows the compression: during it, the frame before.
            EXPECT_EQ(call.prev_tag, (n - 1) & 0xFF);
        }
    }
    EXPECT_EQ(c.previous_frame[0], 480 & 0xFF);
}

TEST_F(CompressorTest, KeyFrameChosenByTheCodecRestartsTheCount) {
    codec.key_answer = [](const CompressCall& call) { return call.index == 0 || call.index == 100; };
    ASSERT_EQ(open(), 1);
    for (int n = 0; n <= 340; ++n) ASSERT_EQ(encode(n), 1);
    EXPECT_FALSE(is_key_request(codec.compresses[100]));
    EXPECT_EQ(codec.compresses[101].frame_num, 1);
    EXPECT_FALSE(is_key_request(codec.compresses[240]));
    EXPECT_EQ(codec.compresses[339].frame_num, 239);
    EXPECT_TRUE(is_key_request(codec.compresses[340]));
}

TEST_F(CompressorTest, KeyRequestAnsweredWithoutTheFlagIsAskedAgain) {
    codec.key_answer = [](const CompressCall& call) { return call.index >= 2; };
    ASSERT_EQ(open(), 1);
    int key = -1;
    ASSERT_EQ(encode(0, &key), 1);
    EXPECT_EQ(key, 0);
    ASSERT_EQ(encode(1, &key), 1);
    EXPECT_EQ(key, 0);
    ASSERT_EQ(encode(2, &key), 1);
    EXPECT_EQ(key, 1);
    ASSERT_EQ(encode(3), 1);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(is_key_request(codec.compresses[i])) << i;
    EXPECT_FALSE(is_key_request(codec.compresses[3]));
    EXPECT_EQ(codec.compresses[3].frame_num, 1);
}

TEST_F(CompressorTest, ForcedKeyBeginsAgainWithoutEnd) {
    ASSERT_EQ(open(), 1);
    for (int n = 0; n < 10; ++n) ASSERT_EQ(encode(n), 1);
    EXPECT_EQ(compressor_force_key(c), 1);
    ASSERT_EQ(encode(10), 1);
    ASSERT_EQ(encode(11), 1);
    EXPECT_EQ(codec.of(ICM_COMPRESS_BEGIN).size(), 2u);
    EXPECT_TRUE(codec.of(ICM_COMPRESS_END).empty());
    const CompressCall& forced = codec.compresses[10];
    EXPECT_TRUE(is_key_request(forced));
    EXPECT_EQ(forced.frame_num, 0);
    EXPECT_EQ(forced.frame_size, 62950u);
    EXPECT_FALSE(forced.has_prev);
    EXPECT_EQ(codec.compresses[11].frame_num, 1);

    compressor_close(c);
    const auto seq = codec.sequence(ICMODE_COMPRESS);
    ASSERT_GE(seq.size(), 2u);
    EXPECT_EQ(seq[seq.size() - 2], ICM_COMPRESS_END);
    EXPECT_EQ(seq.back(), static_cast<UINT>(DRV_CLOSE));
    EXPECT_EQ(c.hic, nullptr);
    EXPECT_EQ(c.previous_frame, nullptr);
    compressor_close(c);  // twice is harmless
    EXPECT_EQ(codec.of(ICM_COMPRESS_END).size(), 1u);
}

TEST_F(CompressorTest, CodecErrorsAreReported) {
    codec.result_answer = [](const CompressCall&) { return static_cast<DWORD>(ICERR_INTERNAL); };
    ASSERT_EQ(open(), 1);
    for (int n = 0; n < 5; ++n) {
        int key = -1;
        DWORD size = 1;
        EXPECT_EQ(encode(n, &key, &size), 0);
        EXPECT_EQ(key, 0);
        EXPECT_EQ(size, 0u);
    }
    // No key frame ever came back: every frame is asked for as one.
    for (const auto& call : codec.compresses) EXPECT_TRUE(is_key_request(call));
}

TEST_F(CompressorTest, AfterAFailedDeltaTheNextFrameIsAKeyRequest) {
    codec.result_answer = [](const CompressCall& call) {
        return static_cast<DWORD>(call.index == 3 ? ICERR_ERROR : ICERR_OK);
    };
    ASSERT_EQ(open(), 1);
    for (int n = 0; n < 3; ++n) ASSERT_EQ(encode(n), 1);
    EXPECT_EQ(encode(3), 0);
    int key = -1;
    ASSERT_EQ(encode(4, &key), 1);
    EXPECT_TRUE(is_key_request(codec.compresses[4]));
    EXPECT_EQ(key, 1);
}

TEST_F(CompressorTest, SizeLargerThanTheFrameIsAnError) {
    ASSERT_EQ(open(), 1);
    codec.size_answer = [this](const CompressCall&) { return c.buffer_size + 1; };
    std::vector<uint8_t> roomy(c.buffer_size + 16);
    frame[0] = 0;
    int key = -1;
    DWORD size = 0;
    EXPECT_EQ(compressor_encode(c, frame.data(), roomy.data(), key, size), 0);
    EXPECT_EQ(size, 0u);
}
