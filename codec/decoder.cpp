// Decompression in the codec driver over libavcodec: the MPEG-4 FourCCs and
// any other that the AVI tag table maps to a decoder, into 24-bit BGR frames.
#include <algorithm>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

#include "codec/driver.h"

void codec_decoder_free(CodecDecoder& k) {
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
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;
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
    if (!decoder_reserve(k, std::max<std::size_t>(in->biSizeImage, 4096))) {
        codec_decoder_free(k);
        return ICERR_MEMORY;
    }
    k.id = id;
    k.width = width;
    k.height = height;
    k.begun = true;
    return ICERR_OK;
}

namespace {

// Hands one compressed frame to the decoder and keeps the newest picture.
bool send_frame_data(CodecDecoder& k, const ICDECOMPRESS* ic) {
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

    // libswscale's plain YUV-to-RGB conversion, as ffmpeg and players make it
    // (its exact-rounding path is worse: docs/codec.md, "Pixel conversion").
    const int flags = SWS_BILINEAR;
    const DibRows rows = dib_rows(ic->lpOutput, lo);
    switch (pixels_to_bgr(k.convert, k.picture, PixelsRows{rows.top, rows.down}, lo.width, lo.height, flags,
                          codec_direct_conversion ? PixelsWrite::guarded : PixelsWrite::staged)) {
        case PixelsResult::ok: break;
        case PixelsResult::no_memory: return ICERR_MEMORY;
        case PixelsResult::bad_format: return ICERR_BADFORMAT;
        case PixelsResult::failed: return ICERR_ERROR;
    }
    return ICERR_OK;
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
