// The version 2 picture coder against its exact oracle: libavcodec's
// msmpeg4v2 decoder (with the driver's IDCT) must show, byte for byte, the
// pictures the coder says it made. Also its pieces: the bit writer, the
// transform, the vector rules, and what a failed call leaves behind.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codec/bit_writer.h"
#include "codec/driver.h"
#include "codec/transform.h"
#include "codec/v2_encoder.h"

namespace {

// ---- the oracle ---------------------------------------------------------------------

int g_decoder_errors = 0;
void count_errors(void* avcl, int level, const char* fmt, va_list vl) {
    if (level <= AV_LOG_ERROR) ++g_decoder_errors;
    av_log_default_callback(avcl, level, fmt, vl);
}

struct Decoder {
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    std::vector<std::uint8_t> padded;
    Decoder(int w, int h) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MSMPEG4V2);
        ctx = avcodec_alloc_context3(codec);
        ctx->width = w;
        ctx->height = h;
        ctx->thread_count = 1;
        ctx->idct_algo = codec_idct;
        ctx->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM;
        if (avcodec_open2(ctx, codec, nullptr) < 0) avcodec_free_context(&ctx);
        av_log_set_callback(count_errors);
    }
    ~Decoder() {
        avcodec_free_context(&ctx);
        av_frame_free(&frame);
        av_packet_free(&pkt);
        av_log_set_callback(av_log_default_callback);
    }
    bool decode(const std::uint8_t* data, int size) {
        padded.assign(static_cast<std::size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        std::memcpy(padded.data(), data, static_cast<std::size_t>(size));
        pkt->data = padded.data();
        pkt->size = size;
        const int errors = g_decoder_errors;
        av_frame_unref(frame);
        if (avcodec_send_packet(ctx, pkt) < 0 || avcodec_receive_frame(ctx, frame) < 0) return false;
        return g_decoder_errors == errors && !frame->decode_error_flags;
    }
};

// The first place where the decoded visible planes differ from the coder's
// reconstruction, or "" when they are the same.
std::string first_difference(const AVFrame* f, const V2Picture& r, int w, int h) {
    for (int p = 0; p < 3; ++p) {
        const int pw = p ? (w + 1) / 2 : w, ph = p ? (h + 1) / 2 : h;
        for (int y = 0; y < ph; ++y)
            for (int x = 0; x < pw; ++x) {
                const int a = f->data[p][y * f->linesize[p] + x], b = r.plane[p][y * r.stride[p] + x];
                if (a != b)
                    return "plane " + std::to_string(p) + " at " + std::to_string(x) + "," + std::to_string(y) +
                           ": decoded " + std::to_string(a) + ", coder " + std::to_string(b);
            }
    }
    return "";
}

// ---- test pictures, made here ----------------------------------------------------

enum Content { testsrc, noise, moving };

std::uint32_t next(std::uint32_t& s) { return s = s * 1664525u + 1013904223u; }

// Picture n of a content into the visible part of the coder's source.
// testsrc: colour bars over a luma ramp, a checkered box that moves by
// (n * 5, n * 3) pixels, fine stripes. noise: every sample random. moving:
// a fixed texture shifted by (3 n, n) pixels, so vector (-6, -2) predicts it.
void fill(V2Encoder& e, Content c, int n) {
    const V2Picture s = v2enc_source(e);
    const int w = e.width, h = e.height;
    std::uint32_t seed = 0x9e3779b9u + static_cast<std::uint32_t>(n) * 7919u;
    for (int p = 0; p < 3; ++p) {
        const int pw = p ? (w + 1) / 2 : w, ph = p ? (h + 1) / 2 : h, scale = p ? 2 : 1;
        for (int y = 0; y < ph; ++y)
            for (int x = 0; x < pw; ++x) {
                const int X = x * scale, Y = y * scale;
                int v = 0;
                if (c == noise) {
                    v = static_cast<int>(next(seed) >> 24);
                } else if (c == moving) {
                    const int u = X - 3 * n, t = Y - n;
                    const int tex = ((u * u + 3 * t * t) / 37 + (u ^ t)) & 0xFF;
                    v = p == 0 ? tex : p == 1 ? 128 + (tex >> 2) - 32 : 255 - tex;
                } else {
                    const int bar = (X * 8) / std::max(w, 1);
                    v = p == 0 ? 16 + (bar * 29 + (Y * 60) / std::max(h, 1)) % 220 : 40 + ((bar * (p == 1 ? 47 : 83)) % 180);
                    const int bx = (n * 5) % std::max(w, 1), by = (n * 3) % std::max(h, 1);
                    if (X >= bx && X < bx + 40 && Y >= by && Y < by + 30) v = ((X - bx) / 4 + (Y - by) / 4) % 2 ? 235 : 20;
                    if (Y > (3 * h) / 4 && p == 0) v = (X / 2) % 2 ? 200 : 50;
                }
                s.plane[p][y * s.stride[p] + x] = static_cast<std::uint8_t>(v);
            }
    }
}

