#include "codec/self_check.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codec/driver.h"

bool self_check_open(CodecSelfCheck& s, AVCodecID codec, int width, int height) {
    self_check_close(s);
    const AVCodec* decoder = avcodec_find_decoder(codec);
    if (!decoder) return false;
    s.ctx = avcodec_alloc_context3(decoder);
    s.picture = av_frame_alloc();
    s.off = static_cast<std::uint8_t*>(av_malloc(static_cast<std::size_t>(std::max(width, 1))));
    if (!s.ctx || !s.picture || !s.off) {
        self_check_close(s);
        return false;
    }
    s.ctx->width = width;
    s.ctx->height = height;
    s.ctx->thread_count = 1;
    s.ctx->idct_algo = codec_idct;
    if (avcodec_open2(s.ctx, decoder, nullptr) < 0) {
        self_check_close(s);
        return false;
    }
    return true;
}

void self_check_close(CodecSelfCheck& s) {
    avcodec_free_context(&s.ctx);
    av_frame_free(&s.picture);
    av_freep(&s.off);
    s.off_level = 0;
    s.in_step = false;
}

void self_check_rule(CodecSelfCheck& s, int diff_threshold) {
    // Y' spans 219 levels where the caller's luminance spans 255.
    s.off_level = std::clamp(static_cast<int>(std::lround(diff_threshold * 219.0 / 255.0)), 1, 255);
}

void self_check_restart(CodecSelfCheck& s) {
    if (s.ctx) avcodec_flush_buffers(s.ctx);
    s.in_step = false;
}

namespace {

// Row of blocks by row of blocks: each pixel row adds its off pixels to its
// column's count (a loop the compiler vectorises), then each block sums its
// eight columns.
int worst_block(const AVFrame* a, const AVFrame* b, int off_level, std::uint8_t* off) {
    const int width = std::min(a->width, b->width) / 8 * 8;
    const int height = std::min(a->height, b->height);
    const auto level = static_cast<std::uint8_t>(off_level);
    int worst = 0;
    for (int y = 0; y + 8 <= height; y += 8) {
        std::memset(off, 0, static_cast<std::size_t>(width));
        for (int r = 0; r < 8; ++r) {
            const std::uint8_t* p = a->data[0] + static_cast<std::ptrdiff_t>(y + r) * a->linesize[0];
            const std::uint8_t* q = b->data[0] + static_cast<std::ptrdiff_t>(y + r) * b->linesize[0];
            for (int x = 0; x < width; ++x) {
                const std::uint8_t d = p[x] > q[x] ? p[x] - q[x] : q[x] - p[x];
                off[x] += d >= level;
            }
        }
        for (int x = 0; x < width; x += 8) {
            int n = 0;
            for (int k = 0; k < 8; ++k) n += off[x + k];
            worst = std::max(worst, n);
        }
    }
    return worst;
}

}  // namespace

int self_check_frame(CodecSelfCheck& s, const AVPacket* pkt, bool key, bool measure, const AVFrame* source) {
    if (!s.ctx || s.off_level <= 0) return -1;
    if (key) s.in_step = true;
    if (!s.in_step) return -1;
    // One packet in, one picture out: no delay without B-frames or threads.
    if (avcodec_send_packet(s.ctx, pkt) < 0 || avcodec_receive_frame(s.ctx, s.picture) < 0) {
        self_check_restart(s);
        return -1;
    }
    const int worst = key || !measure ? -1 : worst_block(source, s.picture, s.off_level, s.off);
    av_frame_unref(s.picture);
    return worst;
}
