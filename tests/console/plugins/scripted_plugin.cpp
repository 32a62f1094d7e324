// A VFAPI reader plug-in for tests, built by the suite at run time. It reads
// what to do from "<its own path>.script" (key=value lines) and appends every
// call it gets to the journal named there, one line each, prefixed with its
// own file name, so that a test can check which plug-in was loaded, called
// and unloaded, and with what.
//
// Keys (defaults in brackets): journal, get_plugin_func [0] (its result),
// open [0] (OpenInput's result), handle [4660] (written before OpenInput
// answers), flags [1], frames_l [10], frames_h [0], rate [25], scale [1],
// width [16], height [8], bits [24], fail_read_at [-1] (ReadData fails from
// this frame number on), read_error [1] (what it answers then).
// Audio (QueryStreamInfo kind 2): audio_info [0] (its result), a_length
// [0], a_rate [44100], a_scale [1], a_channels [2], a_bits [16], a_align
// [channels * bits / 8]; ReadData kind 2: a_samples [-1] (how many samples
// there are, -1 for no end), a_read_error [0] (its result).
//
// Pictures: the pixel at column x of top-down row y of frame f is blue
// (x + f) & 255, green y & 255, red f & 255. Audio: channel c of sample p
// is p * 2 + c as a 16-bit word, or (p + 64 * c) & 255 as an 8-bit one.
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/vfapi.h"

namespace {

// Plain data only: nothing here may need destroying before the unload line
// of the journal is written.
constexpr const char* kKeys[] = {"get_plugin_func", "open", "handle", "flags", "frames_l", "frames_h", "rate",
                                 "scale", "width", "height", "bits", "fail_read_at", "read_error", "audio_info",
                                 "a_length", "a_rate", "a_scale", "a_channels", "a_bits", "a_align", "a_samples",
                                 "a_read_error"};
constexpr int kKeyCount = sizeof kKeys / sizeof kKeys[0];

struct Script {
    bool loaded;
    char name[256];     // this library's file name, the journal's prefix
    char journal[1024];
    bool set[kKeyCount];
    long long values[kKeyCount];
};
Script g_script;

const Script& script() {
    if (g_script.loaded) return g_script;
    g_script.loaded = true;
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&g_script), &info) || !info.dli_fname) return g_script;
    const char* slash = std::strrchr(info.dli_fname, '/');
    std::snprintf(g_script.name, sizeof g_script.name, "%s", slash ? slash + 1 : info.dli_fname);
    char path[1100];
    std::snprintf(path, sizeof path, "%s.script", info.dli_fname);
    FILE* in = std::fopen(path, "r");
    if (!in) return g_script;
    char line[1200];
    while (std::fgets(line, sizeof line, in)) {
        line[std::strcspn(line, "\r\n")] = 0;
        char* eq = std::strchr(line, '=');
        if (!eq) continue;
        *eq = 0;
        if (std::strcmp(line, "journal") == 0) {
            std::snprintf(g_script.journal, sizeof g_script.journal, "%s", eq + 1);
            continue;
        }
        for (int i = 0; i < kKeyCount; ++i) {
            if (std::strcmp(line, kKeys[i]) == 0) {
                g_script.set[i] = true;
                g_script.values[i] = std::strtoll(eq + 1, nullptr, 0);
            }
        }
    }
    std::fclose(in);
    return g_script;
}

long long number(const char* key, long long fallback) {
    const Script& s = script();
    for (int i = 0; i < kKeyCount; ++i)
        if (std::strcmp(key, kKeys[i]) == 0 && s.set[i]) return s.values[i];
    return fallback;
}

void journal(const char* format, ...) __attribute__((format(printf, 1, 2)));
void journal(const char* format, ...) {
    const Script& s = script();
    if (!s.journal[0]) return;
    FILE* file = std::fopen(s.journal, "a");
    if (!file) return;
    std::fprintf(file, "%s ", s.name);
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fputc('\n', file);
    std::fclose(file);
}

__attribute__((constructor)) void on_load() { journal("load"); }
__attribute__((destructor)) void on_unload() { journal("unload"); }

HRESULT WINAPI open_input(LPCSTR path, VfapiHandle* handle) {
    journal("open %s", path);
    *handle = static_cast<VfapiHandle>(number("handle", 4660));
    return static_cast<HRESULT>(number("open", 0));
}

HRESULT WINAPI close_input(VfapiHandle handle) {
    journal("close %llu", static_cast<unsigned long long>(handle));
    return 0;
}

HRESULT WINAPI query_file_info(VfapiHandle, VfapiFileInfo* info) {
    journal("fileinfo %u", info->dwSize);
    info->dwStreamFlags = static_cast<DWORD>(number("flags", 1));
    return 0;
}

