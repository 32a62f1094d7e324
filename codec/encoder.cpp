// Compression in the codec driver over libavcodec. Every frame is coded at
// a quantiser chosen by our own rate control (rate_control.h); MPG4 frames
// are then rewritten from v2 into v1 syntax (mpg4_rewrite.h). A second
// ICM_COMPRESS_BEGIN without an end forces a key frame from a fresh
// libavcodec context: the coder carries more than its reference picture from
// frame to frame, and a delta the caller threw away must leave no trace.
// When the begin is followed by the picture of the frame before the last
// (the caller coded n + 1 ahead and redoes n), the last frame is taken back
// first (CodecEncoderMark). docs/codec.md, "Compression, redos and take-back".
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec/driver.h"
#include "codec/picture_hash.h"
#include "common/units.h"

namespace {

void own_close(CodecOwnEncoder& o) {
    v2enc_close(o.coder);
    motion_search_close(o.search);
    o.vectors = {};
    o.costs = {};
    av_freep(&o.data);
    o.capacity = 0;
    o.on = false;
}

}  // namespace

void codec_encoder_free(CodecEncoder& e) {
    avcodec_free_context(&e.ctx);
    own_close(e.own);
    e.open = false;
    pixels_to_yuv_close(e.convert);
    av_frame_free(&e.frames[0]);
    av_frame_free(&e.frames[1]);
    av_packet_free(&e.pkt);
    self_check_close(e.check);
    mpg4_rewriter_close(e.v1);
    av_freep(&e.v1_data);
    e.v1_capacity = 0;
    e.coded = nullptr;
    e.begun = false;
}

