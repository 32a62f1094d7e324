// The module's load entry on Windows. The plug-in keeps no per-thread state,
// so the per-thread attach and detach calls are turned off; nothing else runs
// at load time.
#include "engine/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
