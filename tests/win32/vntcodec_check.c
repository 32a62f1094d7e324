/* Checks vntcodec.dll as Windows programs reach it, through the compression
 * manager once regsvr32 has installed it.
 *
 *   vntcodec_check.exe probe FOURCC...
 *       each FourCC opens for compression and decompression, describes
 *       itself, has no settings dialog, keeps its state block, codes a key
 *       frame on request and delta frames otherwise, never more than the
 *       picture, and decodes what it coded close to the source.
 *   vntcodec_check.exe decode IN.AVI OUT.RAW
 *       decodes every frame of the video stream through the codec the file
 *       names, in order, as the verification decoder does, into bottom-up
 *       rows of width * 3 bytes (ffmpeg's bgr24 with vflip lays out the same).
 * Exit code 0 when all holds. */
#include <windows.h>
#include <vfw.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;
#define CHECK(cond, ...)                                  \
    do {                                                  \
        if (!(cond)) {                                    \
            ++failures;                                   \
            fprintf(stderr, "vntcodec_check: " __VA_ARGS__); \
            fputc('\n', stderr);                          \
        }                                                 \
    } while (0)

enum { W = 176, H = 144, ROW = W * 3, PICTURE_BYTES = ROW * H, FRAMES = 12 };

static DWORD fourcc_of(const char *s) { return mmioFOURCC(s[0], s[1], s[2], s[3]); }

/* A moving gradient with a square: delta frames are cheap, the first one is not. */
static void make_frame(unsigned char *p, int n) {
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            unsigned char *px = p + y * ROW + x * 3;
            int inside = x >= 40 + 2 * n && x < 80 + 2 * n && y >= 50 && y < 90;
            px[0] = (unsigned char)(inside ? 30 : (x + n) * 255 / W);
            px[1] = (unsigned char)(inside ? 200 : y * 255 / H);
            px[2] = (unsigned char)(inside ? 90 : 128);
        }
}

static double psnr(const unsigned char *a, const unsigned char *b, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += (double)(a[i] - b[i]) * (a[i] - b[i]);
    return sum == 0 ? 99.0 : 10.0 * log10(255.0 * 255.0 * n / sum);
}

static void probe(const char *name) {
    const DWORD fcc = fourcc_of(name);
    HIC enc = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_COMPRESS);
    HIC dec = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_DECOMPRESS);
    CHECK(enc != NULL, "%s: ICOpen for compression found no codec", name);
    CHECK(dec != NULL, "%s: ICOpen for decompression found no codec", name);
    if (!enc || !dec) goto done;

    ICINFO info;
    memset(&info, 0, sizeof info);
    CHECK(ICGetInfo(enc, &info, sizeof info) == sizeof info, "%s: ICGetInfo failed", name);
    char want_name[16];
    snprintf(want_name, sizeof want_name, "vnt %s", name);
    char got_name[16], got_driver[128];
    WideCharToMultiByte(CP_ACP, 0, info.szName, -1, got_name, sizeof got_name, NULL, NULL);
    WideCharToMultiByte(CP_ACP, 0, info.szDriver, -1, got_driver, sizeof got_driver, NULL, NULL);
    CHECK(strcmp(got_name, want_name) == 0, "%s: ICGetInfo name \"%s\"", name, got_name);
    CHECK(info.fccHandler == fcc && (info.dwFlags & VIDCF_TEMPORAL), "%s: ICGetInfo handler %08lx flags %lx", name,
          (unsigned long)info.fccHandler, (unsigned long)info.dwFlags);
    CHECK(_stricmp(got_driver, "vntcodec.dll") == 0, "%s: driver file \"%s\"", name, got_driver);
    CHECK(!ICQueryConfigure(enc), "%s: claims a settings dialog", name);
    CHECK(!ICQueryAbout(enc), "%s: claims an about box", name);

    /* The state block: 32 bytes, bit rate as a double at 8; what is set is read back. */
    unsigned char state[32];
    CHECK(ICGetStateSize(enc) == 32, "%s: state block of %ld bytes", name, (long)ICGetStateSize(enc));
    CHECK(ICGetState(enc, state, sizeof state) == 32, "%s: ICGetState failed", name);
    double kbps = 900.0;
    memcpy(state + 8, &kbps, 8);
    CHECK(ICSetState(enc, state, sizeof state) == 32, "%s: ICSetState refused its own block", name);
    unsigned char again[32];
    ICGetState(enc, again, sizeof again);
    CHECK(memcmp(state, again, 32) == 0, "%s: the state block read back differs from the one set", name);

    BITMAPINFOHEADER in = {sizeof(BITMAPINFOHEADER), W, H, 1, 24, BI_RGB, PICTURE_BYTES, 0, 0, 0, 0};
    BITMAPINFOHEADER out;
    CHECK(ICCompressGetFormat(enc, &in, &out) == ICERR_OK && out.biCompression == fcc,
          "%s: ICCompressGetFormat", name);
    CHECK(ICCompressBegin(enc, &in, &out) == ICERR_OK, "%s: ICCompressBegin", name);
    CHECK(ICDecompressBegin(dec, &out, &in) == ICERR_OK, "%s: ICDecompressBegin", name);
    static unsigned char frame[PICTURE_BYTES], packed[PICTURE_BYTES], decoded[PICTURE_BYTES];
    for (int n = 0; n < FRAMES; ++n) {
        make_frame(frame, n);
        DWORD flags = 0;
        const int ask_key = n == 0 || n == 7;
        out.biSizeImage = PICTURE_BYTES;
        LRESULT r = ICCompress(enc, ask_key ? ICCOMPRESS_KEYFRAME : 0, &out, packed, &in, frame, NULL, &flags, n, 0,
                               10000, NULL, NULL);
        CHECK(r == ICERR_OK, "%s frame %d: ICCompress answered %ld", name, n, (long)r);
        if (r != ICERR_OK) break;
        CHECK(out.biSizeImage > 0 && out.biSizeImage <= PICTURE_BYTES, "%s frame %d: %lu bytes", name, n,
              (unsigned long)out.biSizeImage);
        const int key = (flags & AVIIF_KEYFRAME) != 0;
        CHECK(key == ask_key, "%s frame %d: key flag %d, asked %d", name, n, key, ask_key);
        r = ICDecompress(dec, key ? 0 : ICDECOMPRESS_NOTKEYFRAME, &out, packed, &in, decoded);
        CHECK(r == ICERR_OK, "%s frame %d: ICDecompress answered %ld", name, n, (long)r);
        const double q = psnr(frame, decoded, PICTURE_BYTES);
        CHECK(q > 30.0, "%s frame %d: decoded at %.1f dB PSNR", name, n, q);
    }
    ICCompressEnd(enc);
    ICDecompressEnd(dec);