struct Size {
    int w, h;
};
// Macroblock rows 1, 7, 16, 15, 26, 1, 1, 2, 3: slices of equal height and
// ones whose last slice is shorter (7 and 15 rows in two slices of 3 and 7).
constexpr Size kSizes[] = {{17, 9}, {150, 100}, {322, 242}, {350, 240}, {720, 405}, {1, 1}, {16, 16}, {64, 32}, {40, 40}};
constexpr int kQps[] = {2, 3, 5, 8, 13, 21, 31};

std::size_t capacity_for(const V2Encoder& e) {
    return static_cast<std::size_t>(e.mb_width) * e.mb_height * 6 * 64 * 4 + 64;
}

// Codes and decodes one picture, expecting the decoder to show what the coder made.
void code_and_check(V2Encoder& e, Decoder& d, bool key, int qp, const CodecMv* mv, const std::string& what) {
    std::vector<std::uint8_t> out(capacity_for(e));
    const int n = v2enc_code(e, key, qp, mv, out.data(), out.size());
    ASSERT_GT(n, 0) << what;
    ASSERT_TRUE(d.decode(out.data(), n)) << what;
    ASSERT_EQ(d.frame->width, e.width);
    ASSERT_EQ(first_difference(d.frame, v2enc_reconstruction(e), e.width, e.height), "") << what;
}

// ---- bits and transform -------------------------------------------------------

TEST(V2BitWriter, WritesMsbFirstAndPadsWithZeros) {
    struct Row {
        std::vector<std::pair<std::uint32_t, int>> puts;
        std::vector<std::uint8_t> bytes;
    };
    const Row rows[] = {
        {{{1, 1}}, {0x80}},
        {{{0x5, 3}, {0x1F, 5}}, {0xBF}},
        {{{0xFFFFFFFF, 32}, {0, 1}}, {0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
        {{{0x3, 2}, {0x12345678, 32}}, {0xC4, 0x8D, 0x15, 0x9E, 0x00}},
        {{{0xABC, 12}, {0x7, 3}, {0xFFFF, 0}, {0x1FF, 8}}, {0xAB, 0xCF, 0xFE}},
    };
    for (const Row& r : rows) {
        std::uint8_t buf[16];
        std::memset(buf, 0x55, sizeof buf);
        BitWriter w;
        bit_writer_open(w, buf, sizeof buf);
        for (auto [v, n] : r.puts) bit_writer_put(w, v, n);
        ASSERT_EQ(bit_writer_finish(w), r.bytes.size());
        EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + r.bytes.size()), r.bytes);
        EXPECT_EQ(buf[r.bytes.size()], 0x55);
    }
}

// Bits appended from another writer come out as if put directly, from any
// bit offset, whatever the other holds (stored words, pending bits, nothing).
TEST(V2BitWriter, AppendsAnotherWritersBitsAtAnyOffset) {
    std::uint32_t seed = 3;
    for (int head = 0; head <= 40; head += 3)
        for (int tail : {0, 1, 7, 8, 31, 32, 33, 64, 95, 200}) {
            std::vector<std::pair<std::uint32_t, int>> puts;
            for (int left = head; left > 0;) {
                const int n = std::min(left, 1 + static_cast<int>(next(seed) >> 28));
                puts.push_back({next(seed), n});
                left -= n;
            }
            const std::size_t split = puts.size();
            for (int left = tail; left > 0;) {
                const int n = std::min(left, 1 + static_cast<int>(next(seed) >> 27));
                puts.push_back({next(seed), n});
                left -= n;
            }
            std::uint8_t direct[64], joined[64], part[64];
            BitWriter a, b, c;
            bit_writer_open(a, direct, sizeof direct);
            bit_writer_open(b, joined, sizeof joined);
            bit_writer_open(c, part, sizeof part);
            for (std::size_t k = 0; k < puts.size(); ++k) {
                bit_writer_put(a, puts[k].first, puts[k].second);
                bit_writer_put(k < split ? b : c, puts[k].first, puts[k].second);
            }
            bit_writer_append(b, c);
            ASSERT_EQ(bit_writer_bits(b), bit_writer_bits(a)) << head << " " << tail;
            const std::size_t n = bit_writer_finish(a);
            ASSERT_EQ(bit_writer_finish(b), n) << head << " " << tail;
            EXPECT_EQ(std::memcmp(direct, joined, n), 0) << head << " " << tail;
        }
    // An overflow of the part is one of the whole.
    std::uint8_t small[2], big[16];
    BitWriter part, whole;
    bit_writer_open(part, small, sizeof small);
    for (int k = 0; k < 3; ++k) bit_writer_put(part, 0xFFFFFFFFu, 32);
    bit_writer_open(whole, big, sizeof big);
    bit_writer_put(whole, 1, 1);
    bit_writer_append(whole, part);
    EXPECT_EQ(bit_writer_finish(whole), 0u);
}

