// The one door to the platform. engine/, console/ and plugin/ include this and
// nothing else of the system's libraries: on Windows the real Win32 and Video
// for Windows headers, elsewhere our stand-ins in platform/ with the same names.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>
#include <share.h>
#include <vfw.h>
#include <mmreg.h>
// Only the stand-ins have codec drivers of their own: every codec here gets
// the one-frame-at-a-time order.
inline BOOL icm_builtin_compressor(DWORD) { return FALSE; }
#else
#include "platform/avifile/avifile.h"
#include "platform/base/files.h"
#include "platform/base/win32_types.h"
#include "platform/dialog/dialog.h"
#include "platform/icm/icm.h"
#include "platform/module/module.h"
#include "platform/registry/registry.h"
#endif

// What our codec's drivers take from a caller that checks its frames, and
// their state block's layout: plain headers, the same on every platform.
#include "codec/check_setting.h"
#include "codec/state_block.h"
#include "common/dib.h"

static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(sizeof(AVISTREAMINFOA) == 140);
static_assert(sizeof(RECT) == 16);
static_assert(sizeof(WAVEFORMATEX) == 18 && sizeof(MPEGLAYER3WAVEFORMAT) == 30);
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4);

