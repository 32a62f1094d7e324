/* A small video codec for tests under Wine, installed as the compressor for
 * one FourCC through the Drivers32 registry list.
 *
 * Input and output are BGR24 DIBs, rows padded to 4 bytes as in every DIB
 * (read and written as real codecs do); the codec's own pictures, and so
 * its compressed frames, hold rows of width * 3 bytes.
 * A compressed frame is a tag byte and a body:
 *   'K'  key frame: each byte minus the same colour of the pixel before it,
 *        run-length coded;
 *   'D'  delta frame: each byte minus the same byte of the previous picture,
 *        run-length coded;
 *   'R'  key frame: the picture's bytes but the last, which decodes as 0.
 * Run-length code, in whole pixels: a control byte c < 128 is followed by
 * c + 1 literal pixels; c >= 128 by one pixel repeated c - 126 times.
 *
 * Frames are never larger than the uncompressed picture, and every frame can
 * be decoded without knowing its length (the engine hands the decoder a format
 * whose biSizeImage is the picture size). Both together leave no room for a
 * lossless code of every input, so a picture that neither code shrinks is
 * stored as 'R', losing one byte; the deltas that follow are taken against
 * the picture as decoded, so the loss does not carry on. K and D frames are
 * exact. A delta that does not fit becomes a key frame and is reported so.
 *
 * The state block (ICM_GETSTATE) is 32 bytes; its words at 8..23 are the
 * bit rate (double), compression control and key seconds that the caller
 * may patch. The codec keeps what it is given and reports it in its trace.
 *
 * When the environment variable TESTCODEC_TRACE names a file, every open,
 * state change and compressed frame is appended to it as one text line, so
 * that a test can check what the program asked of the codec.
 *
 * TESTCODEC_DAMAGE=k makes every k-th delta frame decode wrongly: the 8x8
 * block at x 32..39, y 16..23 (counted from the top) comes out 60 brighter in
 * each colour, as block noise from a real codec would. The damage is part of
 * the frame, so encoder and decoder stay in step whether or not the caller
 * notices it. */
#include <windows.h>
#include <vfw.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define STATE_SIZE 32

typedef struct Instance {
    DWORD mode;                /* ICMODE_COMPRESS or ICMODE_DECOMPRESS */
    unsigned char state[STATE_SIZE];
    unsigned char *previous;   /* the last picture as the decoder sees it */
    unsigned char *residual;   /* scratch for one picture's residual */
    unsigned char *rows;       /* the caller's picture without the row padding */
    DWORD previous_size;
    int have_previous;
    DWORD frames;              /* frames compressed since open */
    DWORD deltas;              /* delta frames produced since open */
    DWORD damage_every;        /* TESTCODEC_DAMAGE, 0 for none */
} Instance;

static const DWORD kFourCC = mmioFOURCC('M', 'P', '4', '2');

static void trace(const char *format, ...) {
    const char *path = getenv("TESTCODEC_TRACE");
    if (!path || !*path) return;
    FILE *file = fopen(path, "ab");
    if (!file) return;
    va_list args;
    va_start(args, format);
    vfprintf(file, format, args);
    va_end(args);
    fputc('\n', file);
    fclose(file);
}

static int format_is_rgb24(const BITMAPINFOHEADER *bi) {
    return bi && bi->biCompression == BI_RGB && bi->biBitCount == 24 && bi->biWidth > 0 && bi->biHeight != 0;
}

static int format_is_ours(const BITMAPINFOHEADER *bi) {
    return bi && bi->biCompression == kFourCC && bi->biWidth > 0 && bi->biHeight != 0;
}

static DWORD picture_size(const BITMAPINFOHEADER *bi) {
    DWORD height = bi->biHeight < 0 ? (DWORD)-bi->biHeight : (DWORD)bi->biHeight;
    return (DWORD)bi->biWidth * 3u * height;
}

/* Bytes from one row of a caller's DIB to the next. */
static DWORD dib_stride(const BITMAPINFOHEADER *bi) { return ((DWORD)bi->biWidth * 24u + 31u) / 32u * 4u; }