TEST(V2BitWriter, OverflowAnswersZeroAndStaysInsideTheBuffer) {
    for (std::size_t capacity : {0u, 1u, 3u, 4u, 7u}) {
        std::uint8_t buf[12];
        std::memset(buf, 0x55, sizeof buf);
        BitWriter w;
        bit_writer_open(w, buf, capacity);
        for (int k = 0; k < 9; ++k) bit_writer_put(w, 0xA5u, 8);  // 9 bytes
        EXPECT_EQ(bit_writer_finish(w), 0u) << capacity;
        for (std::size_t k = capacity; k < sizeof buf; ++k) EXPECT_EQ(buf[k], 0x55) << capacity << " " << k;
    }
}

TEST(V2Transform, ZigzagVisitsEveryPositionOnce) {
    std::vector<int> seen(64, 0);
    for (int k = 0; k < 64; ++k) ++seen[transform_zigzag[k]];
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 64);
    const int start[] = {0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5};
    for (int k = 0; k < 16; ++k) EXPECT_EQ(transform_zigzag[k], start[k]) << k;
}

// Dequantisation as the decoder does it, and the quantisers' decision points.
TEST(V2Transform, QuantiseAndDequantise) {
    struct Row {
        bool intra;
        int qp;
        float coef;  // at raster position 1 (an AC)
        int level;
        int recon;
    };
    const Row rows[] = {
        {true, 2, 3.9f, 0, 0},     {true, 2, 4.0f, 1, 5},     {true, 2, -8.5f, -2, -9},
        {true, 5, 10.0f, 1, 15},   {true, 31, 61.0f, 0, 0},   {true, 31, 62.0f, 1, 93},
        {true, 2, 5000.f, 127, 509}, {true, 31, -1e5f, -127, -7905},
        {false, 2, 4.9f, 0, 0},    {false, 2, 5.0f, 1, 5},    {false, 8, 20.0f, 1, 23},
        {false, 8, 19.9f, 0, 0},   {false, 13, -32.5f, -1, -39}, {false, 31, 1e5f, 127, 7905},
    };
    for (const Row& r : rows) {
        float coef[64] = {};
        coef[0] = 1000.f;
        coef[1] = r.coef;
        std::int16_t level[64], block[64];
        const int last = r.intra ? transform_quant_intra(coef, r.qp, level) : transform_quant_inter(coef, r.qp, level);
        EXPECT_EQ(level[1], r.level) << r.intra << " q" << r.qp << " " << r.coef;
        if (r.intra) {
            EXPECT_EQ(level[0], 125);
            EXPECT_EQ(last, r.level ? 1 : 0);
            transform_dequant_intra(level, r.qp, block);
            EXPECT_EQ(block[0], 1000);
        } else {
            transform_dequant_inter(level, r.qp, block);
        }
        EXPECT_EQ(block[1], r.recon) << r.intra << " q" << r.qp << " " << r.coef;
    }
}

// Blocks of only a DC: the rows take the decoder's shortcut (x 8, kept to 16
// bits), the columns fold their rounding into the DC term. Values worked by
// hand: (16383 * (8 dc + 32)) >> 20, floored.
TEST(V2Transform, IdctShortcutsAndRounding) {
    struct Row {
        int dc;
        int out;
    };
    const Row rows[] = {{8, 1}, {4, 0}, {-8, -1}, {-4, 0}, {-3, 0}, {-5, -1}, {12, 1}, {13, 2}, {8192, 0}, {1020, 127}};
    for (const Row& r : rows) {
        std::int16_t b[64] = {};
        b[0] = static_cast<std::int16_t>(r.dc);
        transform_idct(b);
        for (int i = 0; i < 64; ++i) ASSERT_EQ(b[i], r.out) << r.dc << " at " << i;
        std::uint8_t px[64];
        std::memset(px, 100, sizeof px);
        b[0] = static_cast<std::int16_t>(r.dc);
        std::fill(b + 1, b + 64, 0);
        transform_idct_add(b, px, 8);
        EXPECT_EQ(px[27], std::clamp(100 + r.out, 0, 255)) << r.dc;
    }
}

