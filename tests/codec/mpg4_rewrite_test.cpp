// The version 1 rewriter against its exact oracle: libavcodec's version 1
// decoder must make of our stream the very pictures its version 2 decoder
// makes of the original, frame after frame, key and delta.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "codec/mpg4_rewrite.h"

namespace {

// Planar 4:2:0 test pictures drawn in-process.
enum class Scene { bars, mandelbrot, noise, moving_edges };

std::uint32_t hash(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

void draw(AVFrame* f, Scene scene, int n) {
    const int w = f->width, h = f->height;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int v = 0;
            switch (scene) {
                case Scene::bars:  // colour bars, a moving box and a gradient: testsrc-like
                    v = ((x + 2 * n) * 8 / std::max(1, w)) * 30 + (y * 60) / h;
                    if (x > (n * 5) % w && x < (n * 5) % w + w / 4 && y > h / 3 && y < h / 3 + h / 4) v = 235 - (x & 8) * 10;
                    break;
                case Scene::mandelbrot: {  // zooming fractal: detail everywhere, slow change
                    const double zoom = 1.0 + 0.08 * n;
                    const double cr = -0.745 + (x - w / 2.0) * 3.0 / (w * zoom), ci = 0.1 + (y - h / 2.0) * 3.0 / (w * zoom);
                    double zr = 0, zi = 0;
                    int it = 0;
                    while (it < 64 && zr * zr + zi * zi < 4) {
                        const double t = zr * zr - zi * zi + cr;
                        zi = 2 * zr * zi + ci;
                        zr = t;
                        ++it;
                    }
                    v = it * 4;
                    break;
                }
                case Scene::noise:  // every level and escape the tables have
                    v = static_cast<int>(hash(static_cast<std::uint32_t>(x + y * 7919 + n * 104729)) & 255);
                    break;
                case Scene::moving_edges:  // steep diagonal edges moving both ways: many motion vectors
                    v = (((x + 3 * n) / 6 + (y - 2 * n) / 5) & 1) ? 220 : 20;
                    v += (x * y) % 17;
                    break;
            }
            f->data[0][y * f->linesize[0] + x] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
        }
    for (int y = 0; y < (h + 1) / 2; ++y)
        for (int x = 0; x < (w + 1) / 2; ++x) {
            int u = 128 + ((x * 90) / std::max(1, w)) - ((y * 40) / std::max(1, h)), v = 128 + ((n * 7 + y) % 50) - 25;
            if (scene == Scene::noise) {
                u = static_cast<int>(hash(static_cast<std::uint32_t>(x * 31 + y * 17 + n)) & 255);
                v = static_cast<int>(hash(static_cast<std::uint32_t>(x * 13 + y * 71 + n * 3)) & 255);
            }
            f->data[1][y * f->linesize[1] + x] = static_cast<std::uint8_t>(std::clamp(u, 0, 255));
            f->data[2][y * f->linesize[2] + x] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
        }
}

// Counts what the decoders log as errors (a missing extension header, say,
// is logged without failing the frame).
int g_logged_errors = 0;
void count_errors(void* avcl, int level, const char* fmt, va_list vl) {
    if (level <= AV_LOG_ERROR) ++g_logged_errors;
    av_log_default_callback(avcl, level, fmt, vl);
}

struct Codec {
    AVCodecContext* ctx = nullptr;
    ~Codec() { avcodec_free_context(&ctx); }
};

bool open_encoder(Codec& c, int w, int h, int motion_variant) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MSMPEG4V2);
    if (!codec) return false;
    c.ctx = avcodec_alloc_context3(codec);
    c.ctx->width = w;
    c.ctx->height = h;
    c.ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    c.ctx->time_base = AVRational{1, 25};
    c.ctx->framerate = AVRational{25, 1};
    c.ctx->flags |= AV_CODEC_FLAG_QSCALE;
    c.ctx->mb_decision = FF_MB_DECISION_RD;
    c.ctx->gop_size = 1 << 30;
    c.ctx->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    c.ctx->max_b_frames = 0;
    c.ctx->thread_count = 1;
    if (motion_variant == 1) {
        c.ctx->me_range = 16;
        c.ctx->dia_size = 1;
    } else if (motion_variant == 2) {
        c.ctx->dia_size = 3;
        c.ctx->last_predictor_count = 2;
        c.ctx->pre_dia_size = 2;
        c.ctx->me_pre_cmp = FF_CMP_SAD;
    }
    return avcodec_open2(c.ctx, codec, nullptr) >= 0;
}

