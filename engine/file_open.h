// The few calls by which the engine opens files, for a name in either of the
// forms it keeps one: as a narrow entry was given it (the system's code page,
// on Windows the ANSI one), opened through the narrow calls as ever; or UTF-8
// of a wide entry's UTF-16, opened through the wide calls, so that a name the
// code page can't hold still reaches its file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/platform.h"

enum class NameCoding : int32_t {
    system = 0,  // a narrow entry's text
    utf8,        // a wide entry's, as UTF-8
};

// New UTF-8 text of a UTF-16 name, free with std::free. Null when name is
// null or holds an unpaired surrogate (*unpaired is then 1; 0 when memory ran
// out).
char* file_name_from_wide(const WCHAR* name, int* unpaired);

// AVIFileOpenA, or AVIFileOpenW.
HRESULT file_open_avi(PAVIFILE* file, const char* name, NameCoding coding, UINT mode);
// _fsopen, or _wfsopen.
FILE* file_open_shared(const char* name, NameCoding coding, const char* mode, int share_flag);
// An existing file or folder opened without access, through links, to learn
// its identity (CreateFileA or CreateFileW); INVALID_HANDLE_VALUE when none.
HANDLE file_open_existing(const char* name, NameCoding coding);
