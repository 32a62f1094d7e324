// Frames of any file that an installed VFAPI reader plug-in opens. Plug-ins
// are listed as values under HKEY_CURRENT_USER\Software\VFPlugin and tried in
// value order; the first that opens the file decodes it straight into a
// bottom-up frame buffer of ours.
#pragma once

#include <cstdint>

#include "console/frame_source.h"
#include "console/vfapi.h"
#include "engine/platform.h"

struct VfapiSource {
    HMODULE module;          // the plug-in library, or null
    VfapiHandle handle;      // the plug-in's handle of the open file, or 0
    VfapiFileInfo file_info;
    VfapiVideoInfo video_info;
    VfapiAudioInfo audio_info;
    VfapiFunctionTable functions;
    VfapiVideoRead read_request;  // set up once at the open; only the frame number changes
    BITMAPINFOHEADER* header;     // owned
    AVISTREAMINFOA info;
    uint8_t* frame_buffer;        // owned, one picture, reused for every frame
};

constexpr char kVfapiRegistryKey[] = "Software\\VFPlugin";
constexpr DWORD kVfapiRegistryTextSize = 260;

// 1 when a plug-in has opened the file with a video stream we can take; 0
// with nothing loaded. Prints nothing.
int vfapi_source_open(const char* path, VfapiSource& source);
int vfapi_source_next_frame(VfapiSource& source, const void** pixels, const BITMAPINFOHEADER** header);
int vfapi_source_close(VfapiSource& source);

// 0x7FFFFFFF when the plug-in counts 2^32 frames or more, else the low word.
uint32_t vfapi_source_frame_count(const VfapiSource& source);

FrameSource vfapi_source_frame_source(VfapiSource& source);
