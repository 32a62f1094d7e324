// Codec driver over libavcodec. One procedure serves every FourCC: MP42
// (MS-MPEG-4 v2), MP43/DIV3/DIV4 (v3) and MPG4 (v1) compress and decompress;
// any FourCC that the AVI tag table of libavformat maps to a decoder
// decompresses only. libavcodec has no v1 encoder: MPG4 frames are coded by
// its v2 encoder and rewritten into v1 syntax without loss (mpg4_rewrite.h). Frames in and out are 24-bit BGR, bottom-up unless
// biHeight is negative, converted with libswscale.
//
// libswscale works in whole vectors: fed the caller's frame through a
// negative stride at a width that is not a multiple of 8 it gave wrong pixels
// in the last columns and wrote past the end of the buffer. Such frames (and
// top-down ones) go through a top-down picture of ours with aligned, padded
// rows, copied row by row to or from the caller's frame. A bottom-up frame at
// a width that is a multiple of 8 is converted in place, walked from its last
// row with a negative stride; on the way out the two rows at the end of its
// memory (the top of the picture) still go through our picture, so that no
// vector store can land behind the buffer. Both ways give the same bytes.
//
// Compression codes every frame at a quantiser chosen by our own rate control
// (rate_control.h). A second ICM_COMPRESS_BEGIN without an end forces the next
// frame to be a key frame; as a key frame references nothing and MS-MPEG-4 has
// a single reference picture, a delta frame coded before it and thrown away by
// the caller leaves no trace in what follows.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/icm/builtin.h"
#include "platform/icm/dib.h"
#include "platform/icm/mpg4_rewrite.h"
#include "platform/icm/rate_control.h"

