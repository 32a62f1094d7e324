// Whether two names lead to one existing file, through links of either kind
// (and, on Windows, whatever the case of the names): what the programs ask
// before they write over a file that may be one they must keep.
#pragma once

#include "engine/file_open.h"
#include "engine/platform.h"

// Each name in its own form (a run may keep a wide entry's name beside a
// narrow one's).
inline int file_same_as(const char* a, NameCoding a_coding, const char* b, NameCoding b_coding) {
    BY_HANDLE_FILE_INFORMATION info[2];
    const char* names[2] = {a, b};
    const NameCoding codings[2] = {a_coding, b_coding};
    for (int i = 0; i < 2; ++i) {
        if (!names[i]) return 0;
        HANDLE h = file_open_existing(names[i], codings[i]);
        if (h == INVALID_HANDLE_VALUE) return 0;
        const BOOL got = GetFileInformationByHandle(h, &info[i]);
        CloseHandle(h);
        if (!got) return 0;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

inline int file_same(const char* a, const char* b) {
    return file_same_as(a, NameCoding::system, b, NameCoding::system);
}
