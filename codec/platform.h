// The codec's one door to the platform: the Win32 and Video for Windows names
// its drivers use. On Windows (vntcodec.dll) the real system headers; elsewhere
// the compression manager's declarations of the stand-ins in platform/.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // the drivers use std::min and std::max
#endif
#include <windows.h>
#include <mmsystem.h>
#include <vfw.h>
#else
#include "platform/icm/icm.h"
#endif