namespace {

enum class Motion { normal, low, fast };

struct Flavour {
    DWORD fcc;
    AVCodecID id;        // the decoder
    AVCodecID encoder;   // AV_CODEC_ID_NONE: decompresses only
    bool v1_rewrite;     // the encoder's v2 frames are rewritten into v1 syntax
    Motion motion;
};

constexpr Flavour flavours[] = {
    {mmioFOURCC('M', 'P', '4', '2'), AV_CODEC_ID_MSMPEG4V2, AV_CODEC_ID_MSMPEG4V2, false, Motion::normal},
    {mmioFOURCC('M', 'P', '4', '3'), AV_CODEC_ID_MSMPEG4V3, AV_CODEC_ID_MSMPEG4V3, false, Motion::normal},
    {mmioFOURCC('D', 'I', 'V', '3'), AV_CODEC_ID_MSMPEG4V3, AV_CODEC_ID_MSMPEG4V3, false, Motion::low},
    {mmioFOURCC('D', 'I', 'V', '4'), AV_CODEC_ID_MSMPEG4V3, AV_CODEC_ID_MSMPEG4V3, false, Motion::fast},
    {mmioFOURCC('M', 'P', 'G', '4'), AV_CODEC_ID_MSMPEG4V1, AV_CODEC_ID_MSMPEG4V2, true, Motion::normal},
};

const Flavour* find_flavour(DWORD fcc) {
    for (const auto& f : flavours)
        if (f.fcc == icm_fold_fourcc(fcc)) return &f;
    return nullptr;
}

// A decoder for a FourCC found in an AVI file, or none.
AVCodecID riff_decoder(DWORD fcc) {
    if (fcc == 0) return AV_CODEC_ID_NONE;
    const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
    const AVCodecID id = av_codec_get_id(tags, fcc);
    if (id == AV_CODEC_ID_NONE || !avcodec_find_decoder(id)) return AV_CODEC_ID_NONE;
    return id;
}

// The state block: 0-3 magic, 4-7 version, 8-15 bit rate in kbit/s as a
// little-endian double, 16-19 compression control in percent, 20-23 key
// seconds, 24-31 reserved (zero).
constexpr DWORD state_magic = mmioFOURCC('V', 'N', 'T', 'S');
constexpr DWORD state_version = 1;
constexpr std::size_t state_size = 32;
constexpr std::size_t state_min_size = 24;

struct CodecState {
    double kbps = 3000.0;
    std::int32_t control = 75;
    std::int32_t key_seconds = 8;
};

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t get32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A top-down BGR picture with rows aligned and padded for libswscale.
struct RgbPicture {
    std::uint8_t* data = nullptr;
    int stride = 0;
    int width = 0, height = 0;
};

void rgb_free(RgbPicture& p) {
    av_freep(&p.data);
    p = RgbPicture{};
}

bool rgb_reserve(RgbPicture& p, int width, int height) {
    if (p.data && p.width == width && p.height == height) return true;
    rgb_free(p);
    const int stride = (width * 3 + 63) & ~63;
    // One spare row and some bytes: libswscale writes whole vectors.
    p.data = static_cast<std::uint8_t*>(av_mallocz(static_cast<std::size_t>(stride) * (height + 1) + 64));
    if (!p.data) return false;
    p.stride = stride;
    p.width = width;
    p.height = height;
    return true;
}

// Rows [0, rows) of the caller's frame (any order) to and from our top-down picture.
void rgb_load(RgbPicture& p, const DibRows& src, int rows) {
    const std::size_t n = static_cast<std::size_t>(p.width) * 3;
    for (int y = 0; y < rows; ++y) std::memcpy(p.data + static_cast<std::size_t>(y) * p.stride, src.top + y * src.down, n);
}

void rgb_store(const RgbPicture& p, const DibRows& dst, int rows) {
    const std::size_t n = static_cast<std::size_t>(p.width) * 3;
    for (int y = 0; y < rows; ++y) std::memcpy(dst.top + y * dst.down, p.data + static_cast<std::size_t>(y) * p.stride, n);
}

// Rows at the top of a bottom-up frame that decoding still writes through our picture.
constexpr int kEdgeRows = 2;

bool g_direct_conversion = true;  // tests turn it off to compare both ways

// Whether the frame can be converted in place (see the top of the file).
bool direct_layout(const DibLayout& l) {
    return g_direct_conversion && !l.top_down && l.width % 8 == 0 && l.height > 2 * kEdgeRows;
}

struct Encoder {
    AVCodecContext* ctx = nullptr;
    SwsContext* sws = nullptr;
    AVFrame* frames[2] = {nullptr, nullptr};  // alternate: the codec keeps the last one referenced
    AVPacket* pkt = nullptr;
    Mpg4Rewriter v1;                // MPG4 only
    std::uint8_t* v1_data = nullptr;  // the rewritten frame
    std::size_t v1_capacity = 0;
    const std::uint8_t* coded = nullptr;  // the frame last coded: the packet or its rewrite
    RgbPicture rgb;
    int next_frame = 0;
    DibLayout in{};
    std::int64_t next_pts = 0;
    bool begun = false;
    bool force_key = true;
    std::uint32_t since_key = 0;
    std::uint32_t key_limit = 1;
    RateControl rc{};
};

struct Decoder {
    AVCodecContext* ctx = nullptr;
    AVCodecID id = AV_CODEC_ID_NONE;
    SwsContext* sws = nullptr;
    AVFrame* picture = nullptr;  // the last decoded picture
    AVFrame* scratch = nullptr;
    AVPacket* pkt = nullptr;
    RgbPicture rgb;
    std::uint8_t* data = nullptr;  // padded copy of the compressed frame
    std::size_t data_capacity = 0;
    bool begun = false;
    bool have_picture = false;
    int width = 0, height = 0;
    std::uint32_t palette[256] = {};
    bool palette_pending = false;
};

struct AvDriver {
    DWORD fcc = 0;
    const Flavour* flavour = nullptr;  // none: a decoder found in the tag table
    UINT mode = 0;
    CodecState state{};
    bool state_set = false;
    DWORD rate = 0, scale = 0;  // from ICM_COMPRESS_FRAMES_INFO
    LONG key_rate = 0;
    LONG data_rate = 0;
    Encoder enc;
    Decoder dec;
};

// ---- compression ----------------------------------------------------------

void encoder_free(Encoder& e) {
    avcodec_free_context(&e.ctx);
    sws_freeContext(e.sws);
    e.sws = nullptr;
    av_frame_free(&e.frames[0]);
    av_frame_free(&e.frames[1]);
    av_packet_free(&e.pkt);
    mpg4_rewriter_close(e.v1);
    av_freep(&e.v1_data);
    e.v1_capacity = 0;
    e.coded = nullptr;
    rgb_free(e.rgb);
    e.begun = false;
}

double frames_per_second(const AvDriver& d) {
    if (d.rate && d.scale) return static_cast<double>(d.rate) / d.scale;
    return 30000.0 / 1001.0;
}

LRESULT encoder_open(AvDriver& d, const DibLayout& in) {
    Encoder& e = d.enc;
    encoder_free(e);
    const AVCodec* codec = avcodec_find_encoder(d.flavour->encoder);
    if (!codec) return ICERR_UNSUPPORTED;
    e.ctx = avcodec_alloc_context3(codec);
    e.pkt = av_packet_alloc();
    if (!e.ctx || !e.pkt) {
        encoder_free(e);
        return ICERR_MEMORY;
    }
    AVCodecContext* c = e.ctx;
    c->width = in.width;
    c->height = in.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    // The stream header has five bits for the frame rate; timing lives in the AVI file.
    const int fps = std::clamp(static_cast<int>(std::lround(frames_per_second(d))), 1, 31);
    c->time_base = AVRational{1, fps};
    c->framerate = AVRational{fps, 1};
    c->bit_rate = static_cast<std::int64_t>(d.state.kbps * 1000.0);
    c->flags |= AV_CODEC_FLAG_QSCALE;  // our rate control sets each frame's quantiser
    c->global_quality = 4 * FF_QP2LAMBDA;
    c->qmin = rate_qmin;
    c->qmax = rate_qmax;
    c->max_b_frames = 0;
    c->thread_count = 1;
    // Rate-distortion macroblock decisions: with the simple decision, inter
    // blocks with big residuals lose their levels to clipping at fine
    // quantisers and show block noise that the finer quantiser was meant to avoid.
    c->mb_decision = FF_MB_DECISION_RD;
    // We decide every key frame; the codec may add one only at a scene cut.
    c->gop_size = 1 << 30;
    c->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;  // allows that long a gop
    switch (d.flavour->motion) {
        case Motion::low:  // small, precise search: slow-moving material
            c->me_range = 16;
            c->dia_size = 1;
            break;
        case Motion::fast:  // wide search with more predictors: fast motion
            c->me_range = 0;
            c->dia_size = 3;
            c->last_predictor_count = 2;
            c->pre_dia_size = 2;
            c->me_pre_cmp = FF_CMP_SAD;
            break;
        case Motion::normal:
            break;
    }
    if (avcodec_open2(c, codec, nullptr) < 0) {
        encoder_free(e);
        return ICERR_BADFORMAT;
    }
    e.sws = sws_getContext(in.width, in.height, AV_PIX_FMT_BGR24, in.width, in.height, AV_PIX_FMT_YUV420P,
                           SWS_BILINEAR, nullptr, nullptr, nullptr);
    for (auto& f : e.frames) {
        f = av_frame_alloc();
        if (!f) break;
        f->format = AV_PIX_FMT_YUV420P;
        f->width = in.width;
        f->height = in.height;
        if (av_frame_get_buffer(f, 0) < 0) av_frame_free(&f);
    }
    if (d.flavour->v1_rewrite) {
        // Room for any frame the caller takes: the uncompressed size.
        e.v1_capacity = in.size;
        e.v1_data = static_cast<std::uint8_t*>(av_malloc(e.v1_capacity));
        if (!e.v1_data || !mpg4_rewriter_open(e.v1, in.width, in.height, fps, static_cast<int>(d.state.kbps * 1000.0 / 1024.0))) {
            encoder_free(e);
            return ICERR_MEMORY;
        }
    }
    if (!e.sws || !e.frames[0] || !e.frames[1] || !rgb_reserve(e.rgb, in.width, in.height)) {
        encoder_free(e);
        return ICERR_MEMORY;
    }
    e.in = in;
    return ICERR_OK;
}

LRESULT compress_begin(AvDriver& d, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    if (!d.flavour || d.flavour->encoder == AV_CODEC_ID_NONE) return ICERR_UNSUPPORTED;
    DibLayout li{};
    if (!dib_layout_frame24(in, li)) return ICERR_BADFORMAT;
    if (out && (out->biWidth != in->biWidth || std::labs(out->biHeight) != li.height)) return ICERR_BADFORMAT;
    Encoder& e = d.enc;
    const bool same_size = e.ctx && e.in.width == li.width && e.in.height == li.height;
    if (e.begun && same_size) {
        // Begin again mid-stream: restart at a key frame; if the caller redoes
        // the last picture, the frame coded for it was thrown away.
        e.in = li;
        e.force_key = true;
        rate_restart(e.rc);
        return ICERR_OK;
    }
    if (!same_size) {
        const LRESULT r = encoder_open(d, li);
        if (r != ICERR_OK) return r;
    }
    e.in = li;
    const double fps = frames_per_second(d);
    double data_rate = d.state.kbps * 128.0;
    if (!d.state_set && d.data_rate > 0) data_rate = d.data_rate;
    std::uint64_t limit = static_cast<std::uint64_t>(d.state.key_seconds) * (d.rate && d.scale ? d.rate : 30000);
    limit = limit / (d.rate && d.scale ? d.scale : 1001) + 1;
    if (d.key_rate > 0) limit = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(d.key_rate));
    e.key_limit = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(limit, 1, 1u << 30));
    rate_init(e.rc, data_rate, fps, d.state.control, e.key_limit);
    e.force_key = true;
    e.since_key = 0;
    e.begun = true;
    return ICERR_OK;
}

