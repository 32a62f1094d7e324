// Decompressor for uncompressed frames found in AVI files (BI_RGB at 1, 4, 8
// bits with a palette, 16 bits 5-5-5, 24 and 32 bits, rows padded to 4 bytes,
// bottom-up or top-down) into bottom-up 24-bit frames, rows padded likewise.
#include <array>
#include <cstring>
#include <new>

#include "platform/icm/builtin.h"
#include "codec/dib.h"

namespace {

struct RgbDriver {
    bool begun = false;
};

constexpr std::uint8_t expand5(unsigned v) { return static_cast<std::uint8_t>((v << 3) | (v >> 2)); }

bool layouts(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out, DibLayout& li, DibLayout& lo) {
    if (!dib_layout_stored(in, li) || !dib_layout_frame24(out, lo)) return false;
    return li.width == lo.width && li.height == lo.height;
}

void convert_row(const std::uint8_t* src, std::uint8_t* dst, int width, int bits, const RGBQUAD* pal,
                 std::uint32_t entries) {
    switch (bits) {
        case 24:
            std::memcpy(dst, src, static_cast<std::size_t>(width) * 3);
            break;
        case 32:
            for (int x = 0; x < width; ++x) {
                dst[3 * x + 0] = src[4 * x + 0];
                dst[3 * x + 1] = src[4 * x + 1];
                dst[3 * x + 2] = src[4 * x + 2];
            }
            break;
        case 16:
            for (int x = 0; x < width; ++x) {
                const unsigned v = src[2 * x] | (src[2 * x + 1] << 8);
                dst[3 * x + 0] = expand5(v & 31);
                dst[3 * x + 1] = expand5((v >> 5) & 31);
                dst[3 * x + 2] = expand5((v >> 10) & 31);
            }
            break;
        default: {
            // 1, 4 or 8 bits per index, most significant bits first.
            const int per_byte = 8 / bits;
            const unsigned mask = (1u << bits) - 1;
            for (int x = 0; x < width; ++x) {
                const int shift = 8 - bits * (x % per_byte + 1);
                const unsigned index = (src[x / per_byte] >> shift) & mask;
                if (index < entries) {
                    dst[3 * x + 0] = pal[index].rgbBlue;
                    dst[3 * x + 1] = pal[index].rgbGreen;
                    dst[3 * x + 2] = pal[index].rgbRed;
                } else {
                    dst[3 * x + 0] = dst[3 * x + 1] = dst[3 * x + 2] = 0;
                }
            }
        }
    }
}

LRESULT decompress(RgbDriver& d, const ICDECOMPRESS* ic) {
    if (!ic || !ic->lpInput || !ic->lpOutput) return ICERR_BADPARAM;
    if (ic->dwFlags & (ICDECOMPRESS_NULLFRAME | ICDECOMPRESS_HURRYUP)) return ICERR_OK;
    DibLayout li{}, lo{};
    if (!layouts(ic->lpbiInput, ic->lpbiOutput, li, lo)) return ICERR_BADFORMAT;
    // A stated image size shorter than the picture would make us read past the data.
    if (ic->lpbiInput->biSizeImage != 0 && ic->lpbiInput->biSizeImage < li.size) return ICERR_BADSIZE;
    d.begun = true;
    const BITMAPINFOHEADER* bi = ic->lpbiInput;
    const auto* pal = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const std::uint8_t*>(bi) + bi->biSize);
    const std::uint32_t entries = li.bits <= 8 ? dib_palette_entries(bi) : 0;
    const DibRows src = dib_rows(ic->lpInput, li);
    const DibRows dst = dib_rows(ic->lpOutput, lo);
    for (int y = 0; y < li.height; ++y)
        convert_row(src.top + y * src.down, dst.top + y * dst.down, li.width, li.bits, pal, entries);
    return ICERR_OK;
}

LRESULT get_format(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out) {
    DibLayout li{};
    if (!dib_layout_stored(in, li)) return ICERR_BADFORMAT;
    if (!out) return sizeof(BITMAPINFOHEADER);
    *out = BITMAPINFOHEADER{};
    out->biSize = sizeof(BITMAPINFOHEADER);
    out->biWidth = li.width;
    out->biHeight = li.height;
    out->biPlanes = 1;
    out->biBitCount = 24;
    out->biCompression = BI_RGB;
    out->biSizeImage = static_cast<DWORD>(dib_stride(li.width, 24) * static_cast<std::size_t>(li.height));
    return ICERR_OK;
}

}  // namespace

LRESULT CALLBACK icm_rgb_driver_proc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
    auto* d = reinterpret_cast<RgbDriver*>(id);
    switch (msg) {
        case DRV_LOAD: case DRV_ENABLE: case DRV_DISABLE: case DRV_FREE:
            return 1;
        case DRV_OPEN: {
            auto* open = reinterpret_cast<ICOPEN*>(p2);
            if (!open) return 0;
            const DWORD mode = open->dwFlags;
            if (mode != ICMODE_DECOMPRESS && mode != ICMODE_FASTDECOMPRESS && mode != ICMODE_QUERY) {
                open->dwError = ICERR_UNSUPPORTED;
                return 0;
            }
            auto* drv = new (std::nothrow) RgbDriver;
            if (!drv) open->dwError = ICERR_MEMORY;
            return reinterpret_cast<LRESULT>(drv);
        }
        case DRV_CLOSE:
            delete d;
            return 1;
        default:
            break;
    }
    if (!d) return ICERR_BADHANDLE;
    auto* in = reinterpret_cast<BITMAPINFOHEADER*>(p1);
    auto* out = reinterpret_cast<BITMAPINFOHEADER*>(p2);
    DibLayout li{}, lo{};
    switch (msg) {
        case ICM_GETSTATE:
            return 0;  // no state
        case ICM_DECOMPRESS_QUERY:
            if (!out) return dib_layout_stored(in, li) ? ICERR_OK : ICERR_BADFORMAT;
            return layouts(in, out, li, lo) ? ICERR_OK : ICERR_BADFORMAT;
        case ICM_DECOMPRESS_GET_FORMAT:
            return get_format(in, out);
        case ICM_DECOMPRESS_BEGIN:
            if (!layouts(in, out, li, lo)) return ICERR_BADFORMAT;
            d->begun = true;
            return ICERR_OK;
        case ICM_DECOMPRESS:
            return decompress(*d, reinterpret_cast<const ICDECOMPRESS*>(p1));
        case ICM_DECOMPRESS_END:
            d->begun = false;
            return ICERR_OK;
        default:
            return ICERR_UNSUPPORTED;
    }
}