namespace {

double frames_per_second(const CodecDriver& d) {
    if (d.rate && d.scale) return static_cast<double>(d.rate) / d.scale;
    return static_cast<double>(codec_default_rate) / codec_default_scale;
}

// A libavcodec context for pictures of the size of in, set up as every
// frame of the run is coded.
LRESULT context_open(CodecDriver& d, const DibLayout& in) {
    CodecEncoder& e = d.enc;
    avcodec_free_context(&e.ctx);
    const AVCodec* codec = avcodec_find_encoder(d.codec->encoder);
    if (!codec) return ICERR_UNSUPPORTED;
    e.ctx = avcodec_alloc_context3(codec);
    if (!e.ctx) return ICERR_MEMORY;
    AVCodecContext* c = e.ctx;
    c->width = in.width;
    c->height = in.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    // The stream header has five bits for the frame rate; timing lives in the AVI file.
    const int fps = std::clamp(static_cast<int>(std::lround(frames_per_second(d))), 1, 31);
    c->time_base = AVRational{1, fps};
    c->framerate = AVRational{fps, 1};
    c->bit_rate = static_cast<std::int64_t>(kbps_to_bits_per_second(d.state.kbps));
    c->flags |= AV_CODEC_FLAG_QSCALE;  // our rate control sets each frame's quantiser
    c->global_quality = 4 * FF_QP2LAMBDA;
    c->qmin = rate_qmin;
    c->qmax = rate_qmax;
    c->max_b_frames = 0;
    c->thread_count = 1;
    c->idct_algo = codec_idct;
    // Rate-distortion macroblock decisions: with the simple decision, inter
    // blocks with big residuals lose their levels to clipping at fine
    // quantisers and show block noise that the finer quantiser was meant to avoid.
    c->mb_decision = FF_MB_DECISION_RD;
    // We decide every key frame; the codec may add one only at a scene cut.
    c->gop_size = 1 << 30;
    c->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;  // allows that long a gop
    switch (d.codec->motion) {
        case CodecMotion::low:  // small, precise search: slow-moving material
            c->me_range = 16;
            c->dia_size = 1;
            break;
        case CodecMotion::fast:  // wide search with more predictors: fast motion
            c->me_range = 0;
            c->dia_size = 3;
            c->last_predictor_count = 2;
            c->pre_dia_size = 2;
            c->me_pre_cmp = FF_CMP_SAD;
            break;
        case CodecMotion::normal:
            break;
    }
    if (avcodec_open2(c, codec, nullptr) < 0) {
        avcodec_free_context(&e.ctx);
        return ICERR_BADFORMAT;
    }
    return ICERR_OK;
}

// Our own coder for pictures of the size of in: the coder, its search, and
// room for the largest frame any caller takes.
bool own_open(CodecEncoder& e, const DibLayout& in) {
    CodecOwnEncoder& o = e.own;
    if (!v2enc_open(o.coder, in.width, in.height, codec_encoder_threads) ||
        !motion_search_open(o.search, o.coder.mb_width, o.coder.mb_height))
        return false;
    const std::size_t mbs = static_cast<std::size_t>(o.coder.mb_width) * o.coder.mb_height;
    o.vectors.assign(mbs, CodecMv{0, 0});
    o.costs.assign(mbs, 0);
    o.capacity = std::max<std::size_t>(in.size, dib_compressed_capacity(in));
    o.data = static_cast<std::uint8_t*>(av_mallocz(o.capacity + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!o.data) return false;
    o.on = true;
    return true;
}

// The frame rate as the stream header holds it (five bits).
int header_fps(const CodecDriver& d) {
    return std::clamp(static_cast<int>(std::lround(frames_per_second(d))), 1, 31);
}

LRESULT encoder_open(CodecDriver& d, const DibLayout& in) {
    CodecEncoder& e = d.enc;
    codec_encoder_free(e);
    e.pkt = av_packet_alloc();
    if (!e.pkt) return ICERR_MEMORY;
    const bool own = codec_own_encoder && d.codec->encoder == AV_CODEC_ID_MSMPEG4V2 && !d.codec->rewrite_v1;
    if (own) {
        if (!own_open(e, in)) {
            codec_encoder_free(e);
            return ICERR_MEMORY;
        }
    } else {
        const LRESULT r = context_open(d, in);
        if (r != ICERR_OK) {
            codec_encoder_free(e);
            return r;
        }
    }
    const int fps = header_fps(d);
    // libavcodec's coder takes frames converted by libswscale; ours converts
    // into its own source (own_search_and_code_band).
    if (!own) {
        for (auto& f : e.frames) {
            f = av_frame_alloc();
            if (!f) break;
            f->format = AV_PIX_FMT_YUV420P;
            f->width = in.width;
            f->height = in.height;
            if (av_frame_get_buffer(f, 0) < 0) av_frame_free(&f);
        }
        if (!e.frames[0] || !e.frames[1] || !pixels_to_yuv_open(e.convert, in.width, in.height)) {
            codec_encoder_free(e);
            return ICERR_MEMORY;
        }
    }
    if (d.codec->rewrite_v1) {
        // Room for any frame the caller takes: the uncompressed size.
        e.v1_capacity = in.size;
        e.v1_data = static_cast<std::uint8_t*>(av_malloc(e.v1_capacity));
        if (!e.v1_data ||
            !mpg4_rewriter_open(e.v1, in.width, in.height, fps, static_cast<int>(kbps_to_header_rate(d.state.kbps)))) {
            codec_encoder_free(e);
            return ICERR_MEMORY;
        }
    }
    // Without a decoder the rate control goes on as before it could look. Our
    // own coder needs none: its reconstruction is the decoder's picture, and
    // it measures the blocks itself.
    if (!own) (void)self_check_open(e.check, d.codec->encoder, in.width, in.height);
    e.in = in;
    e.open = true;
    return ICERR_OK;
}

}  // namespace

LRESULT codec_compress_begin(CodecDriver& d, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    if (!d.codec || !d.codec->compresses) return ICERR_UNSUPPORTED;
    DibLayout li{};
    if (!dib_layout_frame24(in, li)) return ICERR_BADFORMAT;
    if (out && (out->biWidth != in->biWidth || std::labs(out->biHeight) != li.height)) return ICERR_BADFORMAT;
    CodecEncoder& e = d.enc;
    const bool same_size = e.open && e.in.width == li.width && e.in.height == li.height;
    if (e.begun && same_size) {
        // Begin again mid-stream: restart at a key frame from a fresh coder; if
        // the caller redoes the last picture (or the one before, see above),
        // what was coded for it was thrown away. Our own coder starts every
        // key picture afresh; only the search's memory of the last vectors
        // must go.
        if (e.own.on) {
            std::fill(e.own.vectors.begin(), e.own.vectors.end(), CodecMv{0, 0});
            motion_search_end_frame(e.own.search, e.own.vectors.data());
        } else {
            const LRESULT r = context_open(d, li);
            if (r != ICERR_OK) {
                codec_encoder_free(e);
                return r;
            }
        }
        e.in = li;
        e.force_key = true;
        e.restarted = true;
        self_check_restart(e.check);
        rate_restart(e.rc);
        return ICERR_OK;
    }
    if (!same_size) {
        const LRESULT r = encoder_open(d, li);
        if (r != ICERR_OK) return r;
    }
    e.in = li;
    const double fps = frames_per_second(d);
    double data_rate = kbps_to_bytes_per_second(d.state.kbps);
    if (!d.state_set && d.data_rate > 0) data_rate = d.data_rate;
    std::uint64_t limit =
        static_cast<std::uint64_t>(d.state.key_seconds) * (d.rate && d.scale ? d.rate : codec_default_rate);
    limit = limit / (d.rate && d.scale ? d.scale : codec_default_scale) + 1;
    if (d.key_rate > 0) limit = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(d.key_rate));
    e.key_limit = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(limit, 1, 1u << 30));
    rate_init(e.rc, data_rate, fps, d.state.control, e.key_limit);
    if (d.checked_rule) codec_compress_checked(d, d.checked_rule);
    e.force_key = true;
    e.since_key = 0;
    e.restarted = false;
    e.before_last = CodecEncoderMark{};
    e.begun = true;
    return ICERR_OK;
}

