// The records and entries through which twopass talks to a VFAPI reader
// plug-in: a dynamic library listed in the registry that exports
// vfGetPluginFunc and decodes frames of files that are not AVI files.
//
// Every record starts with its size, filled in by the caller. In the 32-bit
// Windows build the records have their published 32-bit layouts (checked
// below); a 64-bit build keeps the field order with native pointer width and
// dwSize is the record's size there. Plug-in file handles are pointer-sized
// so that a 64-bit plug-in may keep a pointer in one.
#pragma once

#include <cstddef>

#include "engine/platform.h"

using VfapiHandle = DWORD_PTR;

// Stream kinds passed to QueryStreamInfo and ReadData.
constexpr DWORD kVfapiStreamVideo = 1;
constexpr DWORD kVfapiStreamAudio = 2;

// What every entry answers.
constexpr HRESULT kVfapiOk = 0;
constexpr HRESULT kVfapiError = static_cast<HRESULT>(0x80004005);
// A failure because memory ran out (the platform's E_OUTOFMEMORY), for a
// plug-in that can tell; any other nonzero answer is a failure all the same.
constexpr HRESULT kVfapiOutOfMemory = static_cast<HRESULT>(0x8007000E);

// Bits of VfapiFileInfo::dwStreamFlags and VfapiPluginInfo::dwSupportStreamType.
constexpr DWORD kVfapiHasVideo = 0x1;
constexpr DWORD kVfapiHasAudio = 0x2;

struct VfapiFileInfo {
    DWORD dwSize;
    DWORD dwStreamFlags;
};

struct VfapiVideoInfo {
    DWORD dwSize;
    DWORD dwFrameCountL;  // number of frames, low and high 32 bits
    DWORD dwFrameCountH;
    DWORD dwFrameRate;    // frames per second = rate / scale
    DWORD dwFrameScale;
    DWORD dwFrameWidth;
    DWORD dwFrameHeight;
    DWORD dwPixelBits;
};

// twopass reads only dwSize; the plug-in fills the rest.
struct VfapiAudioInfo {
    DWORD dwSize;
    DWORD dwLengthL;  // number of samples, low and high 32 bits
    DWORD dwLengthH;
    DWORD dwRate;     // samples per second = rate / scale
    DWORD dwScale;
    DWORD dwChannels;
    DWORD dwBitsPerSample;
    DWORD dwBlockAlign;
};

// What a plug-in says about itself; hosts that list plug-ins ask for it first.
struct VfapiPluginInfo {
    DWORD dwSize;
    DWORD dwAPIVersion;
    DWORD dwVersion;
    DWORD dwSupportStreamType;  // kVfapiHasVideo | kVfapiHasAudio
    char cPluginInfo[256];      // name and version
    char cFileType[256];        // "Description (*.ext)|*.ext"
};

// One frame request: the plug-in writes the picture's top row at lpData and
// each following row lPitch bytes further on (lPitch may be negative).
struct VfapiVideoRead {
    DWORD dwSize;
    DWORD dwFrameNumberL;
    DWORD dwFrameNumberH;
    BYTE* lpData;
    LONG lPitch;
};

// One audio request: dwSampleCount samples (of all channels) from the 64-bit
// position dwSamplePosL/H into lpBuf, which holds dwBufSize bytes; the
// plug-in says in dwReadedSampleCount how many it wrote (fewer at the end).
struct VfapiAudioRead {
    DWORD dwSize;
    DWORD dwSamplePosL;
    DWORD dwSamplePosH;
    DWORD dwSampleCount;
    DWORD dwReadedSampleCount;
    DWORD dwBufSize;
    void* lpBuf;
};

// The next frame number: 64 bits held as two words, low word first.
inline void vfapi_frame_number_advance(VfapiVideoRead& request) {
    if (++request.dwFrameNumberL == 0) ++request.dwFrameNumberH;
}

// Every entry answers kVfapiOk for success, kVfapiError otherwise.
struct VfapiFunctionTable {
    DWORD dwSize;
    HRESULT(WINAPI* OpenInput)(LPCSTR path, VfapiHandle* handle);
    HRESULT(WINAPI* CloseInput)(VfapiHandle handle);
    HRESULT(WINAPI* QueryFileInfo)(VfapiHandle handle, VfapiFileInfo* info);
    HRESULT(WINAPI* QueryStreamInfo)(VfapiHandle handle, DWORD stream_kind, void* info);
    HRESULT(WINAPI* ReadData)(VfapiHandle handle, DWORD stream_kind, void* request);
};

// The one export of a reader plug-in: fills the table whose dwSize is set.
using VfapiGetPluginFunc = HRESULT(WINAPI*)(VfapiFunctionTable* table);
inline constexpr char kVfapiGetPluginFuncName[] = "vfGetPluginFunc";
using VfapiGetPluginInfo = HRESULT(WINAPI*)(VfapiPluginInfo* info);
inline constexpr char kVfapiGetPluginInfoName[] = "vfGetPluginInfo";

static_assert(sizeof(VfapiFileInfo) == 8);
static_assert(sizeof(VfapiVideoInfo) == 32);
static_assert(sizeof(VfapiAudioInfo) == 32);
static_assert(sizeof(VfapiPluginInfo) == 528);
static_assert(sizeof(void*) != 4 || sizeof(VfapiHandle) == 4);
static_assert(sizeof(void*) != 4 || sizeof(VfapiVideoRead) == 20);
static_assert(sizeof(void*) != 4 || offsetof(VfapiVideoRead, lpData) == 12);
static_assert(sizeof(void*) != 4 || offsetof(VfapiVideoRead, lPitch) == 16);
static_assert(sizeof(void*) != 4 || sizeof(VfapiAudioRead) == 28);
static_assert(sizeof(void*) != 4 || offsetof(VfapiAudioRead, lpBuf) == 24);
static_assert(sizeof(void*) != 4 || sizeof(VfapiFunctionTable) == 24);
static_assert(sizeof(void*) != 4 || offsetof(VfapiFunctionTable, OpenInput) == 4);
static_assert(sizeof(void*) != 4 || offsetof(VfapiFunctionTable, ReadData) == 20);
static_assert(offsetof(VfapiVideoInfo, dwPixelBits) == 28);
