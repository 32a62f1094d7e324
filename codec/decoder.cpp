// Decompression in the codec driver over libavcodec: the MPEG-4 FourCCs and
// any other that the AVI tag table maps to a decoder, into 24-bit BGR frames,
// one picture for each frame (ICDecompress) or in display order for a caller
// that asks for it (codec/display_order.h).
#include <algorithm>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

#include "codec/driver.h"

void codec_decoder_free(CodecDecoder& k) {
    av_bsf_free(&k.unpack);
    av_buffer_pool_uninit(&k.packets);
    k.packet_room = 0;
    for (AVFrame*& f : k.held) av_frame_free(&f);
    k.held_first = k.held_count = 0;
    avcodec_free_context(&k.ctx);
    pixels_to_bgr_close(k.convert);
    av_frame_free(&k.picture);
    av_frame_free(&k.scratch);
    av_packet_free(&k.pkt);
    av_freep(&k.data);
    k.data_capacity = 0;
    k.begun = false;
    k.have_picture = false;
}

namespace {

bool decoder_reserve(CodecDecoder& k, std::size_t n) {
    if (n <= k.data_capacity) return true;
    av_freep(&k.data);
    k.data_capacity = 0;
    k.data = static_cast<std::uint8_t*>(av_malloc(n + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!k.data) return false;
    k.data_capacity = n;
    return true;
}

// A restart: nothing held, numbering from the next frame fed.
void drop_held(CodecDecoder& k) {
    for (int i = 0; i < k.held_count; ++i) av_frame_unref(k.held[(k.held_first + i) % CodecDecoder::held_max]);
    k.held_first = k.held_count = 0;
    k.numbering = false;
    k.last_number = -1;
}

// Display order: the held pictures, and for MPEG-4 the bitstream filter
// that unpacks DivX-style packed B-frames (one chunk holding a frame and the
// B-frame after it, the next chunk a placeholder), which libavcodec offers.
bool ordered_open(CodecDecoder& k, AVCodecID id) {
    for (AVFrame*& f : k.held)
        if (!(f = av_frame_alloc())) return false;
    if (id != AV_CODEC_ID_MPEG4) return true;
    // A build of libavcodec without the filter decodes unpacked streams all the same.
    const AVBitStreamFilter* filter = av_bsf_get_by_name("mpeg4_unpack_bframes");
    if (!filter) return true;
    if (av_bsf_alloc(filter, &k.unpack) < 0 || avcodec_parameters_from_context(k.unpack->par_in, k.ctx) < 0 ||
        av_bsf_init(k.unpack) < 0)
        av_bsf_free(&k.unpack);
    return true;
}

AVCodecID decoder_for(const CodecDriver& d, const BITMAPINFOHEADER* in) {
    if (d.codec) return d.codec->id;
    AVCodecID id = codec_riff_decoder(in->biCompression);
    if (id == AV_CODEC_ID_NONE) id = codec_riff_decoder(d.fcc);
    return id;
}

}  // namespace

LRESULT codec_decompress_check(const CodecDriver& d, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
                         DibLayout& lo) {
    if (!in || in->biSize < 40 || in->biWidth <= 0 || in->biHeight == 0 || in->biWidth > codec_max_side ||
        std::labs(in->biHeight) > codec_max_side)
        return ICERR_BADFORMAT;
    if (decoder_for(d, in) == AV_CODEC_ID_NONE) return ICERR_BADFORMAT;
    if (!out) return ICERR_OK;
    if (!dib_layout_frame24(out, lo)) return ICERR_BADFORMAT;
    if (out->biWidth != in->biWidth || lo.height != std::labs(in->biHeight)) return ICERR_BADFORMAT;
    return ICERR_OK;
}

LRESULT codec_decompress_begin(CodecDriver& d, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    DibLayout lo{};
    if (!out) return ICERR_BADFORMAT;
    LRESULT r = codec_decompress_check(d, in, out, lo);
    if (r != ICERR_OK) return r;
    CodecDecoder& k = d.dec;
    const AVCodecID id = decoder_for(d, in);
    const int width = in->biWidth;
    const int height = static_cast<int>(std::labs(in->biHeight));
    if (k.ctx && k.id == id && k.width == width && k.height == height && in->biSize <= 40) {
        // Same stream shape: a flush restarts the decoder without reopening it.
        avcodec_flush_buffers(k.ctx);
        if (k.unpack) av_bsf_flush(k.unpack);
        drop_held(k);
        k.have_picture = false;
        k.begun = true;
        return ICERR_OK;
    }
    codec_decoder_free(k);
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec) return ICERR_UNSUPPORTED;
    k.ctx = avcodec_alloc_context3(codec);
    k.picture = av_frame_alloc();
    k.scratch = av_frame_alloc();
    k.pkt = av_packet_alloc();
    if (!k.ctx || !k.picture || !k.scratch || !k.pkt) {
        codec_decoder_free(k);
        return ICERR_MEMORY;
    }
    AVCodecContext* c = k.ctx;
    c->width = width;
    c->height = height;
    c->codec_tag = in->biCompression;
    c->bits_per_coded_sample = in->biBitCount;
    c->thread_count = 1;
    c->idct_algo = codec_idct;
    // One picture for each frame, at once, unless the caller takes them in
    // display order: held back and reordered, a B-frame codec's pictures
    // come out in the order they are shown.
    if (!k.ordered) c->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // Codec set-up bytes follow the 40-byte header when biSize says so.
    if (in->biSize > 40) {
        const std::size_t n = in->biSize - 40;
        c->extradata = static_cast<std::uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!c->extradata) {
            codec_decoder_free(k);
            return ICERR_MEMORY;
        }
        std::memcpy(c->extradata, reinterpret_cast<const std::uint8_t*>(in) + 40, n);
        c->extradata_size = static_cast<int>(n);
    }
    if (avcodec_open2(c, codec, nullptr) < 0) {
        codec_decoder_free(k);
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
    if (!decoder_reserve(k, std::max<std::size_t>(in->biSizeImage, 4096)) || (k.ordered && !ordered_open(k, id))) {
        codec_decoder_free(k);
        return ICERR_MEMORY;
    }
    drop_held(k);
    k.id = id;
    k.width = width;
    k.height = height;
    k.begun = true;
    return ICERR_OK;
}

