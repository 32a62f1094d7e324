// What the video editor and the plug-in exchange: the table the plug-in
// exports and the request the host passes for one export. The host includes
// this too. Pointers are 32-bit in the Windows build, where the layouts below
// are exact; a 64-bit build keeps the order with native pointer width.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/platform.h"

// Bits of OutputRequest::flags.
constexpr int32_t kOutputHasVideo = 1;
constexpr int32_t kOutputHasAudio = 2;
constexpr int32_t kOutputBatch = 4;

// The host's record for one export; the plug-in only reads it. Frames come
// as bottom-up 24-bit DIBs: rows padded to 4 bytes.
struct OutputRequest {
    int32_t flags;             // kOutputHasVideo, ...; only kOutputHasAudio is read
    int32_t width;
    int32_t height;
    int32_t rate;              // frame-rate numerator
    int32_t scale;             // frame-rate denominator
    int32_t frame_count;       // read again before every frame
    int32_t frame_size;        // bytes of one frame (padded rows); not read
    int32_t audio_rate;        // audio, when flags say so: samples per second
    int32_t audio_channels;
    int32_t audio_count;       // samples
    int32_t audio_sample_size; // bytes per sample of all channels (16-bit PCM)
    const char* output_path;   // ANSI path of the AVI file to create
    void* (*fetch_frame)(int frame);            // pixels of the frame, valid until the next fetch
    // 16-bit PCM samples start .. start+length-1, *read of them there; valid
    // until the next call to the host. Called only with the audio setting on.
    void* (*fetch_audio)(int start, int length, int* read);
    int (*abort_requested)(void);               // nonzero once the user asked to stop
    int (*show_remaining_time)(int frame, int frame_count);
    int (*frame_flags)(int frame);              // 1: the host wants a key frame here
    int (*refresh_preview)(void);
    void* (*fetch_frame_ex)(int frame, DWORD format);  // not used
};

struct OutputPluginTable {
    int32_t flags;
    const char* display_name;      // Shift-JIS
    const char* file_filter;       // description, pattern, ..., "" (Shift-JIS)
    const char* information;       // Shift-JIS
    int (*on_init)(void);
    int (*on_exit)(void);
    int (*on_output)(OutputRequest* request);
    int (*on_config)(HWND parent, HINSTANCE instance);
    int (*on_config_get)(void* data, int size);
    int (*on_config_set)(void* data, int size);
    int32_t reserved[16];
};

// The module's one export, undecorated.
extern "C" OutputPluginTable* WINAPI GetOutputPluginTable(void);
using GetOutputPluginTableFunc = OutputPluginTable*(WINAPI*)(void);

// The editor's layouts, byte for byte, where pointers are 32-bit.
static_assert(sizeof(void*) != 4 || (offsetof(OutputRequest, frame_count) == 20 &&
                                     offsetof(OutputRequest, output_path) == 44 &&
                                     offsetof(OutputRequest, fetch_frame) == 48 &&
                                     offsetof(OutputRequest, fetch_audio) == 52 &&
                                     offsetof(OutputRequest, abort_requested) == 56 &&
                                     offsetof(OutputRequest, show_remaining_time) == 60 &&
                                     offsetof(OutputRequest, frame_flags) == 64 &&
                                     offsetof(OutputRequest, refresh_preview) == 68 &&
                                     offsetof(OutputRequest, fetch_frame_ex) == 72 &&
                                     sizeof(OutputRequest) == 76));
static_assert(sizeof(void*) != 4 || (offsetof(OutputPluginTable, display_name) == 4 &&
                                     offsetof(OutputPluginTable, file_filter) == 8 &&
                                     offsetof(OutputPluginTable, information) == 12 &&
                                     offsetof(OutputPluginTable, on_init) == 16 &&
                                     offsetof(OutputPluginTable, on_exit) == 20 &&
                                     offsetof(OutputPluginTable, on_output) == 24 &&
                                     offsetof(OutputPluginTable, on_config) == 28 &&
                                     offsetof(OutputPluginTable, on_config_get) == 32 &&
                                     offsetof(OutputPluginTable, on_config_set) == 36 &&
                                     offsetof(OutputPluginTable, reserved) == 40 &&
                                     sizeof(OutputPluginTable) == 104));