/* Rows of a caller's DIB to and from the codec's packed picture, same order. */
static void pack_rows(const BITMAPINFOHEADER *bi, const unsigned char *dib, unsigned char *packed) {
    const DWORD height = bi->biHeight < 0 ? (DWORD)-bi->biHeight : (DWORD)bi->biHeight;
    const DWORD row = (DWORD)bi->biWidth * 3u, stride = dib_stride(bi);
    for (DWORD y = 0; y < height; ++y) memcpy(packed + y * row, dib + y * stride, row);
}
static void unpack_rows(const BITMAPINFOHEADER *bi, const unsigned char *packed, unsigned char *dib) {
    const DWORD height = bi->biHeight < 0 ? (DWORD)-bi->biHeight : (DWORD)bi->biHeight;
    const DWORD row = (DWORD)bi->biWidth * 3u, stride = dib_stride(bi);
    for (DWORD y = 0; y < height; ++y) {
        memcpy(dib + y * stride, packed + y * row, row);
        memset(dib + y * stride + row, 0, stride - row);
    }
}

static int ensure_previous(Instance *inst, DWORD size) {
    if (inst->previous && inst->previous_size == size) return 1;
    free(inst->previous);
    free(inst->residual);
    free(inst->rows);
    inst->previous = (unsigned char *)malloc(size);
    inst->residual = (unsigned char *)malloc(size);
    inst->rows = (unsigned char *)malloc(size);
    inst->have_previous = 0;
    if (!inst->previous || !inst->residual || !inst->rows) {
        free(inst->previous);
        free(inst->residual);
        free(inst->rows);
        inst->previous = inst->residual = inst->rows = NULL;
        inst->previous_size = 0;
        return 0;
    }
    inst->previous_size = size;
    return 1;
}

