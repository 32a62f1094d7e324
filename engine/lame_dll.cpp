// Windows only: LAME's entries, taken from mp3lame-vnt.dll when the first MP3
// stream opens rather than imported. twopass.exe and vnt.auo then start
// without that DLL (they import the system's libraries only), and only
// keeping audio as MP3 needs it: without it lame_init gives no encoder, and
// the run stops before its output exists, as for any encoder that can't open.
//
// The DLL is looked for beside the module this code is in (twopass.exe, or
// vnt.auo in the editor's plug-in folder), then where Windows looks for DLLs.
#include <lame.h>

#include <cstring>

#include "engine/platform.h"

namespace {

constexpr wchar_t kLameDll[] = L"mp3lame-vnt.dll";

HMODULE load_lame() {
    HMODULE self = nullptr;
    wchar_t path[MAX_PATH + 32];
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&load_lame), &self)) {
        const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            wchar_t* slash = path + n;
            while (slash > path && slash[-1] != L'\\' && slash[-1] != L'/') --slash;
            std::memcpy(slash, kLameDll, sizeof kLameDll);
            if (HMODULE lame = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) return lame;
        }
    }
    return LoadLibraryW(kLameDll);
}

// Loaded once, on first use; kept for the life of the process.
FARPROC lame_entry(const char* name) {
    static const HMODULE lame = load_lame();
    return lame ? GetProcAddress(lame, name) : nullptr;
}

}  // namespace

// Each entry forwards to the DLL's, or gives fail when it is missing.
#define LAME_FORWARD(ret, name, params, args, fail)                                    \
    ret CDECL name params {                                                            \
        using Entry = ret(CDECL*) params;                                              \
        static const Entry entry = reinterpret_cast<Entry>(lame_entry(#name));         \
        return entry ? entry args : fail;                                              \
    }

extern "C" {
LAME_FORWARD(lame_global_flags*, lame_init, (void), (), nullptr)
LAME_FORWARD(int, lame_set_in_samplerate, (lame_global_flags* g, int v), (g, v), -1)
LAME_FORWARD(int, lame_set_out_samplerate, (lame_global_flags* g, int v), (g, v), -1)
LAME_FORWARD(int, lame_set_num_channels, (lame_global_flags* g, int v), (g, v), -1)
LAME_FORWARD(int, lame_set_mode, (lame_global_flags* g, MPEG_mode v), (g, v), -1)
LAME_FORWARD(int, lame_set_VBR, (lame_global_flags* g, vbr_mode v), (g, v), -1)
LAME_FORWARD(int, lame_set_brate, (lame_global_flags* g, int v), (g, v), -1)
LAME_FORWARD(int, lame_set_quality, (lame_global_flags* g, int v), (g, v), -1)
LAME_FORWARD(int, lame_set_bWriteVbrTag, (lame_global_flags* g, int v), (g, v), -1)
LAME_FORWARD(void, lame_set_write_id3tag_automatic, (lame_global_flags* g, int v), (g, v), void())
LAME_FORWARD(int, lame_init_params, (lame_global_flags* g), (g), -1)
LAME_FORWARD(int, lame_get_out_samplerate, (const lame_global_flags* g), (g), 0)
LAME_FORWARD(int, lame_get_brate, (const lame_global_flags* g), (g), 0)
LAME_FORWARD(int, lame_encode_buffer,
             (lame_global_flags* g, const short int l[], const short int r[], const int n, unsigned char* out,
              const int size),
             (g, l, r, n, out, size), -1)
LAME_FORWARD(int, lame_encode_buffer_interleaved,
             (lame_global_flags* g, short int pcm[], int n, unsigned char* out, int size), (g, pcm, n, out, size),
             -1)
LAME_FORWARD(int, lame_encode_flush, (lame_global_flags* g, unsigned char* out, int size), (g, out, size), -1)
LAME_FORWARD(int, lame_close, (lame_global_flags* g), (g), -1)
}