// The forward DCT and the integer inverse round-trip within a level.
TEST(V2Transform, ForwardAndInverseRoundTrip) {
    std::uint32_t seed = 7;
    for (int trial = 0; trial < 200; ++trial) {
        std::int16_t in[64], block[64];
        const int range = trial % 2 ? 256 : 511;
        for (auto& v : in) v = static_cast<std::int16_t>(static_cast<int>(next(seed) >> 16) % range - (trial % 2 ? 0 : 255));
        float coef[64];
        transform_fdct(in, coef);
        // The DCT by its definition, at the scale where the DC is 8 x the mean.
        for (int v = 0; v < 8; ++v)
            for (int u = 0; u < 8; ++u) {
                double sum = 0;
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        sum += in[y * 8 + x] * std::cos((2 * x + 1) * u * M_PI / 16) * std::cos((2 * y + 1) * v * M_PI / 16);
                const double c = sum * (u ? 0.5 : 0.5 / std::sqrt(2.0)) * (v ? 0.5 : 0.5 / std::sqrt(2.0));
                ASSERT_NEAR(coef[v * 8 + u], c, 0.02) << trial << " " << u << "," << v;
            }
        for (int i = 0; i < 64; ++i) block[i] = static_cast<std::int16_t>(std::lround(coef[i]));
        transform_idct(block);
        for (int i = 0; i < 64; ++i) ASSERT_LE(std::abs(block[i] - in[i]), 1) << trial << " " << i;
    }
}

// ---- vectors ------------------------------------------------------------------------

TEST(V2Vectors, NearestCodableIsCodableAndNearest) {
    for (int pred = -63; pred <= 63; ++pred)
        for (int value = -70; value <= 70; ++value) {
            const int got = v2enc_nearest_codable(pred, value);
            ASSERT_TRUE(v2enc_mv_codable(pred, got)) << pred << " " << value;
            int best = 1000;
            for (int v = -63; v <= 63; ++v)
                if (v2enc_mv_codable(pred, v)) best = std::min(best, std::abs(v - value));
            ASSERT_EQ(std::abs(got - value), best) << pred << " " << value;
            if (value >= -63 && value <= 63 && std::abs(value - pred) <= 32) {
                ASSERT_EQ(got, value);
            }
        }
    // Through the wrap: from 40 everything in 0..63 is in reach, -40 is not.
    EXPECT_FALSE(v2enc_mv_codable(40, -40));
    EXPECT_TRUE(v2enc_mv_codable(40, 0));
    EXPECT_TRUE(v2enc_mv_codable(-63, 0));
    EXPECT_FALSE(v2enc_mv_codable(-63, 1));
    EXPECT_FALSE(v2enc_mv_codable(0, 64));
}

TEST(V2Vectors, PredictorMedianAndEdges) {
    // 3 macroblocks wide, two rows.
    const CodecMv mv[6] = {{2, 4}, {10, -6}, {-8, 20}, {6, 0}, {0, 0}, {0, 0}};
    struct Row {
        int x, y;
        bool first_row;
        CodecMv want;
    };
    const Row rows[] = {
        {0, 0, true, {0, 0}},  {1, 0, true, {2, 4}},    {2, 0, true, {10, -6}},
        {0, 1, false, {2, 0}},   // median(0 left, (2,4) above, (10,-6) above right)
        {1, 1, false, {6, 0}},   // median((6,0), (10,-6), (-8,20))
        {2, 1, false, {0, 0}},   // median((0,0), (-8,20), 0 past the right edge)
        {1, 1, true, {6, 0}},    // the first row of a slice: the left one
    };
    for (const Row& r : rows) {
        const CodecMv p = v2enc_predict_mv(mv, 3, r.x, r.y, r.first_row);
        EXPECT_EQ(p.x, r.want.x) << r.x << "," << r.y;
        EXPECT_EQ(p.y, r.want.y) << r.x << "," << r.y;
    }
}

// ---- whole pictures against the decoder ------------------------------------------

