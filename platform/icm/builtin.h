// The codec drivers that come with the platform stand-in, and the hooks the
// compression manager uses to reach them. Not part of the Win32 surface: the
// system's own code never includes this; tests may.
#pragma once

#include "platform/icm/icm.h"

// Installs a driver procedure for (type, handler) as ICInstall does, without
// first installing the built-ins (the built-ins use it themselves).
BOOL icm_install_driver(DWORD fccType, DWORD fccHandler, DRIVERPROC proc);

// Installs every built-in driver (MP42, MP43, DIV3, DIV4,
// MPG4, and the uncompressed formats). Called once by the manager before the
// first ICOpen/ICInstall/ICRemove; a test that replaced a built-in driver calls
// it again to bring the built-ins back. Returns TRUE when all were installed.
BOOL icm_install_builtin_drivers();

// The driver that answers for any video FourCC nobody installed, in decompress
// mode only: it looks the FourCC up in the AVI tag table of the media
// libraries and refuses DRV_OPEN when no decoder is known.
LRESULT CALLBACK icm_fallback_driver_proc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1,
                                          LPARAM lParam2);

// The built-in driver procedures: MPEG-4 and every other codec the media
// libraries know (one procedure, told apart by the FourCC it is opened for),
// and uncompressed frames.
LRESULT CALLBACK icm_av_driver_proc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
LRESULT CALLBACK icm_rgb_driver_proc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1,
                                     LPARAM lParam2);

// Whether proc is the MPEG-4 driver and compresses fcc.
BOOL icm_av_compresses(DWORD fcc, DRIVERPROC proc);

// Test hook: 0 sends every frame of the MPEG-4 drivers through their padded
// intermediate picture, 1 (the default) converts suitable frames in place.
// Both must give the same bytes.
void icm_av_set_direct_conversion(int on);

// Upper-cases the ASCII letters of a FourCC: handlers match case-insensitively.
constexpr DWORD icm_fold_fourcc(DWORD fcc) {
    DWORD out = 0;
    for (int i = 0; i < 4; ++i) {
        DWORD c = (fcc >> (8 * i)) & 0xFF;
        if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
        out |= c << (8 * i);
    }
    return out;
}
