// What the 64-bit editor (AviUtl ExEdit2) and an .auo2 output plug-in
// exchange: the table the plug-in exports, the request for one export, and
// the handles the optional entries hand over (log, configuration, project
// file). Our own declarations of the layouts its SDK gives; the host of ours
// includes this too. Texts are UTF-16 everywhere: Auo2Char is 16 bits on
// every platform (wchar_t is 32 on Linux), the same bytes as Windows' WCHAR.
// Callbacks use the platform's one C calling convention (the editor exists
// for x86-64 only); bool is one byte on both sides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/platform.h"

using Auo2Char = char16_t;
using Auo2Text = const Auo2Char*;

// Bits of Auo2Request::flags.
constexpr int32_t kAuo2RequestVideo = 1;
constexpr int32_t kAuo2RequestAudio = 2;

// Formats fetch_video takes: 0 a bottom-up 24-bit BI_RGB DIB; the others are
// FourCCs (premultiplied 16-bit RGBA, its half-float form, YUY2, YC48).
constexpr DWORD kAuo2VideoRgb24 = 0;
constexpr DWORD kAuo2VideoPa64 = mmioFOURCC('P', 'A', '6', '4');
constexpr DWORD kAuo2VideoHf64 = mmioFOURCC('H', 'F', '6', '4');
constexpr DWORD kAuo2VideoYuy2 = mmioFOURCC('Y', 'U', 'Y', '2');
constexpr DWORD kAuo2VideoYc48 = mmioFOURCC('Y', 'C', '4', '8');
// Formats fetch_audio takes: the WAVE format tags of 16-bit PCM and 32-bit float.
constexpr DWORD kAuo2AudioPcm16 = 1;
constexpr DWORD kAuo2AudioFloat32 = 3;
// Frames and audio blocks the host buffers unless asked otherwise; it reads
// ahead half of what it buffers.
constexpr int kAuo2DefaultBuffers = 4;

// The host's record for one export; the plug-in only reads it. What a fetch
// hands out stays valid only until the next call to the host (or the return
// from the plug-in's entry).
struct Auo2Request {
    int32_t flags;           // kAuo2RequestVideo, kAuo2RequestAudio
    int32_t width;
    int32_t height;
    int32_t rate;            // frame-rate numerator
    int32_t scale;           // frame-rate denominator
    int32_t frame_count;
    int32_t audio_rate;      // samples per second
    int32_t audio_channels;
    int32_t audio_count;     // samples (of all channels) in the export
    Auo2Text output_path;    // the file to create
    void* (*fetch_video)(int frame, DWORD format);
    // Samples start .. start+length-1 in format, *read of them there.
    void* (*fetch_audio)(int start, int length, int* read, DWORD format);
    bool (*abort_requested)();
    void (*show_remaining_time)(int frame, int frame_count);
    // Buffers for the host's read-ahead: frames, audio blocks.
    void (*set_buffer_size)(int video, int audio);
};

// What a project file holds for the plug-in: keys and strings in UTF-8, or
// binary blocks of at most kAuo2ProjectBinaryMost bytes. Valid only during
// the load or save call it is handed to; the entries take no handle.
struct Auo2Project {
    const char* (*get_string)(const char* key);  // null when the key is not set
    void (*set_string)(const char* key, const char* value);
    // Fails unless size is the stored block's size.
    bool (*get_binary)(const char* key, void* data, int size);
    void (*set_binary)(const char* key, void* data, int size);
    void (*clear)();  // every key of the plug-in
    Auo2Text (*project_path)();  // may be empty: a project not yet saved
};
constexpr int kAuo2ProjectBinaryMost = 4096;

// Bits of Auo2Table::flags.
constexpr int32_t kAuo2TableVideo = 1;
constexpr int32_t kAuo2TableAudio = 2;
constexpr int32_t kAuo2TableStillImage = 4;    // one frame per export
constexpr int32_t kAuo2TableProjectConfig = 8;  // the project entries are called

struct Auo2Table {
    int32_t flags;
    Auo2Text name;
    Auo2Text file_filter;  // description, pattern, ..., ended by an empty string
    Auo2Text information;
    bool (*on_output)(Auo2Request* request);
    bool (*on_config)(HWND parent, HINSTANCE instance);  // null: no settings button
    // The line shown beside the settings button; valid until the next call.
    Auo2Text (*on_config_text)();
    bool (*on_load_project)(Auo2Project* project);
    bool (*on_save_project)(Auo2Project* project);
};

