// libFuzzer target: our version 2 picture coder with its motion search,
// against libavcodec's msmpeg4v2 decoder. The input picks a picture size
// (1..200 a side), a content (random, smooth, blocky or the input's own
// bytes), and per picture key or delta, quantiser, capacity (often too
// small), a shift of the content (so that the search finds motion), noise,
// whether the vectors come from the search or from the input (any values,
// which the coder must move to codable ones), and whether the picture comes
// as BGR rows (either way up, in a buffer that ends with its last pixel)
// through the coder's own conversion, band by band in reverse order, each
// band padded on its own as the driver does. Every picture coded
// must decode without error to exactly the coder's reconstruction; one that
// does not fit must leave the coder as it was, which the next pictures,
// decoded on from the same decoder, check too.
//
// The first picture is a key picture.
//
// Input: w, h, kind | pictures << 2 | header << 5, seed, seed, then five
// bytes a picture (flags, qp, dx, dy, capacity); what follows is the pool
// of vector components for the pictures that take theirs from the input.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/driver.h"
#include "codec/motion_search.h"
#include "codec/v2_encoder.h"
#include "common/pixels.h"

namespace {

int g_errors = 0;
void count_errors(void*, int level, const char*, va_list) {
    if (level <= AV_LOG_ERROR) ++g_errors;
}

[[noreturn]] void finding() { __builtin_trap(); }

struct Decoder {
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* pkt = nullptr;
    std::vector<std::uint8_t> padded;

    bool open(int w, int h) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MSMPEG4V2);
        if (!codec) return false;
        ctx = avcodec_alloc_context3(codec);
        frame = av_frame_alloc();
        pkt = av_packet_alloc();
        if (!ctx || !frame || !pkt) return false;
        ctx->width = w;
        ctx->height = h;
        ctx->thread_count = 1;
        ctx->idct_algo = codec_idct;
        ctx->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM;
        return avcodec_open2(ctx, codec, nullptr) >= 0;
    }
    ~Decoder() {
        avcodec_free_context(&ctx);
        av_frame_free(&frame);
        av_packet_free(&pkt);
    }
    // One picture; false when the decoder fails or complains.
    bool decode(const std::uint8_t* data, int size) {
        padded.assign(static_cast<std::size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        std::memcpy(padded.data(), data, static_cast<std::size_t>(size));
        pkt->data = padded.data();
        pkt->size = size;
        const int errors = g_errors;
        av_frame_unref(frame);
        if (avcodec_send_packet(ctx, pkt) < 0 || avcodec_receive_frame(ctx, frame) < 0) return false;
        return g_errors == errors && !frame->decode_error_flags;
    }
};

