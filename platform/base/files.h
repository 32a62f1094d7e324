// The Win32 file calls the system's code uses to tell whether two names are
// one file: open an existing file without access, ask its volume and index.
#pragma once

#include <cstdio>

#include "platform/base/win32_types.h"

using HANDLE = void*;
using LPSECURITY_ATTRIBUTES = void*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;  // here: the device number
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;  // here: the inode number
    DWORD nFileIndexLow;
};

// Only opening an existing file (or folder) without access is supported: it
// follows symbolic links and never blocks, even on a FIFO.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// The same for a UTF-16 name, opened by its UTF-8 (one with an unpaired
// surrogate names no file).
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation);
BOOL WINAPI CloseHandle(HANDLE hObject);

// The C runtime's fopen with a share mode (<share.h> on Windows). A file
// opened for writing with _SH_DENYRW or _SH_DENYWR can't be opened for
// writing by another such call while it is open, and one opened for writing
// is a new file that takes the old one's name, not the old one cut short
// under its readers (platform/base/file_replace.h). Modes other than "w"
// and "wt"/"wb" open as fopen opens them.
constexpr int _SH_DENYRW = 0x10;
constexpr int _SH_DENYWR = 0x20;
constexpr int _SH_DENYRD = 0x30;
constexpr int _SH_DENYNO = 0x40;
FILE* _fsopen(const char* filename, const char* mode, int shflag);
// The same for UTF-16 name and mode, as _fsopen opens their UTF-8 (EINVAL
// for a name with an unpaired surrogate).
FILE* _wfsopen(const WCHAR* filename, const WCHAR* mode, int shflag);
