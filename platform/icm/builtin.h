// The codec drivers that come with the compression manager stand-in, and the
// hooks the manager uses to reach them. Not part of the Win32 surface: the
// system's own code never includes this; tests may.
#pragma once

#include "platform/icm/icm.h"

// Installs a driver procedure for (type, handler) as ICInstall does, without
// first installing the built-ins (the built-ins use it themselves).
BOOL icm_install_driver(DWORD fccType, DWORD fccHandler, DRIVERPROC proc);

// Installs every built-in driver (our codec for MP42, MP43, DIV3, DIV4 and
// MPG4, and the uncompressed formats). Called once by the manager before the
// first ICOpen/ICInstall/ICRemove; a test that replaced a built-in driver calls
// it again to bring the built-ins back. Returns TRUE when all were installed.
BOOL icm_install_builtin_drivers();

// The driver that answers for any video FourCC nobody installed, in decompress
// mode only: our codec's procedure, which looks the FourCC up in the AVI tag
// table of the media libraries and refuses DRV_OPEN when no decoder is known.
LRESULT CALLBACK icm_fallback_driver_proc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1,
                                          LPARAM lParam2);

// Uncompressed frames as AVI files store them.
LRESULT CALLBACK icm_rgb_driver_proc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1,
                                     LPARAM lParam2);

#ifdef TWOPASS_TEST_HOOKS
// Test builds only: 0 makes icm_builtin_compressor answer FALSE for every
// FourCC, so that the engine takes frames one at a time as with any other
// codec; 1 (the default) lets it see our own drivers again.
void icm_testing_show_builtin_compressors(int show);
#endif
