/* A small lossless video codec for tests under Wine, installed as the
 * compressor for one FourCC through the Drivers32 registry list.
 *
 * Input and output are bottom-up BGR24 pictures with rows of width * 3 bytes.
 * A compressed frame is one of:
 *   - exactly image-size bytes: the picture itself (a key frame);
 *   - 'K' followed by the picture run-length coded (a key frame);
 *   - 'D' followed by (picture XOR previous picture) run-length coded.
 * A frame is never larger than the uncompressed picture: when a delta would
 * not fit, the frame becomes a raw key frame and is reported as one.
 *
 * Run-length code: a control byte c < 128 is followed by c + 1 literal bytes;
 * c >= 128 is followed by one byte repeated c - 126 times (2 to 129).
 *
 * The state block (ICM_GETSTATE) is 32 bytes; its words at 8..23 are the
 * bit rate (double), compression control and key seconds that the caller
 * may patch. The codec keeps what it is given and reports it in its trace.
 *
 * When the environment variable TESTCODEC_TRACE names a file, every open,
 * state change and compressed frame is appended to it as one text line, so
 * that a test can check what the program asked of the codec. */
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
    unsigned char *previous;   /* compressor: last input; decoder: last picture */
    DWORD previous_size;
    int have_previous;
    DWORD frames;              /* frames compressed since open */
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

static int ensure_previous(Instance *inst, DWORD size) {
    if (inst->previous && inst->previous_size == size) return 1;
    free(inst->previous);
    inst->previous = (unsigned char *)malloc(size);
    inst->previous_size = inst->previous ? size : 0;
    inst->have_previous = 0;
    return inst->previous != NULL;
}

/* Run-length codes n bytes of (a XOR b) (b may be NULL) into out; stops and
 * returns 0 when the code would reach limit bytes. */
static DWORD rle_encode(const unsigned char *a, const unsigned char *b, DWORD n, unsigned char *out, DWORD limit) {
    DWORD i = 0, o = 0;
#define AT(k) ((unsigned char)(b ? (a[k] ^ b[k]) : a[k]))
    while (i < n) {
        DWORD run = 1;
        unsigned char v = AT(i);
        while (i + run < n && run < 129 && AT(i + run) == v) ++run;
        if (run >= 2) {
            if (o + 2 >= limit) return 0;
            out[o++] = (unsigned char)(run + 126);
            out[o++] = v;
            i += run;
            continue;
        }
        /* Literal stretch up to the next run of at least three equal bytes. */
        DWORD start = i, len = 0;
        while (i < n && len < 128) {
            if (i + 2 < n && AT(i) == AT(i + 1) && AT(i) == AT(i + 2)) break;
            ++i;
            ++len;
        }
        if (o + 1 + len >= limit) return 0;
        out[o++] = (unsigned char)(len - 1);
        for (DWORD k = 0; k < len; ++k) out[o++] = AT(start + k);
    }
#undef AT
    return o;
}

/* Decodes a run-length code into n bytes of out, XORing into it when xor_into
 * is set. Returns 1 when the code filled exactly n bytes. */
static int rle_decode(const unsigned char *in, DWORD in_size, unsigned char *out, DWORD n, int xor_into) {
    DWORD i = 0, o = 0;
    while (i < in_size && o < n) {
        unsigned c = in[i++];
        if (c < 128) {
            DWORD len = c + 1;
            if (i + len > in_size || o + len > n) return 0;
            for (DWORD k = 0; k < len; ++k) out[o + k] = xor_into ? (unsigned char)(out[o + k] ^ in[i + k]) : in[i + k];
            i += len;
            o += len;
        } else {
            DWORD len = c - 126;
            if (i >= in_size || o + len > n) return 0;
            unsigned char v = in[i++];
            for (DWORD k = 0; k < len; ++k) out[o + k] = xor_into ? (unsigned char)(out[o + k] ^ v) : v;
            o += len;
        }
    }
    return i == in_size && o == n;
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
    const unsigned char *in = (const unsigned char *)icc->lpInput;
    unsigned char *out = (unsigned char *)icc->lpOutput;
    if (!ensure_previous(inst, size)) return ICERR_MEMORY;

    const unsigned char *reference = NULL;
    if (!(icc->dwFlags & ICCOMPRESS_KEYFRAME)) {
        if (icc->lpPrev) reference = (const unsigned char *)icc->lpPrev;
        else if (inst->have_previous) reference = inst->previous;
    }

    DWORD written = 0;
    int key = 1;
    if (reference) {
        DWORD code = rle_encode(in, reference, size, out + 1, size - 1);
        if (code) {
            out[0] = 'D';
            written = code + 1;
            key = 0;
        }
    }
    if (key) {
        DWORD code = rle_encode(in, NULL, size, out + 1, size - 1);
        if (code) {
            out[0] = 'K';
            written = code + 1;
        } else {
            memcpy(out, in, size);
            written = size;
        }
    }
    memcpy(inst->previous, in, size);
    inst->have_previous = 1;

    icc->lpbiOutput->biSizeImage = written;
    icc->lpbiOutput->biCompression = kFourCC;
    if (icc->lpdwFlags) *icc->lpdwFlags = key ? AVIIF_KEYFRAME : 0;
    if (icc->lpckid) *icc->lpckid = mmioFOURCC('0', '0', 'd', 'c');
    trace("compress n=%lu request=%s framenum=%ld budget=%lu prev=%s result=%s size=%lu", (unsigned long)inst->frames,
          (icc->dwFlags & ICCOMPRESS_KEYFRAME) ? "key" : "delta", (long)icc->lFrameNum, (unsigned long)icc->dwFrameSize,
          icc->lpPrev ? "yes" : "no", key ? "key" : "delta", (unsigned long)written);
    inst->frames++;
    return ICERR_OK;
}

static LRESULT decompress(Instance *inst, ICDECOMPRESS *icd) {
    if (!format_is_ours(icd->lpbiInput) || !format_is_rgb24(icd->lpbiOutput) || !icd->lpInput || !icd->lpOutput)
        return ICERR_BADFORMAT;
    const DWORD size = picture_size(icd->lpbiOutput);
    const DWORD in_size = icd->lpbiInput->biSizeImage;
    const unsigned char *in = (const unsigned char *)icd->lpInput;
    if (!ensure_previous(inst, size)) return ICERR_MEMORY;

    int ok;
    if (in_size == size) {
        memcpy(inst->previous, in, size);
        ok = 1;
    } else if (in_size >= 1 && in[0] == 'K') {
        ok = rle_decode(in + 1, in_size - 1, inst->previous, size, 0);
    } else if (in_size >= 1 && in[0] == 'D' && inst->have_previous) {
        ok = rle_decode(in + 1, in_size - 1, inst->previous, size, 1);
    } else {
        ok = 0;
    }
    inst->have_previous = ok;
    if (!ok) return ICERR_ERROR;
    memcpy(icd->lpOutput, inst->previous, size);
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
    out->biSizeImage = picture_size(in);
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
        if (open) open->dwError = ICERR_OK;
        trace("open mode=%lu", (unsigned long)inst->mode);
        return (LRESULT)inst;
    }
    case DRV_CLOSE:
        if (inst) {
            free(inst->previous);
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
