// Modules over the dynamic loader. A module handle is the loader's own handle.
#include "platform/module/module.h"

#include <dlfcn.h>

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) return nullptr;
    // RTLD_LOCAL keeps one plug-in's symbols from answering for another's.
    return static_cast<HMODULE>(dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL));
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!hModule || !lpProcName) return nullptr;
    return reinterpret_cast<FARPROC>(dlsym(hModule, lpProcName));
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (!hLibModule) return FALSE;
    return dlclose(hLibModule) == 0 ? TRUE : FALSE;
}
