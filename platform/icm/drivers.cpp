// Built-in codec drivers. The libavcodec-backed drivers are added here; until
// then no codec is installed and every FourCC is refused.
#include "platform/icm/builtin.h"

BOOL icm_install_builtin_drivers() { return TRUE; }

LRESULT CALLBACK icm_fallback_driver_proc(DWORD_PTR, HDRVR, UINT uMsg, LPARAM, LPARAM) {
    // Refuse every open; answer the load/enable/close messages with success.
    return uMsg == DRV_OPEN ? 0 : 1;
}