done:
    if (enc) ICClose(enc);
    if (dec) ICClose(dec);
}

static int decode(const char *avi, const char *raw) {
    PAVIFILE file;
    PAVISTREAM stream;
    AVIFileInit();
    if (AVIFileOpenA(&file, avi, OF_READ, NULL) != 0) {
        fprintf(stderr, "vntcodec_check: cannot open %s\n", avi);
        return 1;
    }
    if (AVIFileGetStream(file, &stream, streamtypeVIDEO, 0) != 0) {
        fprintf(stderr, "vntcodec_check: %s has no video stream\n", avi);
        return 1;
    }
    AVISTREAMINFOA si;
    AVIStreamInfoA(stream, &si, sizeof si);
    static unsigned char format[4096];
    LONG format_size = sizeof format;
    AVIStreamReadFormat(stream, 0, format, &format_size);
    BITMAPINFOHEADER *bi = (BITMAPINFOHEADER *)format;
    const int width = bi->biWidth, height = abs(bi->biHeight);
    const size_t stride = ((size_t)width * 3 + 3) & ~(size_t)3;
    BITMAPINFOHEADER rgb = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, (DWORD)(stride * height), 0, 0, 0,
                            0};
    /* The codec named by the stream, opened as the verification decoder opens it. */
    HIC dec = ICOpen(ICTYPE_VIDEO, bi->biCompression, ICMODE_DECOMPRESS);
    if (!dec || ICDecompressBegin(dec, bi, &rgb) != ICERR_OK) {
        fprintf(stderr, "vntcodec_check: no codec decodes %.4s\n", (const char *)&bi->biCompression);
        return 1;
    }
    ICINFO info;
    char driver[128] = "";
    if (ICGetInfo(dec, &info, sizeof info))
        WideCharToMultiByte(CP_ACP, 0, info.szDriver, -1, driver, sizeof driver, NULL, NULL);
    FILE *out = fopen(raw, "wb");
    if (!out) return 1;
    unsigned char *data = malloc(stride * height + 1), *picture = malloc(stride * height);
    LONG frames = 0;
    int ok = 1;
    for (LONG n = si.dwStart; n < (LONG)(si.dwStart + si.dwLength); ++n) {
        LONG bytes = 0, samples = 0;
        if (AVIStreamRead(stream, n, 1, data, (LONG)(stride * height), &bytes, &samples) != 0) {
            fprintf(stderr, "vntcodec_check: frame %ld cannot be read\n", (long)n);
            ok = 0;
            break;
        }
        bi->biSizeImage = (DWORD)bytes;
        if (bytes > 0 && ICDecompress(dec, AVIStreamIsKeyFrame(stream, n) ? 0 : ICDECOMPRESS_NOTKEYFRAME, bi, data,
                                      &rgb, picture) != ICERR_OK) {
            fprintf(stderr, "vntcodec_check: frame %ld does not decode\n", (long)n);
            ok = 0;
            break;
        }
        for (int y = 0; y < height; ++y) fwrite(picture + y * stride, 1, (size_t)width * 3, out);
        ++frames;
    }
    fclose(out);
    ICDecompressEnd(dec);
    ICClose(dec);
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    AVIFileExit();
    printf("%ld frames decoded by %s\n", (long)frames, driver);
    return ok ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "decode") == 0) return decode(argv[2], argv[3]);
    if (argc < 3 || strcmp(argv[1], "probe") != 0) {
        fprintf(stderr, "usage: vntcodec_check probe FOURCC... | decode IN.AVI OUT.RAW\n");
        return 2;
    }
    for (int i = 2; i < argc; ++i) probe(argv[i]);
    if (failures == 0) printf("vntcodec_check: ok\n");
    return failures == 0 ? 0 : 1;
}