LRESULT codec_compress_checked(CodecDriver& d, std::uint32_t rule) {
    const int diff = icm_checked_diff(rule), pixels = icm_checked_pixels(rule);
    if (diff <= 0 || pixels <= 0) return ICERR_BADPARAM;
    d.checked_rule = rule;
    // Kept for the next begin too, which starts the rate control afresh.
    rate_checked(d.enc.rc, pixels);
    self_check_rule(d.enc.check, diff);
    // Our own coder keeps each block within the rule with the margin the
    // rate control wants before it tries a coarser quantiser (half the
    // rule's pixels), counting pixels off by the rule's difference taken to
    // Y' (off_level).
    d.enc.own.coder.check_level = d.enc.check.off_level;
    d.enc.own.coder.check_target = d.enc.rc.headroom;
    return ICERR_OK;
}

namespace {

// One picture of our own coder, band by band on the coder's threads.
struct OwnPicture {
    CodecOwnEncoder* o;
    bool key;
    bool convert;  // the frame's first coding: its source still to be made
    int lambda;
    V2Picture cur, ref;
};

// A band: on the frame's first coding its source converted from the caller's
// picture and padded; a delta's vectors searched; then coded; all on the same
// thread. Neither the search nor the coding of a slice needs anything of the
// slices above it.
void own_search_and_code_band(void* arg, int k) {
    const OwnPicture& p = *static_cast<const OwnPicture*>(arg);
    CodecOwnEncoder& o = *p.o;
    const V2Band rows = v2enc_band(o.coder, k);
    if (p.convert) {
        const int y0 = 16 * rows.first, y1 = std::min(16 * rows.end, o.coder.height);
        const PixelsPlanes planes{{p.cur.plane[0], p.cur.plane[1], p.cur.plane[2]},
                                  {p.cur.stride[0], p.cur.stride[1], p.cur.stride[2]}};
        if (y0 < y1) pixels_bgr_to_yuv420(o.frame, o.coder.width, o.coder.height, y0, y1, planes);
        v2enc_pad_rows(o.coder, rows);
    }
    if (!p.key) {
        for (int mby = rows.first; mby < rows.end; ++mby)
            motion_search_row(o.search, p.cur.plane[0], p.cur.stride[0], p.ref.plane[0], p.ref.stride[0], mby,
                              p.lambda, o.vectors.data(), o.costs.data());
    }
    v2enc_code_band(o.coder, k);
}

// Our own coder: a delta's vectors searched against the reference at a
// weight of bits that grows with the quantiser, then the picture. The packet
// points at the coded frame.
int own_encode_picture(CodecEncoder& e, bool key, int qp, std::size_t capacity) {
    CodecOwnEncoder& o = e.own;
    const int bands =
        v2enc_begin(o.coder, key, qp, key ? nullptr : o.vectors.data(), o.data, std::min(capacity, o.capacity));
    if (bands < 0) return -1;
    // The search's predictor follows the slices the coder codes in.
    o.search.slice_rows = o.coder.coding.slice_rows;
    OwnPicture picture{&o, key, o.convert, 16 * qp, v2enc_source(o.coder), v2enc_reconstruction(o.coder)};
    codec_workers_run(o.coder.workers, bands, own_search_and_code_band, &picture);
    // Every band ran: the whole source is made, whatever layout a coding
    // again of the frame takes.
    o.convert = false;
    const int size = v2enc_finish(o.coder);
    if (size == 0) return INT_MAX;  // more than the caller takes: coded again, coarser
    if (size < 0) return -1;
    // The search remembers what was coded (zero for intra and skipped macroblocks).
    motion_search_end_frame(o.search, o.coder.mv.data());
    std::memset(o.data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    e.pkt->data = o.data;
    e.pkt->size = size;
    if (key) e.pkt->flags |= AV_PKT_FLAG_KEY;
    e.coded = o.data;
    return size;
}

// Codes one picture; e.coded points at the frame. Returns the size or < 0.
int encode_picture(CodecEncoder& e, AVFrame* f, bool key, int qp, std::size_t capacity) {
    av_packet_unref(e.pkt);
    e.coded = nullptr;
    if (e.own.on) return own_encode_picture(e, key, qp, capacity);
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

AVFrame* writable_frame(CodecEncoder& e) {
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

// The first frame after a begin mid-stream: when it is the picture of the
// frame before the last and not of the last, the last frame was coded ahead
// and thrown away unseen; the state goes back to before it, and the begin
// stands, so that the redo finds what it would have found without it.
void take_back_if_redone(CodecEncoder& e, std::uint64_t picture) {
    if (!e.restarted) return;
    e.restarted = false;
    const CodecEncoderMark& m = e.before_last;
    if (!m.valid || !e.rc.pending || !m.rc.pending) return;
    if (picture == e.rc.pending_picture || picture != m.rc.pending_picture) return;
    e.rc = m.rc;
    e.since_key = m.since_key;
    e.next_pts = m.next_pts;
    e.next_frame = m.next_frame;
    e.v1.frame_number = m.v1_frame_number;
    e.v1.v2_slice_rows = m.v1_v2_slice_rows;
    rate_restart(e.rc);
}

}  // namespace

LRESULT codec_compress(CodecDriver& d, ICCOMPRESS* ic) {
    if (!ic || !ic->lpbiInput || !ic->lpInput || !ic->lpbiOutput || !ic->lpOutput) return ICERR_BADPARAM;
    CodecEncoder& e = d.enc;
    if (!e.begun) {
        // A compress without a begin begins with the frame's own formats.
        const LRESULT r = codec_compress_begin(d, ic->lpbiInput, ic->lpbiOutput);
        if (r != ICERR_OK) return r;
    }
    DibLayout li{};
    if (!dib_layout_frame24(ic->lpbiInput, li) || li.width != e.in.width || li.height != e.in.height)
        return ICERR_BADFORMAT;
    const std::size_t capacity = std::max<std::size_t>(ic->lpbiInput->biSizeImage, dib_compressed_capacity(li));

    const auto* src_bytes = static_cast<const std::uint8_t*>(ic->lpInput);
    const std::uint64_t picture = picture_hash(src_bytes, li.size);
    take_back_if_redone(e, picture);
    e.before_last = CodecEncoderMark{e.rc, e.since_key, e.next_pts, e.next_frame, e.v1.frame_number,
                                  e.v1.v2_slice_rows, true};
    bool key = (ic->dwFlags & ICCOMPRESS_KEYFRAME) || e.force_key || e.since_key >= e.key_limit;
    int qp = rate_choose(e.rc, key, picture, ic->dwFrameSize);
    if (codec_fixed_quantiser) qp = codec_fixed_quantiser;

    const DibRows rows = dib_rows(ic->lpInput, li);
    AVFrame* f = nullptr;
    if (e.own.on) {
        e.own.frame = PixelsRows{rows.top, rows.down};
        e.own.convert = true;
    } else {
        f = writable_frame(e);
        if (!f) return ICERR_MEMORY;
        pixels_to_yuv(e.convert, PixelsRows{rows.top, rows.down}, f, codec_direct_conversion);
    }

    int size = encode_picture(e, f, key, qp, capacity);
    if (size >= 0 && key && e.rc.cplx_key <= 0) {
        // First key frame: the trial coding taught us the picture; code it at
        // the quantiser the plan asks for (a key frame may be coded again freely).
        rate_learn_key(e.rc, qp, static_cast<std::uint32_t>(size));
        const int planned = codec_fixed_quantiser ? qp : rate_choose(e.rc, key, picture, ic->dwFrameSize);
        if (planned != qp) {
            qp = planned;
            size = encode_picture(e, f, key, qp, capacity);
        }
    }
    // Too big for the buffer: code it again more coarsely, as a key frame, since
    // the codec's reference now holds the picture we are about to drop.
    while (size >= 0 && static_cast<std::size_t>(size) > capacity && !(key && qp >= rate_qmax)) {
        key = true;
        qp = std::min(rate_qmax, qp + std::max(2, qp / 2));
        size = encode_picture(e, f, key, qp, capacity);
    }
    if (size < 0 || static_cast<std::size_t>(size) > capacity) {
        av_packet_unref(e.pkt);
        e.force_key = true;  // the codec's reference is no longer what the caller has
        self_check_restart(e.check);
        ic->lpbiOutput->biSizeImage = 0;
        if (ic->lpdwFlags) *ic->lpdwFlags = 0;
        return size < 0 ? ICERR_INTERNAL : ICERR_BADSIZE;
    }
    const bool coded_key = key || (e.pkt->flags & AV_PKT_FLAG_KEY);
    std::memcpy(ic->lpOutput, e.coded, static_cast<std::size_t>(size));
    // With libavcodec's coder every frame is decoded to keep in step, and only
    // those the ceiling counts are measured; ours counts its blocks itself.
    const bool measure = rate_measures(e.rc, coded_key, qp);
    const int worst_block = e.own.on ? (measure && !coded_key && e.check.off_level > 0 ? e.own.coder.worst_off : -1)
                                     : self_check_frame(e.check, e.pkt, coded_key, measure, f);
    av_packet_unref(e.pkt);
    ic->lpbiOutput->biSizeImage = static_cast<DWORD>(size);
    if (ic->lpdwFlags) *ic->lpdwFlags = coded_key ? AVIIF_KEYFRAME : 0;
    e.since_key = coded_key ? 1 : e.since_key + 1;
    e.force_key = false;
    rate_coded(e.rc, coded_key, qp, static_cast<std::uint32_t>(size), picture, worst_block);
    return ICERR_OK;
}

LRESULT codec_compress_get_format(const CodecDriver& d, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out) {
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
