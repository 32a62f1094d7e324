// What the codec driver sources of platform/icm include for the Win32 and
// Video for Windows names, when they are built into vntcodec.dll: the real
// system headers. This folder comes first on the DLL's include path, so the
// same sources see <windows.h> and <vfw.h> there and our stand-ins on Linux.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX  // the drivers use std::min and std::max
#endif
#include <windows.h>
#include <mmsystem.h>
#include <vfw.h>
