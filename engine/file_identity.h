// Whether two names lead to one existing file, through links of either kind
// (and, on Windows, whatever the case of the names): what the programs ask
// before they write over a file that may be one they must keep.
#pragma once

#include "engine/platform.h"

inline int file_same(const char* a, const char* b) {
    BY_HANDLE_FILE_INFORMATION info[2];
    const char* names[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        if (!names[i]) return 0;
        HANDLE h = CreateFileA(names[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return 0;
        const BOOL got = GetFileInformationByHandle(h, &info[i]);
        CloseHandle(h);
        if (!got) return 0;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}
