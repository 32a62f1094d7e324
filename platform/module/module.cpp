// Modules over the dynamic loader. A module handle is the loader's own handle.
#include "platform/module/module.h"

#include <dlfcn.h>
#include <link.h>

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

BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
    constexpr DWORD wanted = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!phModule) return FALSE;
    *phModule = nullptr;
    Dl_info info;
    void* extra = nullptr;
    if (dwFlags != wanted || !dladdr1(lpModuleName, &info, &extra, RTLD_DL_LINKMAP) || !extra) return FALSE;
    const auto* module = static_cast<const link_map*>(extra);
    const bool is_program = !module->l_name || !*module->l_name;
    void* handle = is_program ? dlopen(nullptr, RTLD_LAZY) : dlopen(module->l_name, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) return FALSE;
    dlclose(handle);  // loaded already: this call holds nothing
    *phModule = static_cast<HMODULE>(handle);
    return TRUE;
}
