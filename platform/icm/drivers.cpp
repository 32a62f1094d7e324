// The table of built-in codec drivers.
#include <initializer_list>

#include "codec/codec.h"
#include "platform/icm/builtin.h"

BOOL icm_install_builtin_drivers() {
    BOOL ok = TRUE;
    // Our codec for every FourCC of its table.
    for (DWORD fcc : codec_fourccs()) ok &= icm_install_driver(ICTYPE_VIDEO, fcc, codec_driver_proc);
    // Uncompressed frames as AVI files store them.
    for (DWORD fcc : {DWORD{0}, mmioFOURCC('D', 'I', 'B', ' '), mmioFOURCC('R', 'G', 'B', ' '),
                      mmioFOURCC('r', 'a', 'w', ' ')})
        ok &= icm_install_driver(ICTYPE_VIDEO, fcc, icm_rgb_driver_proc);
    return ok;
}

// Any other FourCC goes to the same procedure, which opens it for
// decompression when the media libraries have a decoder for it.
LRESULT CALLBACK icm_fallback_driver_proc(DWORD_PTR id, HDRVR hdrvr, UINT msg, LPARAM p1, LPARAM p2) {
    return codec_driver_proc(id, hdrvr, msg, p1, p2);
}
