// The table of built-in codec drivers.
#include <initializer_list>

#include "platform/icm/builtin.h"

BOOL icm_install_builtin_drivers() {
    BOOL ok = TRUE;
    // Compress and decompress (MPG4: decompress only; it refuses compress opens).
    for (DWORD fcc : {mmioFOURCC('M', 'P', '4', '2'), mmioFOURCC('M', 'P', '4', '3'), mmioFOURCC('D', 'I', 'V', '3'),
                      mmioFOURCC('D', 'I', 'V', '4'), mmioFOURCC('M', 'P', 'G', '4')})
        ok &= icm_install_driver(ICTYPE_VIDEO, fcc, icm_av_driver_proc);
    // Uncompressed frames as AVI files store them.
    for (DWORD fcc : {DWORD{0}, mmioFOURCC('D', 'I', 'B', ' '), mmioFOURCC('R', 'G', 'B', ' '),
                      mmioFOURCC('r', 'a', 'w', ' ')})
        ok &= icm_install_driver(ICTYPE_VIDEO, fcc, icm_rgb_driver_proc);
    return ok;
}

// Any other FourCC goes to the same procedure, which opens it for
// decompression when the media libraries have a decoder for it.
LRESULT CALLBACK icm_fallback_driver_proc(DWORD_PTR id, HDRVR hdrvr, UINT msg, LPARAM p1, LPARAM p2) {
    return icm_av_driver_proc(id, hdrvr, msg, p1, p2);
}