struct Auo2FontInfo {
    Auo2Text name;
    float size;
};

// The configuration handle InitializeConfig hands over (before
// InitializePlugin). Only app_data_path is the plug-in's concern here: the
// editor's application-data folder, where a plug-in may keep files.
struct Auo2ConfigHandle {
    Auo2Text app_data_path;
    Auo2Text (*translate)(Auo2ConfigHandle* handle, Auo2Text text);
    Auo2Text (*language_text)(Auo2ConfigHandle* handle, Auo2Text section, Auo2Text text);
    Auo2FontInfo* (*font_info)(Auo2ConfigHandle* handle, const char* key);
    int (*color_code)(Auo2ConfigHandle* handle, const char* key);
    int (*layout_size)(Auo2ConfigHandle* handle, const char* key);
    int (*color_code_at)(Auo2ConfigHandle* handle, const char* key, int index);
};

// The log handle InitializeLogger hands over (before InitializePlugin); it
// stays valid while the plug-in is loaded. A message holds at most
// kAuo2LogMostChars characters.
struct Auo2Logger {
    void (*plugin)(Auo2Logger* handle, Auo2Text message);
    void (*info)(Auo2Logger* handle, Auo2Text message);
    void (*warn)(Auo2Logger* handle, Auo2Text message);
    void (*error)(Auo2Logger* handle, Auo2Text message);
    void (*verbose)(Auo2Logger* handle, Auo2Text message);
};
constexpr int kAuo2LogMostChars = 1024;

// The module's exports as the host looks them up, undecorated C names.
// GetOutputPluginTable is required; the others are called when present, in
// the order InitializeLogger, InitializeConfig, InitializePlugin (false: the
// plug-in is not used), and UninitializePlugin before the module is unloaded.
// RequiredVersion answers the oldest host version the plug-in runs on.
using Auo2GetTableFunc = Auo2Table* (*)();
using Auo2RequiredVersionFunc = DWORD (*)();
using Auo2InitializePluginFunc = bool (*)(DWORD host_version);
using Auo2UninitializePluginFunc = void (*)();
using Auo2InitializeLoggerFunc = void (*)(Auo2Logger* logger);
using Auo2InitializeConfigFunc = void (*)(Auo2ConfigHandle* config);

static_assert(sizeof(Auo2Char) == 2 && sizeof(bool) == 1);
// The editor's layouts, byte for byte, where pointers are 64-bit.
static_assert(sizeof(void*) != 8 || (offsetof(Auo2Request, frame_count) == 20 &&
                                     offsetof(Auo2Request, audio_count) == 32 &&
                                     offsetof(Auo2Request, output_path) == 40 &&
                                     offsetof(Auo2Request, fetch_video) == 48 &&
                                     offsetof(Auo2Request, fetch_audio) == 56 &&
                                     offsetof(Auo2Request, abort_requested) == 64 &&
                                     offsetof(Auo2Request, show_remaining_time) == 72 &&
                                     offsetof(Auo2Request, set_buffer_size) == 80 && sizeof(Auo2Request) == 88));
static_assert(sizeof(void*) != 8 || (offsetof(Auo2Table, name) == 8 && offsetof(Auo2Table, file_filter) == 16 &&
                                     offsetof(Auo2Table, information) == 24 &&
                                     offsetof(Auo2Table, on_output) == 32 && offsetof(Auo2Table, on_config) == 40 &&
                                     offsetof(Auo2Table, on_config_text) == 48 &&
                                     offsetof(Auo2Table, on_load_project) == 56 &&
                                     offsetof(Auo2Table, on_save_project) == 64 && sizeof(Auo2Table) == 72));
static_assert(sizeof(void*) != 8 || (offsetof(Auo2Project, get_binary) == 16 && offsetof(Auo2Project, clear) == 32 &&
                                     offsetof(Auo2Project, project_path) == 40 && sizeof(Auo2Project) == 48));
static_assert(sizeof(void*) != 8 || (offsetof(Auo2ConfigHandle, translate) == 8 &&
                                     offsetof(Auo2ConfigHandle, color_code_at) == 48 &&
                                     sizeof(Auo2ConfigHandle) == 56 && offsetof(Auo2FontInfo, size) == 8 &&
                                     sizeof(Auo2FontInfo) == 16));
static_assert(sizeof(void*) != 8 || (offsetof(Auo2Logger, error) == 24 && sizeof(Auo2Logger) == 40));