std::uint32_t hash(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

// The content at (X, Y) of plane p, the same for every picture, which samples
// it shifted: so one picture predicts the next.
std::uint8_t content(int kind, int p, int X, int Y, std::uint32_t seed, const std::uint8_t* pool, std::size_t pool_size) {
    switch (kind) {
        case 0:  // random
            return static_cast<std::uint8_t>(
                hash(static_cast<std::uint32_t>(X) * 0x9e3779b1u ^ static_cast<std::uint32_t>(Y) * 0x85ebca77u ^
                     seed ^ static_cast<std::uint32_t>(p) << 28) >> 24);
        case 1: {  // smooth
            const int a = 1 + static_cast<int>(seed & 7), b = 1 + static_cast<int>((seed >> 3) & 7);
            const int v = (a * X * X + b * Y * Y) / 23 + 3 * X - 2 * Y + p * 50;
            return static_cast<std::uint8_t>(((v & 0x1FF) > 0xFF ? 0x1FF - (v & 0x1FF) : v & 0xFF));
        }
        case 2: {  // flat blocks with sharp edges
            const int cell = (X >> (2 + (seed & 3))) ^ (Y >> (2 + ((seed >> 2) & 3)));
            return static_cast<std::uint8_t>(hash(static_cast<std::uint32_t>(cell) + seed + static_cast<std::uint32_t>(p)) >> 24);
        }
        default: {  // the input's own bytes
            if (!pool_size) return 128;
            const std::size_t i = (static_cast<std::size_t>(X & 0xFFF) * 31 + static_cast<std::size_t>(Y & 0xFFF) * 97 +
                                   static_cast<std::size_t>(p) * 7) % pool_size;
            return pool[i];
        }
    }
}

// The macroblock-aligned planes of a picture, to see that a failed call left them.
std::vector<std::uint8_t> snapshot(const V2Encoder& e) {
    const V2Picture r = v2enc_reconstruction(e);
    std::vector<std::uint8_t> s;
    for (int p = 0; p < 3; ++p) {
        const int pw = e.mb_width * (p ? 8 : 16), ph = e.mb_height * (p ? 8 : 16);
        for (int y = 0; y < ph; ++y) s.insert(s.end(), r.plane[p] + y * r.stride[p], r.plane[p] + y * r.stride[p] + pw);
    }
    return s;
}

bool same_picture(const AVFrame* f, const V2Picture& r, int w, int h) {
    if (f->width != w || f->height != h) return false;
    for (int p = 0; p < 3; ++p) {
        const int pw = p ? (w + 1) / 2 : w, ph = p ? (h + 1) / 2 : h;
        for (int y = 0; y < ph; ++y)
            if (std::memcmp(f->data[p] + y * f->linesize[p], r.plane[p] + y * r.stride[p], static_cast<std::size_t>(pw)))
                return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_callback(count_errors);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t head = 5, per_picture = 5;
    if (size < head + per_picture) return 0;
    const int w = 1 + data[0] % 200, h = 1 + data[1] % 200;
    const int kind = data[2] & 3;
    const int pictures = std::min<int>(1 + ((data[2] >> 2) & 7), static_cast<int>((size - head) / per_picture));
    const bool header = (data[2] >> 5) & 1;
    const std::uint32_t seed = static_cast<std::uint32_t>(data[3]) << 8 | data[4];
    const std::uint8_t* records = data + head;
    const std::uint8_t* pool = records + static_cast<std::size_t>(pictures) * per_picture;
    const std::size_t pool_size = size - head - static_cast<std::size_t>(pictures) * per_picture;
    std::size_t pool_at = 0;

    V2Encoder e;
    MotionSearch s;
    if (!v2enc_open(e, w, h) || !motion_search_open(s, e.mb_width, e.mb_height)) finding();
    if (header) {
        e.ext_fps = data[3] & 31;
        e.ext_kbps = data[4] * 8;
    }
    Decoder d;
    if (!d.open(w, h)) std::abort();  // not the coder's fault
    const std::size_t mbs = static_cast<std::size_t>(e.mb_width) * e.mb_height;
    const std::size_t ample = mbs * 6 * 64 * 4 + 64;
    std::vector<CodecMv> vectors(mbs);
    std::vector<std::uint32_t> costs(mbs);

    for (int n = 0; n < pictures; ++n) {
        const std::uint8_t* r = records + static_cast<std::size_t>(n) * per_picture;
        const bool key = (r[0] & 1) || n == 0, from_input = r[0] & 2, noisy = r[0] & 16, as_bgr = r[0] & 32;
        const int qp = 2 + r[1] % 30;
        const int dx = static_cast<std::int8_t>(r[2]) % 25, dy = static_cast<std::int8_t>(r[3]) % 25;
        std::size_t capacity = ample;
        switch ((r[0] >> 2) & 3) {
            case 2: capacity = 1 + static_cast<std::size_t>(r[4]) * (mbs + 4) / 8; break;
            case 3: capacity = r[4]; break;
            default: break;
        }

        const V2Picture src = v2enc_source(e);
        for (int p = 0; p < 3; ++p) {
            const int pw = p ? (w + 1) / 2 : w, ph = p ? (h + 1) / 2 : h;
            const int sx = p ? dx / 2 : dx, sy = p ? dy / 2 : dy;
            for (int y = 0; y < ph; ++y)
                for (int x = 0; x < pw; ++x) {
                    std::uint8_t v = content(kind, p, x + sx + 32, y + sy + 32, seed, pool, pool_size);
                    if (noisy && (hash(static_cast<std::uint32_t>(n * 65536 + y * 256 + x) ^ seed) & 15) == 0)
                        v = static_cast<std::uint8_t>(hash(static_cast<std::uint32_t>(x * 7 + y + n)) >> 24);
                    src.plane[p][y * src.stride[p] + x] = v;
                }
        }
        if (as_bgr) {
            // The same content as BGR: luma's values for blue and red, a chroma value for green.
            const std::size_t row = static_cast<std::size_t>(w) * 3;
            std::vector<std::uint8_t> bgr(row * static_cast<std::size_t>(h));
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    std::uint8_t* px = bgr.data() + static_cast<std::size_t>(y) * row + 3 * static_cast<std::size_t>(x);
                    px[0] = src.plane[0][y * src.stride[0] + x];
                    px[1] = src.plane[1][(y / 2) * src.stride[1] + x / 2];
                    px[2] = static_cast<std::uint8_t>(255 - px[0]);
                }
            const bool bottom_up = r[2] & 1;
            const PixelsRows rows = bottom_up ? PixelsRows{bgr.data() + row * static_cast<std::size_t>(h - 1),
                                                           -static_cast<std::ptrdiff_t>(row)}
                                              : PixelsRows{bgr.data(), static_cast<std::ptrdiff_t>(row)};
            const PixelsPlanes planes{{src.plane[0], src.plane[1], src.plane[2]}, {src.stride[0], src.stride[1], src.stride[2]}};
            for (int band = e.mb_height - 1; band >= 0; --band) {
                pixels_bgr_to_yuv420(rows, w, h, 16 * band, std::min(h, 16 * band + 16), planes);
                v2enc_pad_rows(e, V2Band{band, band + 1});
            }
        }

        const bool had_reference = e.has_reference;
        if (!key && had_reference) {
            if (from_input) {
                for (CodecMv& v : vectors) {
                    const auto next = [&] {
                        return pool_size ? static_cast<std::int16_t>(static_cast<std::int8_t>(pool[pool_at++ % pool_size]))
                                         : std::int16_t{0};
                    };
                    v.x = next();
                    v.y = next();
                }
            } else {
                const V2Picture ref = v2enc_reconstruction(e);
                motion_search_frame(s, src.plane[0], src.stride[0], ref.plane[0], ref.stride[0], 16 * qp,
                                    vectors.data(), costs.data());
                for (const CodecMv& v : vectors)
                    if (v.x < -motion_max_component || v.x > motion_max_component || v.y < -motion_max_component ||
                        v.y > motion_max_component)
                        finding();
            }
        }
        const std::vector<std::uint8_t> before = had_reference ? snapshot(e) : std::vector<std::uint8_t>{};
        const int reference = e.reference;
        // Exactly capacity bytes, so that a write past them is caught.
        std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[capacity]);
        const int coded = v2enc_code(e, key, qp, key ? nullptr : vectors.data(), out.get(), capacity);
        if (coded < 0) {
            if (key || had_reference) finding();  // the arguments were good
            continue;
        }
        if (coded == 0) {
            // Did not fit (an ample capacity too: that is no fault, but the state must hold).
            if (e.has_reference != had_reference || e.reference != reference) finding();
            if (had_reference && snapshot(e) != before) finding();
            continue;
        }
        if (static_cast<std::size_t>(coded) > capacity) finding();
        if (!d.decode(out.get(), coded)) finding();
        if ((d.frame->pict_type == AV_PICTURE_TYPE_I) != key) finding();
        if (!same_picture(d.frame, v2enc_reconstruction(e), w, h)) finding();
        motion_search_end_frame(s, e.mv.data());
    }
    motion_search_close(s);
    v2enc_close(e);
    return 0;
}
