/* A VFAPI reader plug-in for tests under Wine: it "opens" small text files
 * that describe a generated moving pattern and decodes its frames.
 *
 * An input file holds one line:
 *   VFPATTERN <width> <height> <frames> <rate> <scale> [<fail-at-frame>]
 * Any other file is refused. Frame n's pixel at column x and row y (row 0 at
 * the top of the picture) is blue (x + 3n), green (2y + n), red (x + y + 5n),
 * each taken modulo 256; tests/win32/check_output.py draws the same pattern.
 * ReadData fails for frame numbers at or past <frames>, and at
 * <fail-at-frame> when one is given.
 *
 * Entries use the stdcall convention. In the 32-bit build the records have
 * the plug-in interface's 32-bit layouts; a 64-bit build keeps the field
 * order with native pointers, and file handles are pointer-sized. When
 * VFPATTERN_TRACE names a file, each call is appended to it as a line of text. */
#include <windows.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef DWORD_PTR VfHandle;

typedef struct VfFileInfo {
    DWORD dwSize;
    DWORD dwStreamFlags;
} VfFileInfo;

typedef struct VfVideoInfo {
    DWORD dwSize;
    DWORD dwFrameCountL;
    DWORD dwFrameCountH;
    DWORD dwFrameRate;
    DWORD dwFrameScale;
    DWORD dwFrameWidth;
    DWORD dwFrameHeight;
    DWORD dwPixelBits;
} VfVideoInfo;

typedef struct VfVideoRead {
    DWORD dwSize;
    DWORD dwFrameNumberL;
    DWORD dwFrameNumberH;
    void *lpData;
    LONG lPitch;
} VfVideoRead;

typedef struct VfFunctions {
    DWORD dwSize;
    LONG(WINAPI *OpenInput)(const char *path, VfHandle *handle);
    LONG(WINAPI *CloseInput)(VfHandle handle);
    LONG(WINAPI *QueryFileInfo)(VfHandle handle, VfFileInfo *info);
    LONG(WINAPI *QueryStreamInfo)(VfHandle handle, DWORD kind, void *info);
    LONG(WINAPI *ReadData)(VfHandle handle, DWORD kind, void *request);
} VfFunctions;

_Static_assert(sizeof(VfFileInfo) == 8, "file info record");
_Static_assert(sizeof(VfVideoInfo) == 32, "video info record");
_Static_assert(sizeof(void *) != 4 || sizeof(VfVideoRead) == 20, "read request record");
_Static_assert(sizeof(void *) != 4 || sizeof(VfFunctions) == 24, "function table");

typedef struct Pattern {
    DWORD width, height, frames, rate, scale;
    long fail_at;
} Pattern;

static void trace(const char *format, ...) {
    const char *path = getenv("VFPATTERN_TRACE");
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

static LONG WINAPI open_input(const char *path, VfHandle *handle) {
    trace("open %s", path ? path : "(null)");
    if (!path || !handle) return 1;
    FILE *file = fopen(path, "rb");
    if (!file) return 1;
    char line[256] = {0};
    int got = fgets(line, sizeof line, file) != NULL;
    fclose(file);
    Pattern p = {0, 0, 0, 0, 0, -1};
    if (!got) return 1;
    int n = sscanf(line, "VFPATTERN %lu %lu %lu %lu %lu %ld", &p.width, &p.height, &p.frames, &p.rate, &p.scale,
                   &p.fail_at);
    if (n < 5 || p.width == 0 || p.height == 0 || p.scale == 0) return 1;
    Pattern *owned = (Pattern *)malloc(sizeof *owned);
    if (!owned) return 1;
    *owned = p;
    *handle = (VfHandle)owned;
    return 0;
}

static LONG WINAPI close_input(VfHandle handle) {
    trace("close");
    free((Pattern *)(uintptr_t)handle);
    return 0;
}

static LONG WINAPI query_file_info(VfHandle handle, VfFileInfo *info) {
    if (!handle || !info) return 1;
    trace("fileinfo size=%lu", (unsigned long)info->dwSize);
    info->dwStreamFlags = 1; /* video only */
    return 0;
}

static LONG WINAPI query_stream_info(VfHandle handle, DWORD kind, void *record) {
    const Pattern *p = (const Pattern *)(uintptr_t)handle;
    if (!p || !record) return 1;
    if (kind != 1) return 1;
    VfVideoInfo *info = (VfVideoInfo *)record;
    trace("streaminfo kind=%lu size=%lu", (unsigned long)kind, (unsigned long)info->dwSize);
    info->dwFrameCountL = p->frames;
    info->dwFrameCountH = 0;
    info->dwFrameRate = p->rate;
    info->dwFrameScale = p->scale;
    info->dwFrameWidth = p->width;
    info->dwFrameHeight = p->height;
    info->dwPixelBits = 24;
    return 0;
}

static LONG WINAPI read_data(VfHandle handle, DWORD kind, void *record) {
    const Pattern *p = (const Pattern *)(uintptr_t)handle;
    VfVideoRead *read = (VfVideoRead *)record;
    if (!p || !read || kind != 1) return 1;
    const DWORD n = read->dwFrameNumberL;
    trace("read size=%lu frame=%lu:%lu pitch=%ld", (unsigned long)read->dwSize, (unsigned long)read->dwFrameNumberH,
          (unsigned long)n, (long)read->lPitch);
    if (read->dwFrameNumberH != 0 || n >= p->frames || (p->fail_at >= 0 && n == (DWORD)p->fail_at)) return 1;
    unsigned char *row = (unsigned char *)read->lpData;
    for (DWORD y = 0; y < p->height; ++y, row += read->lPitch) {
        unsigned char *px = row;
        for (DWORD x = 0; x < p->width; ++x, px += 3) {
            px[0] = (unsigned char)(x + 3 * n);
            px[1] = (unsigned char)(2 * y + n);
            px[2] = (unsigned char)(x + y + 5 * n);
        }
    }
    return 0;
}

__declspec(dllexport) LONG WINAPI vfGetPluginFunc(VfFunctions *table) {
    if (!table) return 1;
    /* Name this library's own file, so a test can tell which listed copy ran. */
    char path[MAX_PATH] = "?";
    HMODULE self = NULL;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           (LPCSTR)(void *)open_input, &self))
        GetModuleFileNameA(self, path, sizeof path);
    const char *name = strrchr(path, '\\');
    trace("getpluginfunc size=%lu module=%s", (unsigned long)table->dwSize, name ? name + 1 : path);
    table->OpenInput = open_input;
    table->CloseInput = close_input;
    table->QueryFileInfo = query_file_info;
    table->QueryStreamInfo = query_stream_info;
    table->ReadData = read_data;
    return 0;
}
