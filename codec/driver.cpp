// Codec driver over libavcodec. One procedure serves every FourCC: MP42
// (MS-MPEG-4 v2), MP43/DIV3/DIV4 (v3) and MPG4 (v1) compress and decompress;
// any FourCC that the AVI tag table of libavformat maps to a decoder
// decompresses only (codecs.h). Frames in and out are 24-bit BGR, bottom-up
// unless biHeight is negative, converted by common/pixels. This file opens
// the driver and hands each message to the encoder (encoder.cpp), the
// decoder (decoder.cpp) or the state block (state.cpp).
extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <mutex>
#include <new>

#include "codec/driver.h"
#include "codec/codec.h"

#ifdef TWOPASS_TEST_HOOKS
bool codec_direct_conversion = true;
bool codec_own_encoder = codec_default_own_encoder;
int codec_encoder_threads = 2;
int codec_fixed_quantiser = 0;
#endif

namespace {

LRESULT open_driver(ICOPEN* open) {
    if (!open) return 0;
    const UINT mode = open->dwFlags;
    const CodecRow* codec_entry = codec_find(open->fccHandler);
    const bool compress = mode == ICMODE_COMPRESS || mode == ICMODE_FASTCOMPRESS;
    const bool decompress = mode == ICMODE_DECOMPRESS || mode == ICMODE_FASTDECOMPRESS || mode == ICMODE_QUERY;
    bool ok = false;
    if (compress)
        ok = codec_entry && codec_entry->compresses;
    else if (decompress)
        ok = codec_entry || codec_riff_decoder(open->fccHandler) != AV_CODEC_ID_NONE;
    if (!ok) {
        // As for a codec that is not installed.
        open->dwError = ICERR_UNSUPPORTED;
        return 0;
    }
    auto* d = new (std::nothrow) CodecDriver;
    if (!d) {
        open->dwError = ICERR_MEMORY;
        return 0;
    }
    d->fcc = codec_entry ? codec_entry->fcc : open->fccHandler;
    d->codec = codec_entry;
    d->mode = mode;
    return reinterpret_cast<LRESULT>(d);
}

}  // namespace

BOOL codec_compresses(DWORD fcc, DRIVERPROC proc) {
    const CodecRow* codec = codec_find(fcc);
    return proc == codec_driver_proc && codec && codec->compresses;
}

#ifdef TWOPASS_TEST_HOOKS
void codec_set_direct_conversion(int on) { codec_direct_conversion = on != 0; }
void codec_set_own_encoder(int on) { codec_own_encoder = on != 0; }
void codec_set_encoder_threads(int n) { codec_encoder_threads = std::clamp(n, 1, codec_workers_max); }
void codec_set_fixed_quantiser(int qp) { codec_fixed_quantiser = qp ? std::clamp(qp, rate_qmin, rate_qmax) : 0; }
#endif

LRESULT CALLBACK codec_driver_proc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
    auto* d = reinterpret_cast<CodecDriver*>(id);
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
                codec_encoder_free(d->enc);
                codec_decoder_free(d->dec);
                delete d;
            }
            return 1;
        default:
            break;
    }
    if (!d) return ICERR_BADHANDLE;
    auto* in = reinterpret_cast<BITMAPINFOHEADER*>(p1);
    auto* out = reinterpret_cast<BITMAPINFOHEADER*>(p2);
    const bool can_compress = d->codec && d->codec->compresses &&
                              (d->mode == ICMODE_COMPRESS || d->mode == ICMODE_FASTCOMPRESS ||
                               d->mode == ICMODE_QUERY);
    DibLayout layout{};
    switch (msg) {
        case ICM_GETSTATE:
            return codec_get_state(*d, reinterpret_cast<std::uint8_t*>(p1), static_cast<std::size_t>(p2));
        case ICM_SETSTATE:
            return codec_set_state(*d, reinterpret_cast<const std::uint8_t*>(p1), static_cast<std::size_t>(p2));
        case ICM_SET:
            if (static_cast<std::uint32_t>(p1) == icm_set_display_order) return codec_decompress_in_display_order(*d);
            if (static_cast<std::uint32_t>(p1) != icm_set_checked || !can_compress) return ICERR_UNSUPPORTED;
            return codec_compress_checked(*d, static_cast<std::uint32_t>(p2));
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
            return codec_compress_get_format(*d, in, out);
        case ICM_COMPRESS_GET_SIZE:
            if (!can_compress) return ICERR_UNSUPPORTED;
            if (!dib_layout_frame24(in, layout)) return ICERR_BADFORMAT;
            return static_cast<LRESULT>(dib_compressed_capacity(layout));
        case ICM_COMPRESS_BEGIN:
            if (!can_compress) return ICERR_UNSUPPORTED;
            return codec_compress_begin(*d, in, out);
        case ICM_COMPRESS:
            if (!can_compress) return ICERR_UNSUPPORTED;
            return codec_compress(*d, reinterpret_cast<ICCOMPRESS*>(p1));
        case ICM_COMPRESS_END:
            d->enc.begun = false;
            return ICERR_OK;
        case ICM_DECOMPRESS_QUERY:
            return codec_decompress_check(*d, in, out, layout);
        case ICM_DECOMPRESS_GET_FORMAT:
            return codec_decompress_get_format(*d, in, out);
        case ICM_DECOMPRESS_BEGIN:
            return codec_decompress_begin(*d, in, out);
        case ICM_DECOMPRESS:
            return codec_decompress(*d, reinterpret_cast<const ICDECOMPRESS*>(p1));
        case ICM_DECOMPRESS_END:
            d->dec.begun = false;
            return ICERR_OK;
        case icm_decompress_ordered:
            return codec_decompress_ordered(*d, reinterpret_cast<IcmOrderedDecode*>(p1));
        default:
            return ICERR_UNSUPPORTED;
    }
}