// Codes one picture; e.coded points at the frame. Returns the size or < 0.
int encode_picture(Encoder& e, AVFrame* f, bool key, int qp) {
    av_packet_unref(e.pkt);
    e.coded = nullptr;
    f->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    f->quality = qp * FF_QP2LAMBDA;
    f->pts = e.next_pts++;
    if (avcodec_send_frame(e.ctx, f) < 0) return -1;
    if (avcodec_receive_packet(e.ctx, e.pkt) < 0) return -1;
    if (!e.v1_data) {
        e.coded = e.pkt->data;
        return e.pkt->size;
    }
    std::size_t size = 0;
    bool coded_key = false;
    switch (mpg4_rewrite_frame(e.v1, e.pkt->data, static_cast<std::size_t>(e.pkt->size), e.v1_data, e.v1_capacity,
                               &size, &coded_key)) {
        case mpg4_rewrite_ok:
            e.coded = e.v1_data;
            return static_cast<int>(size);
        case mpg4_rewrite_too_big:
            return INT_MAX;  // more than any caller takes: coded again, coarser
        case mpg4_rewrite_bad_input:
            break;
    }
    return -1;
}

AVFrame* writable_frame(Encoder& e) {
    for (int k = 0; k < 2; ++k) {
        AVFrame* f = e.frames[(e.next_frame + k) & 1];
        if (av_frame_is_writable(f)) {
            e.next_frame = (e.next_frame + k + 1) & 1;
            return f;
        }
    }
    // Not expected: the codec holds at most one of the two.
    AVFrame* f = e.frames[e.next_frame];
    e.next_frame ^= 1;
    return av_frame_make_writable(f) < 0 ? nullptr : f;
}