bool open_decoder(Codec& c, AVCodecID id, int w, int h) {
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec) return false;
    c.ctx = avcodec_alloc_context3(codec);
    c.ctx->width = w;
    c.ctx->height = h;
    c.ctx->thread_count = 1;
    c.ctx->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM;
    return avcodec_open2(c.ctx, codec, nullptr) >= 0;
}

bool decode(Codec& c, const std::uint8_t* data, int size, AVFrame* out) {
    AVPacket* pkt = av_packet_alloc();
    std::vector<std::uint8_t> padded(static_cast<std::size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(padded.data(), data, static_cast<std::size_t>(size));
    pkt->data = padded.data();
    pkt->size = size;
    const bool ok = avcodec_send_packet(c.ctx, pkt) >= 0 && avcodec_receive_frame(c.ctx, out) >= 0;
    av_packet_free(&pkt);
    return ok && !(out->flags & AV_FRAME_FLAG_CORRUPT) && !out->decode_error_flags;
}

bool same_picture(const AVFrame* a, const AVFrame* b, std::string& where) {
    for (int p = 0; p < 3; ++p) {
        const int w = p ? (a->width + 1) / 2 : a->width, h = p ? (a->height + 1) / 2 : a->height;
        for (int y = 0; y < h; ++y)
            if (std::memcmp(a->data[p] + y * a->linesize[p], b->data[p] + y * b->linesize[p], static_cast<std::size_t>(w))) {
                where = "plane " + std::to_string(p) + " row " + std::to_string(y);
                return false;
            }
    }
    return true;
}

struct Case {
    int w, h;
    Scene scene;
    int motion_variant;
};

// Codes `frames` pictures with the version 2 encoder at changing quantisers
// and key frames, rewrites each and checks both decoders agree exactly.
void check_oracle(const Case& k, int frames) {
    Codec enc, dec2, dec1;
    ASSERT_TRUE(open_encoder(enc, k.w, k.h, k.motion_variant));
    ASSERT_TRUE(open_decoder(dec2, AV_CODEC_ID_MSMPEG4V2, k.w, k.h));
    ASSERT_TRUE(open_decoder(dec1, AV_CODEC_ID_MSMPEG4V1, k.w, k.h));
    Mpg4Rewriter rw;
    ASSERT_EQ(mpg4_rewriter_open(rw, k.w, k.h, 25, 1000), 1);
    AVFrame* in = av_frame_alloc();
    in->format = AV_PIX_FMT_YUV420P;
    in->width = k.w;
    in->height = k.h;
    ASSERT_GE(av_frame_get_buffer(in, 0), 0);
    AVFrame* out2 = av_frame_alloc();
    AVFrame* out1 = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    std::vector<std::uint8_t> v1(static_cast<std::size_t>(k.w) * k.h * 3 + 1024);
    g_logged_errors = 0;
    av_log_set_callback(count_errors);
    const int qps[] = {2, 3, 5, 8, 12, 20, 31};
    for (int n = 0; n < frames; ++n) {
        ASSERT_GE(av_frame_make_writable(in), 0);
        draw(in, k.scene, n);
        in->pict_type = (n % 7 == 0) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        in->quality = qps[n % 7 == 3 ? 0 : (n * 3) % 7] * FF_QP2LAMBDA;
        in->pts = n;
        ASSERT_GE(avcodec_send_frame(enc.ctx, in), 0);
        ASSERT_GE(avcodec_receive_packet(enc.ctx, pkt), 0);
        std::size_t size = 0;
        bool key = false;
        ASSERT_EQ(mpg4_rewrite_frame(rw, pkt->data, static_cast<std::size_t>(pkt->size), v1.data(), v1.size(), &size, &key),
                  mpg4_rewrite_ok)
            << "frame " << n;
        EXPECT_EQ(key, (pkt->flags & AV_PKT_FLAG_KEY) != 0) << "frame " << n;
        ASSERT_TRUE(decode(dec2, pkt->data, pkt->size, out2)) << "frame " << n;
        ASSERT_TRUE(decode(dec1, v1.data(), static_cast<int>(size), out1)) << "frame " << n;
        EXPECT_EQ(g_logged_errors, 0) << "frame " << n;
        std::string where;
        ASSERT_TRUE(same_picture(out1, out2, where)) << "frame " << n << ": " << where;
        av_packet_unref(pkt);
        av_frame_unref(out1);
        av_frame_unref(out2);
    }
    av_log_set_callback(av_log_default_callback);
    av_packet_free(&pkt);
    av_frame_free(&in);
    av_frame_free(&out1);
    av_frame_free(&out2);
    mpg4_rewriter_close(rw);
}

class Mpg4Oracle : public ::testing::TestWithParam<Case> {};

TEST_P(Mpg4Oracle, Version1DecoderMakesTheVersion2Pictures) { check_oracle(GetParam(), 15); }

INSTANTIATE_TEST_SUITE_P(
    Pictures, Mpg4Oracle,
    ::testing::Values(Case{176, 144, Scene::bars, 0}, Case{176, 144, Scene::mandelbrot, 0},
                      Case{176, 144, Scene::noise, 0}, Case{160, 112, Scene::moving_edges, 1},
                      Case{160, 112, Scene::moving_edges, 2}, Case{352, 288, Scene::mandelbrot, 2},
                      Case{16, 16, Scene::bars, 0}, Case{48, 32, Scene::noise, 0},
                      Case{100, 60, Scene::moving_edges, 0}, Case{34, 22, Scene::mandelbrot, 1},
                      // Taller than one version 1 slice (31 rows): vectors predicted anew
                      // in the first row of every slice.
                      Case{64, 544, Scene::moving_edges, 0}, Case{96, 1008, Scene::bars, 2}));

// Damaged or foreign input is refused, never read or written out of bounds;
// a capacity too small is told apart from bad input.
TEST(Mpg4Rewrite, RefusesBadInputAndReportsTooSmallAnOutput) {
    Codec enc;
    ASSERT_TRUE(open_encoder(enc, 64, 48, 0));
    AVFrame* in = av_frame_alloc();
    in->format = AV_PIX_FMT_YUV420P;
    in->width = 64;
    in->height = 48;
    ASSERT_GE(av_frame_get_buffer(in, 0), 0);
    draw(in, Scene::noise, 0);
    in->pict_type = AV_PICTURE_TYPE_I;
    in->quality = 2 * FF_QP2LAMBDA;
    AVPacket* pkt = av_packet_alloc();
    ASSERT_GE(avcodec_send_frame(enc.ctx, in), 0);
    ASSERT_GE(avcodec_receive_packet(enc.ctx, pkt), 0);
    const std::vector<std::uint8_t> good(pkt->data, pkt->data + pkt->size);
    av_packet_free(&pkt);
    av_frame_free(&in);

    Mpg4Rewriter rw;
    ASSERT_EQ(mpg4_rewriter_open(rw, 64, 48, 25, 1000), 1);
    std::vector<std::uint8_t> out(good.size() * 2 + 64);
    std::size_t size = 0;
    bool key = false;
    ASSERT_EQ(mpg4_rewrite_frame(rw, good.data(), good.size(), out.data(), out.size(), &size, &key), mpg4_rewrite_ok);
    EXPECT_TRUE(key);
    EXPECT_EQ(mpg4_rewrite_frame(rw, good.data(), good.size(), out.data(), size - 1, &size, &key), mpg4_rewrite_too_big);
    // Cut short, a wrong picture type, a zero quantiser, nothing.
    EXPECT_EQ(mpg4_rewrite_frame(rw, good.data(), good.size() / 2, out.data(), out.size(), &size, &key),
              mpg4_rewrite_bad_input);
    std::vector<std::uint8_t> bad = good;
    bad[0] |= 0xC0;
    EXPECT_EQ(mpg4_rewrite_frame(rw, bad.data(), bad.size(), out.data(), out.size(), &size, &key), mpg4_rewrite_bad_input);
    bad = good;
    bad[0] &= 0xC1;
    EXPECT_EQ(mpg4_rewrite_frame(rw, bad.data(), bad.size(), out.data(), out.size(), &size, &key), mpg4_rewrite_bad_input);
    const std::uint8_t empty = 0;
    EXPECT_EQ(mpg4_rewrite_frame(rw, &empty, 0, out.data(), out.size(), &size, &key), mpg4_rewrite_bad_input);
    EXPECT_EQ(mpg4_rewriter_open(rw, 0, 48, 25, 1000), 0);
    mpg4_rewriter_close(rw);
}

}  // namespace