TEST(V2Encoder, OpenRefusesBadSizesAndBadArguments) {
    V2Encoder e;
    EXPECT_EQ(v2enc_open(e, 0, 10), 0);
    EXPECT_EQ(v2enc_open(e, 10, -1), 0);
    EXPECT_EQ(v2enc_open(e, codec_max_side + 1, 8), 0);
    v2enc_close(e);
    v2enc_close(e);
    std::uint8_t out[4096];
    EXPECT_EQ(v2enc_code(e, true, 5, nullptr, out, sizeof out), -1);  // not open
    ASSERT_EQ(v2enc_open(e, 32, 32), 1);
    fill(e, testsrc, 0);
    EXPECT_EQ(v2enc_code(e, false, 5, nullptr, out, sizeof out), -1);  // no reference yet
    EXPECT_EQ(v2enc_code(e, true, 1, nullptr, out, sizeof out), -1);
    EXPECT_EQ(v2enc_code(e, true, 32, nullptr, out, sizeof out), -1);
    EXPECT_EQ(v2enc_code(e, true, 5, nullptr, nullptr, sizeof out), -1);
    EXPECT_GT(v2enc_code(e, true, 5, nullptr, out, sizeof out), 0);
    v2enc_close(e);
    EXPECT_EQ(e.mb_width, 0);
}

struct KeyRow {
    Size size;
    int qp;
    Content content;
};

class V2Key : public testing::TestWithParam<KeyRow> {};

TEST_P(V2Key, DecoderShowsTheReconstruction) {
    const KeyRow r = GetParam();
    V2Encoder e;
    ASSERT_EQ(v2enc_open(e, r.size.w, r.size.h), 1);
    Decoder d(r.size.w, r.size.h);
    ASSERT_TRUE(d.ctx);
    for (int n = 0; n < 2; ++n) {
        fill(e, r.content, n);
        code_and_check(e, d, true, r.qp, nullptr, "key " + std::to_string(n));
        EXPECT_EQ(e.mode_count[v2_mb_intra], e.mb_width * e.mb_height);
    }
    v2enc_close(e);
}

std::vector<KeyRow> key_rows() {
    std::vector<KeyRow> rows;
    for (const Size& s : kSizes)
        for (int qp : kQps)
            for (Content c : {testsrc, noise}) rows.push_back({s, qp, c});
    return rows;
}

std::string row_name(Size s, int qp, int c) {
    return std::to_string(s.w) + "x" + std::to_string(s.h) + "_q" + std::to_string(qp) + "_" +
           (c == testsrc ? "testsrc" : c == noise ? "noise" : "moving");
}

INSTANTIATE_TEST_SUITE_P(Rows, V2Key, testing::ValuesIn(key_rows()), [](const auto& info) {
    return row_name(info.param.size, info.param.qp, info.param.content);
});

// Delta pictures: vectors all zero, random over the whole range (so past the
// picture's edges too), and the right ones for a moving picture.
enum VectorKind { zero_vectors, random_vectors, right_vectors };

struct DeltaRow {
    Size size;
    int qp;
    VectorKind vectors;
    bool checked = false;  // under a check of 8 levels and 14 pixels
};

// Off pixels (by level or more) of the decoded luma against the coder's
// source, per whole visible 8x8 block: the most in any block, and the blocks
// with more than target.
struct OffBlocks {
    int worst = 0, over = 0;
};
OffBlocks off_blocks(const AVFrame* f, V2Encoder& e, int level, int target) {
    const V2Picture s = v2enc_source(e);
    OffBlocks r;
    for (int by = 0; by + 8 <= e.height; by += 8)
        for (int bx = 0; bx + 8 <= e.width; bx += 8) {
            int n = 0;
            for (int y = by; y < by + 8; ++y)
                for (int x = bx; x < bx + 8; ++x)
                    n += std::abs(f->data[0][y * f->linesize[0] + x] - s.plane[0][y * s.stride[0] + x]) >= level;
            r.worst = std::max(r.worst, n);
            r.over += n > target;
        }
    return r;
}

class V2Delta : public testing::TestWithParam<DeltaRow> {};

