// Modules: loading a library at run time and finding its exports.
#pragma once

#include "platform/base/win32_types.h"

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

// The module that holds an address (GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
// lpModuleName then being that address): the handle LoadLibraryA gave for it,
// or the program's for an address of the program. Only with
// GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT: the module is not held.
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x00000002;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x00000004;
BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);