LRESULT compress(AvDriver& d, ICCOMPRESS* ic) {
    if (!ic || !ic->lpbiInput || !ic->lpInput || !ic->lpbiOutput || !ic->lpOutput) return ICERR_BADPARAM;
    Encoder& e = d.enc;
    if (!e.begun) {
        // A compress without a begin begins with the frame's own formats.
        const LRESULT r = compress_begin(d, ic->lpbiInput, ic->lpbiOutput);
        if (r != ICERR_OK) return r;
    }
    DibLayout li{};
    if (!dib_layout_frame24(ic->lpbiInput, li) || li.width != e.in.width || li.height != e.in.height)
        return ICERR_BADFORMAT;
    const std::size_t capacity = ic->lpbiInput->biSizeImage ? ic->lpbiInput->biSizeImage : li.size;

    bool key = (ic->dwFlags & ICCOMPRESS_KEYFRAME) || e.force_key || e.since_key >= e.key_limit;
    const auto* src_bytes = static_cast<const std::uint8_t*>(ic->lpInput);
    const std::uint64_t picture = rate_fingerprint(src_bytes, li.size);
    int qp = rate_choose(e.rc, key, picture, ic->dwFrameSize);

    AVFrame* f = writable_frame(e);
    if (!f) return ICERR_MEMORY;
    const DibRows rows = dib_rows(ic->lpInput, li);
    const std::uint8_t* src_planes[1] = {e.rgb.data};
    const int src_strides[1] = {e.rgb.stride};
    if (direct_layout(li)) {
        const std::uint8_t* rest[1] = {rows.top};
        const int rest_strides[1] = {static_cast<int>(rows.down)};
        sws_scale(e.sws, rest, rest_strides, 0, li.height, f->data, f->linesize);
    } else {
        rgb_load(e.rgb, rows, li.height);
        sws_scale(e.sws, src_planes, src_strides, 0, li.height, f->data, f->linesize);
    }

    int size = encode_picture(e, f, key, qp);
    if (size >= 0 && key && e.rc.cplx_key <= 0) {
        // First key frame: the trial coding taught us the picture; code it at
        // the quantiser the plan asks for (a key frame may be coded again freely).
        rate_learn_key(e.rc, qp, static_cast<std::uint32_t>(size));
        const int planned = rate_choose(e.rc, key, picture, ic->dwFrameSize);
        if (planned != qp) {
            qp = planned;
            size = encode_picture(e, f, key, qp);
        }
    }
    // Too big for the buffer: code it again more coarsely, as a key frame, since
    // the codec's reference now holds the picture we are about to drop.
    while (size >= 0 && static_cast<std::size_t>(size) > capacity && !(key && qp >= rate_qmax)) {
        key = true;
        qp = std::min(rate_qmax, qp + std::max(2, qp / 2));
        size = encode_picture(e, f, key, qp);
    }
    if (size < 0 || static_cast<std::size_t>(size) > capacity) {
        av_packet_unref(e.pkt);
        e.force_key = true;  // the codec's reference is no longer what the caller has
        ic->lpbiOutput->biSizeImage = 0;
        if (ic->lpdwFlags) *ic->lpdwFlags = 0;
        return size < 0 ? ICERR_INTERNAL : ICERR_BADSIZE;
    }
    const bool coded_key = key || (e.pkt->flags & AV_PKT_FLAG_KEY);
    std::memcpy(ic->lpOutput, e.coded, static_cast<std::size_t>(size));
    av_packet_unref(e.pkt);
    ic->lpbiOutput->biSizeImage = static_cast<DWORD>(size);
    if (ic->lpdwFlags) *ic->lpdwFlags = coded_key ? AVIIF_KEYFRAME : 0;
    e.since_key = coded_key ? 1 : e.since_key + 1;
    e.force_key = false;
    rate_coded(e.rc, coded_key, qp, static_cast<std::uint32_t>(size), picture);
    return ICERR_OK;
}