TEST_P(V2Delta, DecoderShowsTheReconstruction) {
    const DeltaRow r = GetParam();
    V2Encoder e;
    ASSERT_EQ(v2enc_open(e, r.size.w, r.size.h), 1);
    if (r.checked) {
        e.check_level = 8;
        e.check_target = 14;
    }
    Decoder d(r.size.w, r.size.h);
    ASSERT_TRUE(d.ctx);
    const Content content = r.vectors == right_vectors ? moving : testsrc;
    std::vector<CodecMv> mv(static_cast<std::size_t>(e.mb_width) * e.mb_height);
    std::uint32_t seed = 99;
    int modes[3] = {};
    for (int n = 0; n < 6; ++n) {
        fill(e, n == 4 && content == testsrc ? noise : content, n);
        for (auto& v : mv) {
            if (r.vectors == random_vectors)
                v = CodecMv{static_cast<std::int16_t>(static_cast<int>(next(seed) >> 25) - 64),
                            static_cast<std::int16_t>(static_cast<int>(next(seed) >> 25) - 64)};
            else
                v = r.vectors == right_vectors ? CodecMv{-6, -2} : CodecMv{0, 0};
        }
        code_and_check(e, d, n == 0, r.qp, r.vectors == zero_vectors ? nullptr : mv.data(), "picture " + std::to_string(n));
        if (HasFatalFailure()) return;
        // The coder's own count of a checked delta is the decoder's.
        if (n && r.checked) {
            EXPECT_EQ(e.worst_off, off_blocks(d.frame, e, 8, 14).worst) << "picture " << n;
        } else {
            EXPECT_EQ(e.worst_off, -1);
        }
        if (n)
            for (int m = 0; m < 3; ++m) modes[m] += e.mode_count[m];
    }
    if (e.mb_width * e.mb_height >= 20) {
        EXPECT_GT(modes[v2_mb_inter], 0);
        if (content == testsrc) {
            EXPECT_GT(modes[v2_mb_intra], 0);  // the noise picture
        }
    }
    v2enc_close(e);
}

std::vector<DeltaRow> delta_rows() {
    std::vector<DeltaRow> rows;
    for (const Size& s : kSizes)
        for (int qp : {2, 5, 13, 31})
            for (VectorKind v : {zero_vectors, random_vectors, right_vectors}) rows.push_back({s, qp, v});
    for (int qp : {3, 8, 21}) rows.push_back({{150, 100}, qp, random_vectors});
    for (const Size& s : {Size{17, 9}, Size{150, 100}, Size{322, 242}})
        for (int qp : {5, 13, 31})
            for (VectorKind v : {zero_vectors, random_vectors, right_vectors}) rows.push_back({s, qp, v, true});
    return rows;
}

std::string delta_name(const testing::TestParamInfo<DeltaRow>& info) {
    static const char* const kind[] = {"zero", "random", "right"};
    return std::to_string(info.param.size.w) + "x" + std::to_string(info.param.size.h) + "_q" +
           std::to_string(info.param.qp) + "_" + kind[info.param.vectors] + (info.param.checked ? "_checked" : "");
}

INSTANTIATE_TEST_SUITE_P(Rows, V2Delta, testing::ValuesIn(delta_rows()), delta_name);

// The right vectors must pay: a moving picture codes smaller with them than
// with zero vectors, and a still one ends up all skipped.
TEST(V2Encoder, VectorsAndSkipsPay) {
    V2Encoder a, b;
    ASSERT_EQ(v2enc_open(a, 160, 128), 1);
    ASSERT_EQ(v2enc_open(b, 160, 128), 1);
    std::vector<std::uint8_t> out(1 << 20);
    std::vector<CodecMv> mv(static_cast<std::size_t>(a.mb_width) * a.mb_height, CodecMv{-6, -2});
    fill(a, moving, 0);
    fill(b, moving, 0);
    ASSERT_GT(v2enc_code(a, true, 4, nullptr, out.data(), out.size()), 0);
    ASSERT_GT(v2enc_code(b, true, 4, nullptr, out.data(), out.size()), 0);
    fill(a, moving, 1);
    fill(b, moving, 1);
    const int with = v2enc_code(a, false, 4, mv.data(), out.data(), out.size());
    const int without = v2enc_code(b, false, 4, nullptr, out.data(), out.size());
    ASSERT_GT(with, 0);
    EXPECT_LT(with * 2, without);
    EXPECT_GT(a.mode_count[v2_mb_inter], a.mb_width * a.mb_height / 2);
    // A flat picture after itself: every macroblock skipped, one bit each.
    const V2Picture s = v2enc_source(b);
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < (p ? 64 : 128); ++y) std::memset(s.plane[p] + y * s.stride[p], 90 + 20 * p, p ? 80 : 160);
    ASSERT_GT(v2enc_code(b, true, 4, nullptr, out.data(), out.size()), 0);
    const int still = v2enc_code(b, false, 4, nullptr, out.data(), out.size());
    EXPECT_EQ(b.mode_count[v2_mb_skip], b.mb_width * b.mb_height);
    EXPECT_EQ(still, (8 + b.mb_width * b.mb_height + 7) / 8);
}

