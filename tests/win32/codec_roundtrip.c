/* Checks the Wine test rig before the programs run on it: the test codec is
 * found through the compression manager by its FourCC, compresses frames no
 * larger than the picture, reports key and delta frames, and decodes them
 * back to their source pictures. Exit code 0 when all holds. */
#include <windows.h>
#include <vfw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { W = 64, H = 48, PICTURE_BYTES = W * H * 3, FRAMES = 6 };

static int failures = 0;
#define CHECK(cond, ...)                                  \
    do {                                                  \
        if (!(cond)) {                                    \
            ++failures;                                   \
            fprintf(stderr, "codec_roundtrip: " __VA_ARGS__); \
            fputc('\n', stderr);                          \
        }                                                 \
    } while (0)

static void make_frame(unsigned char *p, int n) {
    unsigned seed = 12345u + (unsigned)n;
    for (int i = 0; i < PICTURE_BYTES; ++i) {
        if (n == 4) { /* noise: no delta can be smaller than the picture */
            seed = seed * 1103515245u + 12345u;
            p[i] = (unsigned char)(seed >> 16);
        } else if (n == 2) { /* the same picture as frame 1 */
            p[i] = (unsigned char)(i / 3 % W + 1);
        } else {
            p[i] = (unsigned char)(i / 3 % W + n);
        }
    }
}

int main(void) {
    BITMAPINFOHEADER in = {sizeof(BITMAPINFOHEADER), W, H, 1, 24, BI_RGB, PICTURE_BYTES, 0, 0, 0, 0};
    BITMAPINFOHEADER out = in;
    out.biCompression = mmioFOURCC('M', 'P', '4', '2');

    HIC enc = ICOpen(ICTYPE_VIDEO, mmioFOURCC('M', 'P', '4', '2'), ICMODE_COMPRESS);
    HIC dec = ICOpen(ICTYPE_VIDEO, mmioFOURCC('M', 'P', '4', '2'), ICMODE_DECOMPRESS);
    CHECK(enc != NULL, "ICOpen for compression found no codec for MP42");
    CHECK(dec != NULL, "ICOpen for decompression found no codec for MP42");
    if (!enc || !dec) return 1;

    LRESULT state_size = ICSendMessage(enc, ICM_GETSTATE, 0, 0);
    CHECK(state_size >= 24, "state block of %ld bytes, want at least 24", (long)state_size);

    static unsigned char frames[FRAMES][PICTURE_BYTES], packed[PICTURE_BYTES], decoded[PICTURE_BYTES];
    for (int n = 0; n < FRAMES; ++n) make_frame(frames[n], n);
    /* Frame 5: the noise of frame 4 with a small change, a cheap delta again. */
    memcpy(frames[5], frames[4], PICTURE_BYTES);
    for (int i = 0; i < 100; ++i) frames[5][1000 + i] ^= 0x55;

    ICSendMessage(enc, ICM_COMPRESS_BEGIN, (DWORD_PTR)&in, (DWORD_PTR)&out);
    ICSendMessage(dec, ICM_DECOMPRESS_BEGIN, (DWORD_PTR)&out, (DWORD_PTR)&in);
    for (int n = 0; n < FRAMES; ++n) {
        DWORD flags = 0;
        DWORD request = n == 0 ? ICCOMPRESS_KEYFRAME : 0;
        LRESULT r = ICCompress(enc, request, &out, packed, &in, frames[n], NULL, &flags, n, 0, 10000, &in,
                               n == 0 ? NULL : frames[n - 1]);
        CHECK(r == ICERR_OK, "frame %d: ICCompress answered %ld", n, (long)r);
        CHECK(out.biSizeImage > 0 && out.biSizeImage <= PICTURE_BYTES, "frame %d: compressed size %lu", n,
              (unsigned long)out.biSizeImage);
        int key = (flags & AVIIF_KEYFRAME) != 0;
        /* Frame 0 is asked as key; frame 4 is noise, so no delta for it fits. */
        int want_key = n == 0 || n == 4;
        CHECK(key == want_key, "frame %d: key flag %d, want %d", n, key, want_key);
        if (n == 2) CHECK(out.biSizeImage < PICTURE_BYTES / 50, "frame 2 repeats frame 1 but takes %lu bytes",
                          (unsigned long)out.biSizeImage);
        memset(decoded, 0, sizeof decoded);
        r = ICDecompress(dec, key ? 0 : ICDECOMPRESS_NOTKEYFRAME, &out, packed, &in, decoded);
        CHECK(r == ICERR_OK, "frame %d: ICDecompress answered %ld", n, (long)r);
        /* Noise can't be coded in fewer bytes; it is stored as it is but for
         * its last byte. Every other frame decodes exactly, frame 5 too,
         * whose delta is taken against frame 4 as decoded. */
        size_t exact = n == 4 ? PICTURE_BYTES - 1 : PICTURE_BYTES;
        CHECK(memcmp(decoded, frames[n], exact) == 0, "frame %d: decoded picture differs from its source", n);
    }
    ICSendMessage(enc, ICM_COMPRESS_END, 0, 0);
    ICSendMessage(dec, ICM_DECOMPRESS_END, 0, 0);
    ICClose(enc);
    ICClose(dec);

    if (failures == 0) printf("codec_roundtrip: ok\n");
    return failures == 0 ? 0 : 1;
}