LRESULT compress_get_format(const AvDriver& d, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out) {
    DibLayout li{};
    if (!dib_layout_frame24(in, li)) return ICERR_BADFORMAT;
    if (!out) return sizeof(BITMAPINFOHEADER);
    *out = *in;
    out->biSize = sizeof(BITMAPINFOHEADER);
    out->biCompression = d.fcc;
    out->biBitCount = 24;
    out->biSizeImage = static_cast<DWORD>(li.size);
    return ICERR_OK;
}

// ---- decompression --------------------------------------------------------

void decoder_free(Decoder& k) {
    avcodec_free_context(&k.ctx);
    sws_freeContext(k.sws);
    k.sws = nullptr;
    av_frame_free(&k.picture);
    av_frame_free(&k.scratch);
    av_packet_free(&k.pkt);
    av_freep(&k.data);
    rgb_free(k.rgb);
    k.data_capacity = 0;
    k.begun = false;
    k.have_picture = false;
}

bool decoder_reserve(Decoder& k, std::size_t n) {
    if (n <= k.data_capacity) return true;
    av_freep(&k.data);
    k.data_capacity = 0;
    k.data = static_cast<std::uint8_t*>(av_malloc(n + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!k.data) return false;
    k.data_capacity = n;
    return true;
}

AVCodecID decoder_for(const AvDriver& d, const BITMAPINFOHEADER* in) {
    if (d.flavour) return d.flavour->id;
    AVCodecID id = riff_decoder(in->biCompression);
    if (id == AV_CODEC_ID_NONE) id = riff_decoder(d.fcc);
    return id;
}

LRESULT decompress_check(const AvDriver& d, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
                         DibLayout& lo) {
    if (!in || in->biSize < 40 || in->biWidth <= 0 || in->biHeight == 0 || in->biWidth > 16384 ||
        std::labs(in->biHeight) > 16384)
        return ICERR_BADFORMAT;
    if (decoder_for(d, in) == AV_CODEC_ID_NONE) return ICERR_BADFORMAT;
    if (!out) return ICERR_OK;
    if (!dib_layout_frame24(out, lo)) return ICERR_BADFORMAT;
    if (out->biWidth != in->biWidth || lo.height != std::labs(in->biHeight)) return ICERR_BADFORMAT;
    return ICERR_OK;
}

LRESULT decompress_begin(AvDriver& d, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    DibLayout lo{};
    if (!out) return ICERR_BADFORMAT;
    LRESULT r = decompress_check(d, in, out, lo);
    if (r != ICERR_OK) return r;
    Decoder& k = d.dec;
    const AVCodecID id = decoder_for(d, in);
    const int width = in->biWidth;
    const int height = static_cast<int>(std::labs(in->biHeight));
    if (k.ctx && k.id == id && k.width == width && k.height == height && in->biSize <= 40) {
        // Same stream shape: a flush restarts the decoder without reopening it.
        avcodec_flush_buffers(k.ctx);
        k.have_picture = false;
        k.begun = true;
        return ICERR_OK;
    }
    decoder_free(k);
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec) return ICERR_UNSUPPORTED;
    k.ctx = avcodec_alloc_context3(codec);
    k.picture = av_frame_alloc();
    k.scratch = av_frame_alloc();
    k.pkt = av_packet_alloc();
    if (!k.ctx || !k.picture || !k.scratch || !k.pkt) {
        decoder_free(k);
        return ICERR_MEMORY;
    }
    AVCodecContext* c = k.ctx;
    c->width = width;
    c->height = height;
    c->codec_tag = in->biCompression;
    c->bits_per_coded_sample = in->biBitCount;
    c->thread_count = 1;
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // Codec set-up bytes follow the 40-byte header when biSize says so.
    if (in->biSize > 40) {
        const std::size_t n = in->biSize - 40;
        c->extradata = static_cast<std::uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!c->extradata) {
            decoder_free(k);
            return ICERR_MEMORY;
        }
        std::memcpy(c->extradata, reinterpret_cast<const std::uint8_t*>(in) + 40, n);
        c->extradata_size = static_cast<int>(n);
    }
    if (avcodec_open2(c, codec, nullptr) < 0) {
        decoder_free(k);
        return ICERR_BADFORMAT;
    }
    // A palette follows the header (after biSize bytes) for 8 bits and fewer.
    k.palette_pending = false;
    if (in->biBitCount > 0 && in->biBitCount <= 8) {
        const std::uint32_t n = dib_palette_entries(in);
        const auto* pal = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const std::uint8_t*>(in) + in->biSize);
        for (std::uint32_t i = 0; i < 256; ++i)
            k.palette[i] = i < n ? (0xFFu << 24) | (pal[i].rgbRed << 16) | (pal[i].rgbGreen << 8) | pal[i].rgbBlue
                                 : 0xFF000000u;
        k.palette_pending = true;
    }
    if (!decoder_reserve(k, std::max<std::size_t>(in->biSizeImage, 4096))) {
        decoder_free(k);
        return ICERR_MEMORY;
    }
    k.id = id;
    k.width = width;
    k.height = height;
    k.begun = true;
    return ICERR_OK;
}