// Under the check, delta pictures leave far fewer blocks beyond it than the
// plain rounding does, at a price in bytes, over a moving sequence with a
// cut in it, at the quantisers where rounding can still hold the rule (at
// coarser ones a step of the quantiser alone moves pixels past it).
TEST(V2Encoder, CheckedDeltasKeepTheirBlocksWithinTheRule) {
    for (int qp : {6, 8, 10}) {
        int over[2] = {}, bytes[2] = {}, refined = 0;
        for (int checked = 0; checked < 2; ++checked) {
            V2Encoder e;
            ASSERT_EQ(v2enc_open(e, 160, 96), 1);
            e.check_level = checked ? 8 : 0;
            e.check_target = checked ? 14 : 0;
            Decoder d(e.width, e.height);
            std::vector<std::uint8_t> out(capacity_for(e));
            std::vector<CodecMv> mv(static_cast<std::size_t>(e.mb_width) * e.mb_height, CodecMv{-6, -2});
            for (int n = 0; n < 6; ++n) {
                fill(e, n == 3 ? testsrc : moving, n);
                const int size = v2enc_code(e, n == 0, qp, mv.data(), out.data(), out.size());
                ASSERT_GT(size, 0);
                ASSERT_TRUE(d.decode(out.data(), size));
                ASSERT_EQ(first_difference(d.frame, v2enc_reconstruction(e), e.width, e.height), "");
                if (!n) continue;
                over[checked] += off_blocks(d.frame, e, 8, 14).over;
                bytes[checked] += size;
                if (checked) refined += e.refined_blocks;
            }
        }
        EXPECT_GT(over[0], 0) << "qp " << qp;  // the sequence must need the check at all
        EXPECT_LT(over[1] * 2, over[0]) << "qp " << qp;
        EXPECT_GT(bytes[1], bytes[0]) << "qp " << qp;
        EXPECT_GT(refined, 0);
    }
}

// 300 delta pictures at quantisers 2 and 31 in turn: any mismatch between
// the coder's reference and the decoder's would grow, so every one is checked.
TEST(V2Encoder, LongRunDoesNotDrift) {
    const int w = 72, h = 40;
    V2Encoder e;
    ASSERT_EQ(v2enc_open(e, w, h), 1);
    Decoder d(w, h);
    std::vector<CodecMv> mv(static_cast<std::size_t>(e.mb_width) * e.mb_height);
    std::uint32_t seed = 5;
    for (int n = 0; n <= 300; ++n) {
        fill(e, n % 50 == 25 ? noise : moving, n);
        for (auto& v : mv)
            v = n % 3 ? CodecMv{-6, -2}
                      : CodecMv{static_cast<std::int16_t>(static_cast<int>(next(seed) >> 26) - 32),
                                static_cast<std::int16_t>(static_cast<int>(next(seed) >> 26) - 32)};
        code_and_check(e, d, n == 0, n % 2 ? 31 : 2, mv.data(), "picture " + std::to_string(n));
        if (HasFatalFailure()) return;
    }
}

// The same bytes and pictures on any number of threads, key and delta
// pictures with random vectors, at every size: bands of equal rows and a
// shorter last one, one row alone. Key pictures say how many slices they
// have, from the picture's rows alone.
TEST(V2Encoder, AnyNumberOfThreadsGivesTheSameBytes) {
    for (const Size& sz : kSizes) {
        SCOPED_TRACE(std::to_string(sz.w) + "x" + std::to_string(sz.h));
        V2Encoder one, two, three;
        ASSERT_EQ(v2enc_open(one, sz.w, sz.h, 1), 1);
        ASSERT_EQ(v2enc_open(two, sz.w, sz.h, 2), 1);
        ASSERT_EQ(v2enc_open(three, sz.w, sz.h, 3), 1);
        Decoder d(sz.w, sz.h);
        std::vector<CodecMv> mv(static_cast<std::size_t>(one.mb_width) * one.mb_height);
        std::vector<std::uint8_t> out(capacity_for(one));
        std::uint32_t seed = 17;
        for (int n = 0; n < 7; ++n) {
            const bool key = n % 4 == 0;
            const int qp = kQps[n];
            for (auto& v : mv)
                v = CodecMv{static_cast<std::int16_t>(static_cast<int>(next(seed) >> 26) - 32),
                            static_cast<std::int16_t>(static_cast<int>(next(seed) >> 26) - 32)};
            for (V2Encoder* e : {&one, &two, &three}) fill(*e, n == 5 ? noise : moving, n);
            const int size = v2enc_code(one, key, qp, mv.data(), out.data(), out.size());
            ASSERT_GT(size, 0);
            const std::vector<std::uint8_t> want(out.begin(), out.begin() + size);
            if (key) {
                const int slices = ((want[0] & 1) << 4 | want[1] >> 4) - 0x16;
                EXPECT_EQ(slices, v2enc_choose_slices(one.mb_height));
                EXPECT_GE(slices, 1);
                EXPECT_LE(slices, one.mb_height);
                EXPECT_EQ(slices > 1, one.mb_height > 1);
            }
            for (V2Encoder* e : {&two, &three}) {
                std::vector<std::uint8_t> got(out.size());
                ASSERT_EQ(v2enc_code(*e, key, qp, mv.data(), got.data(), got.size()), size) << n;
                ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "picture " << n;
                EXPECT_EQ(e->mode_count[v2_mb_inter], one.mode_count[v2_mb_inter]);
                EXPECT_EQ(e->mode_count[v2_mb_intra], one.mode_count[v2_mb_intra]);
                const V2Picture a = v2enc_reconstruction(one), b = v2enc_reconstruction(*e);
                for (int p = 0; p < 3; ++p)
                    for (int y = 0; y < one.mb_height * (p ? 8 : 16); ++y)
                        ASSERT_EQ(std::memcmp(a.plane[p] + y * a.stride[p], b.plane[p] + y * b.stride[p],
                                              static_cast<std::size_t>(one.mb_width * (p ? 8 : 16))),
                                  0)
                            << "picture " << n << " plane " << p << " row " << y;
            }
            ASSERT_TRUE(d.decode(want.data(), size)) << n;
            ASSERT_EQ(first_difference(d.frame, v2enc_reconstruction(two), sz.w, sz.h), "") << n;
        }
    }
}