static int same_pixel(const unsigned char *a, const unsigned char *b) {
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

/* Run-length codes the given pixels into out; returns the code's length, or
 * 0 when it would reach limit bytes. */
static DWORD rle_encode(const unsigned char *r, DWORD pixels, unsigned char *out, DWORD limit) {
    DWORD i = 0, o = 0;
    while (i < pixels) {
        DWORD run = 1;
        while (i + run < pixels && run < 129 && same_pixel(r + 3 * i, r + 3 * (i + run))) ++run;
        if (run >= 2) {
            if (o + 4 >= limit) return 0;
            out[o++] = (unsigned char)(run + 126);
            memcpy(out + o, r + 3 * i, 3);
            o += 3;
            i += run;
            continue;
        }
        /* Literal pixels up to the next pair of equal ones. */
        DWORD start = i, len = 0;
        while (i < pixels && len < 128) {
            if (i + 1 < pixels && same_pixel(r + 3 * i, r + 3 * (i + 1))) break;
            ++i;
            ++len;
        }
        if (o + 1 + 3 * len >= limit) return 0;
        out[o++] = (unsigned char)(len - 1);
        memcpy(out + o, r + 3 * start, 3 * len);
        o += 3 * len;
    }
    return o;
}

/* Decodes a run-length code of the given pixels into r, reading no more than
 * in_limit bytes. Returns 1 when the code filled the picture. */
static int rle_decode(const unsigned char *in, DWORD in_limit, unsigned char *r, DWORD pixels) {
    DWORD i = 0, o = 0;
    while (o < pixels) {
        if (i >= in_limit) return 0;
        unsigned c = in[i++];
        DWORD len = c < 128 ? c + 1 : c - 126;
        if (o + len > pixels) return 0;
        if (c < 128) {
            if (i + 3 * len > in_limit) return 0;
            memcpy(r + 3 * o, in + i, 3 * len);
            i += 3 * len;
        } else {
            if (i + 3 > in_limit) return 0;
            for (DWORD k = 0; k < len; ++k) memcpy(r + 3 * (o + k), in + i, 3);
            i += 3;
        }
        o += len;
    }
    return 1;
}

/* Adds the damage block to a picture (or residual) laid out as bi says. */
static int add_damage(const BITMAPINFOHEADER *bi, unsigned char *p) {
    const LONG height = bi->biHeight < 0 ? -bi->biHeight : bi->biHeight;
    if (bi->biWidth < 40 || height < 24) return 0;
    for (LONG y = 16; y < 24; ++y) {
        const LONG row = bi->biHeight > 0 ? height - 1 - y : y;
        unsigned char *px = p + ((DWORD)row * (DWORD)bi->biWidth + 32u) * 3u;
        for (int i = 0; i < 8 * 3; ++i) px[i] = (unsigned char)(px[i] + 60);
    }
    return 1;
}

/* Residuals: against the pixel before (key) or the previous picture (delta). */
static void residual_key(const unsigned char *p, unsigned char *r, DWORD n) {
    for (DWORD i = 0; i < n; ++i) r[i] = (unsigned char)(i < 3 ? p[i] : p[i] - p[i - 3]);
}
static void unresidual_key(const unsigned char *r, unsigned char *p, DWORD n) {
    for (DWORD i = 0; i < n; ++i) p[i] = (unsigned char)(i < 3 ? r[i] : r[i] + p[i - 3]);
}
static void residual_delta(const unsigned char *p, const unsigned char *ref, unsigned char *r, DWORD n) {
    for (DWORD i = 0; i < n; ++i) r[i] = (unsigned char)(p[i] - ref[i]);
}
static void unresidual_delta(const unsigned char *r, unsigned char *p, DWORD n) {
    for (DWORD i = 0; i < n; ++i) p[i] = (unsigned char)(p[i] + r[i]);
}

static double state_bit_rate(const Instance *inst) {
    double value;
    memcpy(&value, inst->state + 8, sizeof value);
    return value;
}

static LONG state_word(const Instance *inst, int offset) {
    LONG value;
    memcpy(&value, inst->state + offset, sizeof value);
    return value;
}

static LRESULT compress(Instance *inst, ICCOMPRESS *icc) {
    if (!format_is_rgb24(icc->lpbiInput) || !icc->lpbiOutput || !icc->lpOutput || !icc->lpInput) return ICERR_BADFORMAT;
    const DWORD size = picture_size(icc->lpbiInput);
    unsigned char *out = (unsigned char *)icc->lpOutput;
    if (size < 2) return ICERR_BADFORMAT;
    if (!ensure_previous(inst, size)) return ICERR_MEMORY;
    pack_rows(icc->lpbiInput, (const unsigned char *)icc->lpInput, inst->rows);
    const unsigned char *in = inst->rows;

    /* Deltas are taken against the picture as the decoder will have it, not
     * against the caller's lpPrev, so that an 'R' frame's lost byte is mended. */
    DWORD written = 0;
    int key = 1, damaged = 0;
    if (!(icc->dwFlags & ICCOMPRESS_KEYFRAME) && inst->have_previous) {
        residual_delta(in, inst->previous, inst->residual, size);
        if (inst->damage_every && inst->deltas % inst->damage_every == inst->damage_every - 1)
            damaged = add_damage(icc->lpbiInput, inst->residual);
        DWORD code = rle_encode(inst->residual, size / 3, out + 1, size - 1);
        if (code) {
            out[0] = 'D';
            written = code + 1;
            key = 0;
            inst->deltas++;
        } else {
            damaged = 0;
        }
    }
    if (key) {
        residual_key(in, inst->residual, size);
        DWORD code = rle_encode(inst->residual, size / 3, out + 1, size - 1);
        if (code) {
            out[0] = 'K';
            written = code + 1;
        } else {
            out[0] = 'R';
            memcpy(out + 1, in, size - 1);
            written = size;
        }
    }
    memcpy(inst->previous, in, size);
    if (written == size && out[0] == 'R') inst->previous[size - 1] = 0;
    if (damaged) add_damage(icc->lpbiInput, inst->previous);
    inst->have_previous = 1;

    icc->lpbiOutput->biSizeImage = written;
    icc->lpbiOutput->biCompression = kFourCC;
    if (icc->lpdwFlags) *icc->lpdwFlags = key ? AVIIF_KEYFRAME : 0;
    if (icc->lpckid) *icc->lpckid = mmioFOURCC('0', '0', 'd', 'c');
    trace("compress n=%lu request=%s framenum=%ld budget=%lu prev=%s result=%c size=%lu%s", (unsigned long)inst->frames,
          (icc->dwFlags & ICCOMPRESS_KEYFRAME) ? "key" : "delta", (long)icc->lFrameNum, (unsigned long)icc->dwFrameSize,
          icc->lpPrev ? "yes" : "no", out[0], (unsigned long)written, damaged ? " damaged" : "");
    inst->frames++;
    return ICERR_OK;
}

static LRESULT decompress(Instance *inst, ICDECOMPRESS *icd) {
    if (!format_is_ours(icd->lpbiInput) || !format_is_rgb24(icd->lpbiOutput) || !icd->lpInput || !icd->lpOutput)
        return ICERR_BADFORMAT;
    const DWORD size = picture_size(icd->lpbiOutput);
    /* The compressed length is not needed; a smaller biSizeImage (as a file
     * reader gives) bounds the reading, else the picture size does. */
    DWORD limit = icd->lpbiInput->biSizeImage;
    if (limit == 0 || limit > size) limit = size;
    const unsigned char *in = (const unsigned char *)icd->lpInput;
    if (size < 2 || limit < 1) return ICERR_BADFORMAT;
    if (!ensure_previous(inst, size)) return ICERR_MEMORY;

    int ok = 0;
    if (in[0] == 'R') {
        if (limit == size) {
            memcpy(inst->previous, in + 1, size - 1);
            inst->previous[size - 1] = 0;
            ok = 1;
        }
    } else if (in[0] == 'K') {
        ok = rle_decode(in + 1, limit - 1, inst->residual, size / 3);
        if (ok) unresidual_key(inst->residual, inst->previous, size);
    } else if (in[0] == 'D' && inst->have_previous) {
        ok = rle_decode(in + 1, limit - 1, inst->residual, size / 3);
        if (ok) unresidual_delta(inst->residual, inst->previous, size);
    }
    inst->have_previous = ok;
    if (!ok) return ICERR_ERROR;
    unpack_rows(icd->lpbiOutput, inst->previous, (unsigned char *)icd->lpOutput);
    return ICERR_OK;
}

static LRESULT get_state(Instance *inst, void *buffer, DWORD size) {
    if (!buffer) return STATE_SIZE;
    if (size < STATE_SIZE) return ICERR_BADSIZE;
    memcpy(buffer, inst->state, STATE_SIZE);
    return STATE_SIZE;
}

static LRESULT set_state(Instance *inst, const void *buffer, DWORD size) {
    if (!buffer) {
        memset(inst->state, 0, STATE_SIZE);
        return 0;
    }
    DWORD n = size < STATE_SIZE ? size : STATE_SIZE;
    memcpy(inst->state, buffer, n);
    trace("setstate size=%lu bitrate=%.0f control=%ld keyseconds=%ld", (unsigned long)size, state_bit_rate(inst),
          (long)state_word(inst, 16), (long)state_word(inst, 20));
    return (LRESULT)n;
}

static LRESULT get_info(ICINFO *info, DWORD size) {
    if (!info) return sizeof(ICINFO);
    if (size < sizeof(ICINFO)) return 0;
    memset(info, 0, sizeof *info);
    info->dwSize = sizeof(ICINFO);
    info->fccType = ICTYPE_VIDEO;
    info->fccHandler = kFourCC;
    info->dwFlags = VIDCF_TEMPORAL | VIDCF_FASTTEMPORALC | VIDCF_FASTTEMPORALD;
    info->dwVersion = 1;
    info->dwVersionICM = ICVERSION;
    lstrcpyW(info->szName, L"TESTMP42");
    lstrcpyW(info->szDescription, L"Lossless test codec");
    return sizeof(ICINFO);
}

static LRESULT output_format(const BITMAPINFOHEADER *in, BITMAPINFOHEADER *out, DWORD compression) {
    if (!out) return sizeof(BITMAPINFOHEADER);
    *out = *in;
    out->biSize = sizeof(BITMAPINFOHEADER);
    out->biCompression = compression;
    out->biBitCount = 24;
    out->biPlanes = 1;
    out->biSizeImage = compression == BI_RGB ? dib_stride(in) * (DWORD)(in->biHeight < 0 ? -in->biHeight : in->biHeight)
                                             : picture_size(in);
    out->biClrUsed = 0;
    out->biClrImportant = 0;
    return ICERR_OK;
}

LRESULT WINAPI __declspec(dllexport) DriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM p1, LPARAM p2) {
    (void)driver;
    Instance *inst = (Instance *)id;
    switch (message) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
        return 1;
    case DRV_OPEN: {
        ICOPEN *open = (ICOPEN *)p2;
        if (open && open->fccType != ICTYPE_VIDEO) return 0;
        inst = (Instance *)calloc(1, sizeof *inst);
        if (!inst) return 0;
        inst->mode = open ? open->dwFlags : 0;
        memcpy(inst->state, "TCST", 4);
        const char *damage = getenv("TESTCODEC_DAMAGE");
        inst->damage_every = damage ? (DWORD)strtoul(damage, NULL, 10) : 0;
        if (open) open->dwError = ICERR_OK;
        trace("open mode=%lu", (unsigned long)inst->mode);
        return (LRESULT)inst;
    }
    case DRV_CLOSE:
        if (inst) {
            free(inst->previous);
            free(inst->residual);
            free(inst->rows);
            free(inst);
        }
        return 1;
    case DRV_QUERYCONFIGURE:
        return 0;
    }
    if (!inst) return ICERR_BADHANDLE;

    switch (message) {
    case ICM_GETSTATE:
        return get_state(inst, (void *)p1, (DWORD)p2);
    case ICM_SETSTATE:
        return set_state(inst, (const void *)p1, (DWORD)p2);
    case ICM_GETINFO:
        return get_info((ICINFO *)p1, (DWORD)p2);
    case ICM_GETDEFAULTQUALITY:
        if (p1) *(DWORD *)p1 = 10000;
        return ICERR_OK;
    case ICM_GETDEFAULTKEYFRAMERATE:
        if (p1) *(DWORD *)p1 = 0;
        return ICERR_OK;
    case ICM_COMPRESS_FRAMES_INFO: {
        const ICCOMPRESSFRAMES *frames = (const ICCOMPRESSFRAMES *)p1;
        if (frames)
            trace("framesinfo size=%ld count=%ld quality=%ld datarate=%ld keyrate=%ld rate=%lu scale=%lu", (long)p2,
                  (long)frames->lFrameCount, (long)frames->lQuality, (long)frames->lDataRate, (long)frames->lKeyRate,
                  (unsigned long)frames->dwRate, (unsigned long)frames->dwScale);
        return ICERR_OK;
    }
    case ICM_COMPRESS_QUERY: {
        const BITMAPINFOHEADER *in = (const BITMAPINFOHEADER *)p1;
        const BITMAPINFOHEADER *out = (const BITMAPINFOHEADER *)p2;
        if (!format_is_rgb24(in)) return ICERR_BADFORMAT;
        if (out && (!format_is_ours(out) || out->biWidth != in->biWidth || out->biHeight != in->biHeight))
            return ICERR_BADFORMAT;
        return ICERR_OK;
    }
    case ICM_COMPRESS_GET_FORMAT:
        if (!format_is_rgb24((const BITMAPINFOHEADER *)p1)) return ICERR_BADFORMAT;
        return output_format((const BITMAPINFOHEADER *)p1, (BITMAPINFOHEADER *)p2, kFourCC);
    case ICM_COMPRESS_GET_SIZE:
        if (!format_is_rgb24((const BITMAPINFOHEADER *)p1)) return ICERR_BADFORMAT;
        return (LRESULT)picture_size((const BITMAPINFOHEADER *)p1);
    case ICM_COMPRESS_BEGIN:
        if (!format_is_rgb24((const BITMAPINFOHEADER *)p1)) return ICERR_BADFORMAT;
        inst->have_previous = 0;
        trace("compress_begin");
        return ICERR_OK;
    case ICM_COMPRESS:
        return compress(inst, (ICCOMPRESS *)p1);
    case ICM_COMPRESS_END:
        trace("compress_end");
        return ICERR_OK;
    case ICM_DECOMPRESS_QUERY: {
        const BITMAPINFOHEADER *in = (const BITMAPINFOHEADER *)p1;
        const BITMAPINFOHEADER *out = (const BITMAPINFOHEADER *)p2;
        if (!format_is_ours(in)) return ICERR_BADFORMAT;
        if (out && (!format_is_rgb24(out) || out->biWidth != in->biWidth || out->biHeight != in->biHeight))
            return ICERR_BADFORMAT;
        return ICERR_OK;
    }
    case ICM_DECOMPRESS_GET_FORMAT:
        if (!format_is_ours((const BITMAPINFOHEADER *)p1)) return ICERR_BADFORMAT;
        return output_format((const BITMAPINFOHEADER *)p1, (BITMAPINFOHEADER *)p2, BI_RGB);
    case ICM_DECOMPRESS_BEGIN:
        if (!format_is_ours((const BITMAPINFOHEADER *)p1)) return ICERR_BADFORMAT;
        inst->have_previous = 0;
        return ICERR_OK;
    case ICM_DECOMPRESS:
        return decompress(inst, (ICDECOMPRESS *)p1);
    case ICM_DECOMPRESS_END:
        return ICERR_OK;
    }
    return ICERR_UNSUPPORTED;
}