// Hands one compressed frame to the decoder and keeps the newest picture.
bool send_frame_data(Decoder& k, const ICDECOMPRESS* ic) {
    const std::size_t n = ic->lpbiInput->biSizeImage;
    if (n > static_cast<std::size_t>(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE || !decoder_reserve(k, n)) return false;
    std::memcpy(k.data, ic->lpInput, n);
    std::memset(k.data + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_packet_unref(k.pkt);
    k.pkt->data = k.data;
    k.pkt->size = static_cast<int>(n);
    if (!(ic->dwFlags & ICDECOMPRESS_NOTKEYFRAME)) k.pkt->flags |= AV_PKT_FLAG_KEY;
    if (k.palette_pending) {
        std::uint8_t* side = av_packet_new_side_data(k.pkt, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
        if (side) std::memcpy(side, k.palette, AVPALETTE_SIZE);
        k.palette_pending = false;
    }
    int sent = avcodec_send_packet(k.ctx, k.pkt);
    av_packet_unref(k.pkt);
    if (sent < 0) return false;
    bool got = false;
    while (avcodec_receive_frame(k.ctx, k.scratch) >= 0) {
        av_frame_unref(k.picture);
        av_frame_move_ref(k.picture, k.scratch);
        got = true;
    }
    if (got) k.have_picture = true;
    return true;
}

LRESULT decompress(AvDriver& d, const ICDECOMPRESS* ic) {
    if (!ic || !ic->lpbiInput || !ic->lpbiOutput || !ic->lpOutput) return ICERR_BADPARAM;
    Decoder& k = d.dec;
    if (!k.begun) {
        const LRESULT r = decompress_begin(d, ic->lpbiInput, ic->lpbiOutput);
        if (r != ICERR_OK) return r;
    }
    if (ic->dwFlags & ICDECOMPRESS_NULLFRAME) return ICERR_OK;
    DibLayout lo{};
    if (!dib_layout_frame24(ic->lpbiOutput, lo) || ic->lpbiInput->biWidth != k.width ||
        std::labs(ic->lpbiInput->biHeight) != k.height)
        return ICERR_BADFORMAT;
    // The compressed size is the input header's biSizeImage: the caller's
    // buffer holds at least that many bytes.
    const std::size_t n = ic->lpbiInput->biSizeImage;
    if (n != 0 && !ic->lpInput) return ICERR_BADPARAM;
    // An empty frame (a dropped frame in an AVI file) repeats the last picture.
    if (n != 0 && !send_frame_data(k, ic)) return ICERR_ERROR;
    if (!k.have_picture) return ICERR_DONTDRAW;  // a codec with delay has nothing to show yet
    if (ic->dwFlags & ICDECOMPRESS_HURRYUP) return ICERR_OK;

    AVFrame* p = k.picture;
    if (!rgb_reserve(k.rgb, lo.width, lo.height)) return ICERR_MEMORY;
    // The fast YUV-to-RGB path of libswscale gets the last columns wrong when
    // the width is not a multiple of 8; the exact path does not.
    const int flags = SWS_BILINEAR | (lo.width % 8 ? SWS_ACCURATE_RND : 0);
    k.sws = sws_getCachedContext(k.sws, p->width, p->height, static_cast<AVPixelFormat>(p->format), lo.width,
                                 lo.height, AV_PIX_FMT_BGR24, flags, nullptr, nullptr, nullptr);
    if (!k.sws) return ICERR_BADFORMAT;
    std::uint8_t* dst_planes[1] = {k.rgb.data};
    const int dst_strides[1] = {k.rgb.stride};
    const DibRows rows = dib_rows(ic->lpOutput, lo);
    if (direct_layout(lo) && p->format == AV_PIX_FMT_YUV420P && p->width == lo.width && p->height == lo.height) {
        // The top rows into our picture, the others straight into the caller's frame.
        sws_scale(k.sws, p->data, p->linesize, 0, kEdgeRows, dst_planes, dst_strides);
        rgb_store(k.rgb, rows, kEdgeRows);
        std::uint8_t* rest[1] = {rows.top};
        const int rest_strides[1] = {static_cast<int>(rows.down)};
        const std::uint8_t* src_rest[4] = {nullptr, nullptr, nullptr, nullptr};
        const int chroma_rows = kEdgeRows >> 1;  // 4:2:0
        src_rest[0] = p->data[0] + kEdgeRows * p->linesize[0];
        src_rest[1] = p->data[1] + chroma_rows * p->linesize[1];
        src_rest[2] = p->data[2] + chroma_rows * p->linesize[2];
        sws_scale(k.sws, src_rest, p->linesize, kEdgeRows, lo.height - kEdgeRows, rest, rest_strides);
    } else {
        sws_scale(k.sws, p->data, p->linesize, 0, p->height, dst_planes, dst_strides);
        rgb_store(k.rgb, rows, lo.height);
    }
    return ICERR_OK;
}

LRESULT decompress_get_format(const AvDriver& d, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out) {
    DibLayout lo{};
    const LRESULT r = decompress_check(d, in, nullptr, lo);
    if (r != ICERR_OK) return r;
    if (!out) return sizeof(BITMAPINFOHEADER);
    *out = BITMAPINFOHEADER{};
    out->biSize = sizeof(BITMAPINFOHEADER);
    out->biWidth = in->biWidth;
    out->biHeight = static_cast<LONG>(std::labs(in->biHeight));
    out->biPlanes = 1;
    out->biBitCount = 24;
    out->biCompression = BI_RGB;
    out->biSizeImage = static_cast<DWORD>(static_cast<std::size_t>(out->biWidth) * out->biHeight * 3);
    return ICERR_OK;
}

// ---- state ----------------------------------------------------------------

LRESULT get_state(const AvDriver& d, std::uint8_t* buf, std::size_t n) {
    if (!buf) return state_size;
    if (n < state_size) return ICERR_BADSIZE;
    std::memset(buf, 0, state_size);
    put32(buf, state_magic);
    put32(buf + 4, state_version);
    std::uint64_t bits;
    std::memcpy(&bits, &d.state.kbps, 8);
    put32(buf + 8, static_cast<std::uint32_t>(bits));
    put32(buf + 12, static_cast<std::uint32_t>(bits >> 32));
    put32(buf + 16, static_cast<std::uint32_t>(d.state.control));
    put32(buf + 20, static_cast<std::uint32_t>(d.state.key_seconds));
    return state_size;
}

LRESULT set_state(AvDriver& d, const std::uint8_t* buf, std::size_t n) {
    if (!buf) {
        d.state = CodecState{};
        d.state_set = false;
        return 0;
    }
    if (n < state_min_size) return ICERR_BADSIZE;
    if (get32(buf) != state_magic || get32(buf + 4) != state_version) return ICERR_BADFORMAT;
    const std::uint64_t bits = get32(buf + 8) | (static_cast<std::uint64_t>(get32(buf + 12)) << 32);
    double kbps;
    std::memcpy(&kbps, &bits, 8);
    if (!std::isfinite(kbps) || kbps < 1.0 || kbps > 1.0e6) return ICERR_BADPARAM;
    d.state.kbps = kbps;
    d.state.control = std::clamp(static_cast<std::int32_t>(get32(buf + 16)), 1, 100);
    d.state.key_seconds = std::clamp(static_cast<std::int32_t>(get32(buf + 20)), 1, 9999);
    d.state_set = true;
    return static_cast<LRESULT>(std::min(n, state_size));
}

LRESULT open_driver(ICOPEN* open) {
    if (!open) return 0;
    const UINT mode = open->dwFlags;
    const Flavour* flavour = find_flavour(open->fccHandler);
    const bool compress = mode == ICMODE_COMPRESS || mode == ICMODE_FASTCOMPRESS;
    const bool decompress = mode == ICMODE_DECOMPRESS || mode == ICMODE_FASTDECOMPRESS || mode == ICMODE_QUERY;
    bool ok = false;
    if (compress)
        ok = flavour && flavour->encoder != AV_CODEC_ID_NONE;
    else if (decompress)
        ok = flavour || riff_decoder(open->fccHandler) != AV_CODEC_ID_NONE;
    if (!ok) {
        // As for a codec that is not installed.
        open->dwError = ICERR_UNSUPPORTED;
        return 0;
    }
    auto* d = new (std::nothrow) AvDriver;
    if (!d) {
        open->dwError = ICERR_MEMORY;
        return 0;
    }
    d->fcc = flavour ? flavour->fcc : open->fccHandler;
    d->flavour = flavour;
    d->mode = mode;
    return reinterpret_cast<LRESULT>(d);
}

}  // namespace

void icm_av_set_direct_conversion(int on) { g_direct_conversion = on != 0; }

LRESULT CALLBACK icm_av_driver_proc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
    auto* d = reinterpret_cast<AvDriver*>(id);
    switch (msg) {
        case DRV_LOAD: {
            // The media libraries print to stderr by default; a system codec stays quiet.
            static std::once_flag quiet;
            std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
            return 1;
        }
        case DRV_ENABLE: case DRV_DISABLE: case DRV_FREE:
            return 1;
        case DRV_OPEN:
            return open_driver(reinterpret_cast<ICOPEN*>(p2));
        case DRV_CLOSE:
            if (d) {
                encoder_free(d->enc);
                decoder_free(d->dec);
                delete d;
            }
            return 1;
        default:
            break;
    }
    if (!d) return ICERR_BADHANDLE;
    auto* in = reinterpret_cast<BITMAPINFOHEADER*>(p1);
    auto* out = reinterpret_cast<BITMAPINFOHEADER*>(p2);
    const bool can_compress = d->flavour && d->flavour->encoder != AV_CODEC_ID_NONE &&
                              (d->mode == ICMODE_COMPRESS || d->mode == ICMODE_FASTCOMPRESS ||
                               d->mode == ICMODE_QUERY);
    DibLayout layout{};
    switch (msg) {
        case ICM_GETSTATE:
            return get_state(*d, reinterpret_cast<std::uint8_t*>(p1), static_cast<std::size_t>(p2));
        case ICM_SETSTATE:
            return set_state(*d, reinterpret_cast<const std::uint8_t*>(p1), static_cast<std::size_t>(p2));
        case ICM_COMPRESS_FRAMES_INFO: {
            const auto* info = reinterpret_cast<const ICCOMPRESSFRAMES*>(p1);
            if (!info) return ICERR_BADPARAM;
            d->rate = info->dwRate;
            d->scale = info->dwScale;
            d->key_rate = info->lKeyRate;
            d->data_rate = info->lDataRate;
            return ICERR_OK;
        }
        case ICM_COMPRESS_QUERY:
            if (!can_compress) return ICERR_UNSUPPORTED;
            if (!dib_layout_frame24(in, layout)) return ICERR_BADFORMAT;
            return ICERR_OK;
        case ICM_COMPRESS_GET_FORMAT:
            if (!can_compress) return ICERR_UNSUPPORTED;
            return compress_get_format(*d, in, out);
        case ICM_COMPRESS_GET_SIZE:
            if (!can_compress) return ICERR_UNSUPPORTED;
            if (!dib_layout_frame24(in, layout)) return ICERR_BADFORMAT;
            return static_cast<LRESULT>(layout.size);
        case ICM_COMPRESS_BEGIN:
            if (!can_compress) return ICERR_UNSUPPORTED;
            return compress_begin(*d, in, out);
        case ICM_COMPRESS:
            if (!can_compress) return ICERR_UNSUPPORTED;
            return compress(*d, reinterpret_cast<ICCOMPRESS*>(p1));
        case ICM_COMPRESS_END:
            d->enc.begun = false;
            return ICERR_OK;
        case ICM_DECOMPRESS_QUERY:
            return decompress_check(*d, in, out, layout);
        case ICM_DECOMPRESS_GET_FORMAT:
            return decompress_get_format(*d, in, out);
        case ICM_DECOMPRESS_BEGIN:
            return decompress_begin(*d, in, out);
        case ICM_DECOMPRESS:
            return decompress(*d, reinterpret_cast<const ICDECOMPRESS*>(p1));
        case ICM_DECOMPRESS_END:
            d->dec.begun = false;
            return ICERR_OK;
        default:
            return ICERR_UNSUPPORTED;
    }
}