// A call whose picture does not fit answers 0 and changes nothing: the next
// picture comes out as from a coder that never saw that call.
TEST(V2Encoder, TooSmallACapacityChangesNothing) {
    for (int threads : {1, 2})
    for (bool key : {true, false}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        V2Encoder a, b;
        ASSERT_EQ(v2enc_open(a, 150, 100, threads), 1);
        ASSERT_EQ(v2enc_open(b, 150, 100), 1);
        std::vector<std::uint8_t> out_a(1 << 20), out_b(1 << 20);
        fill(a, testsrc, 0);
        fill(b, testsrc, 0);
        ASSERT_GT(v2enc_code(a, true, 5, nullptr, out_a.data(), out_a.size()), 0);
        ASSERT_GT(v2enc_code(b, true, 5, nullptr, out_b.data(), out_b.size()), 0);
        fill(a, testsrc, 1);
        std::vector<std::uint8_t> small(40, 0xEE);
        EXPECT_EQ(v2enc_code(a, key, 2, nullptr, small.data(), 30), 0);
        EXPECT_EQ(small[30], 0xEE);
        // Room for the first band but not for the rest joined to it.
        {
            V2Encoder probe;
            ASSERT_EQ(v2enc_open(probe, 150, 100), 1);
            fill(probe, testsrc, 0);
            ASSERT_GT(v2enc_code(probe, true, 5, nullptr, out_b.data(), out_b.size()), 0);
            fill(probe, testsrc, 1);
            const int whole = v2enc_code(probe, key, 2, nullptr, out_b.data(), out_b.size());
            ASSERT_GT(whole, 0);
            std::vector<std::uint8_t> most(static_cast<std::size_t>(whole), 0xEE);
            EXPECT_EQ(v2enc_code(a, key, 2, nullptr, most.data(), most.size() * 3 / 4), 0);
            EXPECT_EQ(most[most.size() * 3 / 4], 0xEE);
        }
        fill(a, testsrc, 2);
        fill(b, testsrc, 2);
        const int na = v2enc_code(a, false, 5, nullptr, out_a.data(), out_a.size());
        const int nb = v2enc_code(b, false, 5, nullptr, out_b.data(), out_b.size());
        ASSERT_GT(na, 0);
        ASSERT_EQ(na, nb);
        EXPECT_EQ(std::memcmp(out_a.data(), out_b.data(), static_cast<std::size_t>(na)), 0) << key;
        // Exactly the size it takes is enough; one byte less is not.
        fill(a, testsrc, 3);
        fill(b, testsrc, 3);
        const int need = v2enc_code(b, key, 5, nullptr, out_b.data(), out_b.size());
        ASSERT_GT(need, 0);
        EXPECT_EQ(v2enc_code(a, key, 5, nullptr, out_a.data(), static_cast<std::size_t>(need - 1)), 0);
        EXPECT_EQ(v2enc_code(a, key, 5, nullptr, out_a.data(), static_cast<std::size_t>(need)), need);
        EXPECT_EQ(std::memcmp(out_a.data(), out_b.data(), static_cast<std::size_t>(need)), 0) << key;
    }
}

}  // namespace