namespace {

// What every compressed frame takes with it: its key flag, and the palette
// the caller set since the last frame.
void mark_packet(CodecDecoder& k, DWORD flags) {
    if (!(flags & ICDECOMPRESS_NOTKEYFRAME)) k.pkt->flags |= AV_PKT_FLAG_KEY;
    if (k.palette_pending) {
        std::uint8_t* side = av_packet_new_side_data(k.pkt, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
        if (side) std::memcpy(side, k.palette, AVPALETTE_SIZE);
        k.palette_pending = false;
    }
}

// Hands one compressed frame to the decoder and keeps the newest picture.
bool send_frame_data(CodecDecoder& k, const ICDECOMPRESS* ic) {
    const std::size_t n = ic->lpbiInput->biSizeImage;
    if (n > static_cast<std::size_t>(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE || !decoder_reserve(k, n)) return false;
    std::memcpy(k.data, ic->lpInput, n);
    std::memset(k.data + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_packet_unref(k.pkt);
    k.pkt->data = k.data;
    k.pkt->size = static_cast<int>(n);
    mark_packet(k, ic->dwFlags);
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

// libswscale's plain YUV-to-RGB conversion, as ffmpeg and players make it
// (its exact-rounding path is worse: docs/codec.md, "Pixel conversion").
LRESULT convert_picture(CodecDecoder& k, const AVFrame* picture, const DibLayout& lo, void* bits) {
    const int flags = SWS_BILINEAR;
    const DibRows rows = dib_rows(bits, lo);
    switch (pixels_to_bgr(k.convert, picture, PixelsRows{rows.top, rows.down}, lo.width, lo.height, flags,
                          codec_direct_conversion ? PixelsWrite::guarded : PixelsWrite::staged)) {
        case PixelsResult::ok: break;
        case PixelsResult::no_memory: return ICERR_MEMORY;
        case PixelsResult::bad_format: return ICERR_BADFORMAT;
        case PixelsResult::failed: return ICERR_ERROR;
    }
    return ICERR_OK;
}

}  // namespace

LRESULT codec_decompress(CodecDriver& d, const ICDECOMPRESS* ic) {
    if (!ic || !ic->lpbiInput || !ic->lpbiOutput || !ic->lpOutput) return ICERR_BADPARAM;
    CodecDecoder& k = d.dec;
    if (!k.begun) {
        const LRESULT r = codec_decompress_begin(d, ic->lpbiInput, ic->lpbiOutput);
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
    return convert_picture(k, k.picture, lo, ic->lpOutput);
}

LRESULT codec_decompress_get_format(const CodecDriver& d, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out) {
    DibLayout lo{};
    const LRESULT r = codec_decompress_check(d, in, nullptr, lo);
    if (r != ICERR_OK) return r;
    if (!out) return sizeof(BITMAPINFOHEADER);
    *out = BITMAPINFOHEADER{};
    out->biSize = sizeof(BITMAPINFOHEADER);
    out->biWidth = in->biWidth;
    out->biHeight = static_cast<LONG>(std::labs(in->biHeight));
    out->biPlanes = 1;
    out->biBitCount = 24;
    out->biCompression = BI_RGB;
    out->biSizeImage = static_cast<DWORD>(dib_stride(out->biWidth, 24) * static_cast<std::size_t>(out->biHeight));
    return ICERR_OK;
}

namespace {

LONG first_held_number(const CodecDecoder& k) { return k.held_count ? k.held_number[k.held_first] : -1; }

// Every picture the codec has ready, numbered: a picture's place in display
// order is the number of the frame whose feeding brought it out, less the
// pictures the codec holds back (libavcodec's has_b_frames); and it comes
// after the picture before it. A number skipped is a frame shown without a
// picture of its own.
void receive_held(CodecDecoder& k) {
    while (avcodec_receive_frame(k.ctx, k.scratch) >= 0) {
        std::int64_t number = static_cast<std::int64_t>(k.last_number) + 1;
        if (k.scratch->pkt_dts != AV_NOPTS_VALUE)
            number = std::max<std::int64_t>(number, k.scratch->pkt_dts - k.ctx->has_b_frames);
        k.last_number = static_cast<LONG>(std::min<std::int64_t>(number, INT32_MAX));
        // Full only for a caller that does not take its pictures.
        if (k.held_count == CodecDecoder::held_max) {
            av_frame_unref(k.scratch);
            continue;
        }
        const int slot = (k.held_first + k.held_count) % CodecDecoder::held_max;
        av_frame_move_ref(k.held[slot], k.scratch);
        k.held_number[slot] = k.last_number;
        ++k.held_count;
    }
}

// Frames are handed over in buffers of a pool: the unpacking filter and the
// decoder keep them by reference, and none is allocated per frame.
bool reserve_packet(CodecDecoder& k, std::size_t n) {
    const std::size_t need = n + AV_INPUT_BUFFER_PADDING_SIZE;
    if (k.packets && need <= k.packet_room) return true;
    const std::size_t room = std::max(need, k.packet_room * 2);
    av_buffer_pool_uninit(&k.packets);  // its buffers still in use go when released
    k.packet_room = 0;
    k.packets = av_buffer_pool_init(room, nullptr);
    if (!k.packets) return false;
    k.packet_room = room;
    return true;
}

// Hands k.pkt on (end: that no frame follows), through the unpacking filter
// where there is one, and takes what comes out.
int send_ordered(CodecDecoder& k, bool end) {
    if (!k.unpack) {
        const int r = avcodec_send_packet(k.ctx, end ? nullptr : k.pkt);
        av_packet_unref(k.pkt);
        receive_held(k);
        return r;
    }
    int r = av_bsf_send_packet(k.unpack, end ? nullptr : k.pkt);
    av_packet_unref(k.pkt);
    if (r < 0) return r;
    while (av_bsf_receive_packet(k.unpack, k.pkt) == 0) {
        const int sent = avcodec_send_packet(k.ctx, k.pkt);
        av_packet_unref(k.pkt);
        receive_held(k);
        if (sent < 0) r = sent;
    }
    if (end) {
        avcodec_send_packet(k.ctx, nullptr);
        receive_held(k);
    }
    return r;
}

LRESULT ordered_feed(CodecDecoder& k, const IcmOrderedDecode& o) {
    if (!o.input || !o.data || o.input->biSizeImage == 0) return ICERR_BADPARAM;
    if (o.input->biWidth != k.width || std::labs(o.input->biHeight) != k.height) return ICERR_BADFORMAT;
    const std::size_t n = o.input->biSizeImage;
    if (n > static_cast<std::size_t>(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE || !reserve_packet(k, n))
        return ICERR_MEMORY;
    AVBufferRef* buffer = av_buffer_pool_get(k.packets);
    if (!buffer) return ICERR_MEMORY;
    std::memcpy(buffer->data, o.data, n);
    std::memset(buffer->data + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_packet_unref(k.pkt);
    k.pkt->buf = buffer;
    k.pkt->data = buffer->data;
    k.pkt->size = static_cast<int>(n);
    // The frame's number travels with it and comes out with the picture
    // (or the one it lets out).
    k.pkt->dts = o.frame;
    k.pkt->pts = AV_NOPTS_VALUE;
    mark_packet(k, o.flags);
    if (!k.numbering) {
        k.numbering = true;
        k.last_number = o.frame - 1;
    }
    return send_ordered(k, false) < 0 ? ICERR_ERROR : ICERR_OK;
}

LRESULT ordered_take(CodecDecoder& k, const IcmOrderedDecode& o) {
    if (!k.held_count) return ICERR_DONTDRAW;
    AVFrame* picture = k.held[k.held_first];
    LRESULT r = ICERR_OK;
    if (o.bits) {
        DibLayout lo{};
        if (!dib_layout_frame24(o.output, lo) || lo.width != k.width || lo.height != k.height)
            r = ICERR_BADFORMAT;
        else
            r = convert_picture(k, picture, lo, o.bits);
    }
    av_frame_unref(picture);
    k.held_first = (k.held_first + 1) % CodecDecoder::held_max;
    --k.held_count;
    return r;
}

}  // namespace

LRESULT codec_decompress_in_display_order(CodecDriver& d) {
    if (d.mode != ICMODE_DECOMPRESS && d.mode != ICMODE_FASTDECOMPRESS) return ICERR_UNSUPPORTED;
    // Opened again at the next begin, for display order.
    codec_decoder_free(d.dec);
    d.dec.ordered = true;
    return ICERR_OK;
}

LRESULT codec_decompress_ordered(CodecDriver& d, IcmOrderedDecode* o) {
    if (!o) return ICERR_BADPARAM;
    CodecDecoder& k = d.dec;
    LRESULT r = ICERR_BADPARAM;
    if (k.ordered && k.begun && k.ctx) {
        switch (o->step) {
            case IcmOrderedStep::feed: r = ordered_feed(k, *o); break;
            case IcmOrderedStep::drain: r = send_ordered(k, true) < 0 ? ICERR_ERROR : ICERR_OK; break;
            case IcmOrderedStep::take: r = ordered_take(k, *o); break;
        }
    }
    o->held = first_held_number(k);
    o->delay = k.ctx ? k.ctx->has_b_frames : 0;
    return r;
}