HRESULT WINAPI query_stream_info(VfapiHandle, DWORD kind, void* data) {
    auto* size = static_cast<DWORD*>(data);
    journal("streaminfo %u %u", kind, *size);
    if (kind == kVfapiStreamVideo) {
        auto* video = static_cast<VfapiVideoInfo*>(data);
        video->dwFrameCountL = static_cast<DWORD>(number("frames_l", 10));
        video->dwFrameCountH = static_cast<DWORD>(number("frames_h", 0));
        video->dwFrameRate = static_cast<DWORD>(number("rate", 25));
        video->dwFrameScale = static_cast<DWORD>(number("scale", 1));
        video->dwFrameWidth = static_cast<DWORD>(number("width", 16));
        video->dwFrameHeight = static_cast<DWORD>(number("height", 8));
        video->dwPixelBits = static_cast<DWORD>(number("bits", 24));
    }
    if (kind == kVfapiStreamAudio) {
        auto* audio = static_cast<VfapiAudioInfo*>(data);
        audio->dwLengthL = static_cast<DWORD>(number("a_length", 0));
        audio->dwLengthH = 0;
        audio->dwRate = static_cast<DWORD>(number("a_rate", 44100));
        audio->dwScale = static_cast<DWORD>(number("a_scale", 1));
        audio->dwChannels = static_cast<DWORD>(number("a_channels", 2));
        audio->dwBitsPerSample = static_cast<DWORD>(number("a_bits", 16));
        audio->dwBlockAlign = static_cast<DWORD>(number("a_align", audio->dwChannels * audio->dwBitsPerSample / 8));
        return static_cast<HRESULT>(number("audio_info", 0));
    }
    return 0;
}

HRESULT read_audio(VfapiAudioRead* request) {
    journal("read 2 %u %u %u %u %u", request->dwSize, request->dwSamplePosL, request->dwSamplePosH,
            request->dwSampleCount, request->dwBufSize);
    const long long channels = number("a_channels", 2);
    const long long bits = number("a_bits", 16);
    const long long samples = number("a_samples", -1);
    const long long from = static_cast<long long>((static_cast<unsigned long long>(request->dwSamplePosH) << 32) |
                                                  request->dwSamplePosL);
    long long count = request->dwSampleCount;
    if (samples >= 0) count = from >= samples ? 0 : count < samples - from ? count : samples - from;
    auto* out = static_cast<unsigned char*>(request->lpBuf);
    for (long long p = from; p < from + count; ++p) {
        for (long long c = 0; c < channels; ++c) {
            if (bits == 8) {
                *out++ = static_cast<unsigned char>(p + 64 * c);
            } else {
                const auto word = static_cast<unsigned short>(p * 2 + c);
                *out++ = static_cast<unsigned char>(word);
                *out++ = static_cast<unsigned char>(word >> 8);
            }
        }
    }
    request->dwReadedSampleCount = static_cast<DWORD>(count);
    return static_cast<HRESULT>(number("a_read_error", 0));
}

HRESULT WINAPI read_data(VfapiHandle, DWORD kind, void* data) {
    if (kind == kVfapiStreamAudio) return read_audio(static_cast<VfapiAudioRead*>(data));
    auto* request = static_cast<VfapiVideoRead*>(data);
    journal("read %u %u %u %u %d", kind, request->dwSize, request->dwFrameNumberL, request->dwFrameNumberH,
            static_cast<int>(request->lPitch));
    const unsigned long long frame =
        (static_cast<unsigned long long>(request->dwFrameNumberH) << 32) | request->dwFrameNumberL;
    const long long fail_at = number("fail_read_at", -1);
    if (fail_at >= 0 && frame >= static_cast<unsigned long long>(fail_at))
        return static_cast<HRESULT>(number("read_error", 1));
    const long long width = number("width", 16);
    const long long height = number("height", 8);
    const long long bytes = number("bits", 24) / 8;
    for (long long y = 0; y < height; ++y) {
        BYTE* row = request->lpData + y * request->lPitch;
        for (long long x = 0; x < width; ++x) {
            BYTE* pixel = row + x * bytes;
            pixel[0] = static_cast<BYTE>(x + static_cast<long long>(frame));
            pixel[1] = static_cast<BYTE>(y);
            pixel[2] = static_cast<BYTE>(frame);
            for (long long extra = 3; extra < bytes; ++extra) pixel[extra] = 0;
        }
    }
    return 0;
}

}  // namespace

#ifndef SCRIPTED_NO_EXPORT
extern "C" __attribute__((visibility("default"))) HRESULT WINAPI vfGetPluginFunc(VfapiFunctionTable* table) {
    journal("getfunc %u", table->dwSize);
    table->OpenInput = open_input;
    table->CloseInput = close_input;
    table->QueryFileInfo = query_file_info;
    table->QueryStreamInfo = query_stream_info;
    table->ReadData = read_data;
    return static_cast<HRESULT>(number("get_plugin_func", 0));
}
#else
// Keeps the unexported functions from being dropped as unused.
extern "C" __attribute__((visibility("default"))) void* scripted_entries[] = {
    reinterpret_cast<void*>(open_input), reinterpret_cast<void*>(close_input),
    reinterpret_cast<void*>(query_file_info), reinterpret_cast<void*>(query_stream_info),
    reinterpret_cast<void*>(read_data)};
#endif
