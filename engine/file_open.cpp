#include "engine/file_open.h"

#include <cerrno>
#include <cstdlib>

#include "common/utf16.h"

namespace {

// New UTF-16 of a UTF-8 name for the wide calls; null when memory ran out
// (or the text is not UTF-8, which file_name_from_wide never makes).
WCHAR* widened(const char* text) {
    const size_t units = utf8_to_utf16(text, static_cast<WCHAR*>(nullptr));
    if (units == 0) return nullptr;
    auto* wide = static_cast<WCHAR*>(std::malloc(units * sizeof(WCHAR)));
    if (wide) utf8_to_utf16(text, wide);
    return wide;
}

}  // namespace

char* file_name_from_wide(const WCHAR* name, int* unpaired) {
    *unpaired = 0;
    const size_t bytes = name ? utf16_to_utf8(name, static_cast<char*>(nullptr)) : 0;
    if (bytes == 0) {
        *unpaired = 1;
        return nullptr;
    }
    auto* text = static_cast<char*>(std::malloc(bytes));
    if (text) utf16_to_utf8(name, text);
    return text;
}

HRESULT file_open_avi(PAVIFILE* file, const char* name, NameCoding coding, UINT mode) {
    if (coding == NameCoding::system) return AVIFileOpenA(file, name, mode, nullptr);
    WCHAR* wide = widened(name);
    if (!wide) {
        *file = nullptr;
        return AVIERR_MEMORY;
    }
    const HRESULT result = AVIFileOpenW(file, wide, mode, nullptr);
    std::free(wide);
    return result;
}

FILE* file_open_shared(const char* name, NameCoding coding, const char* mode, int share_flag) {
    if (coding == NameCoding::system) return _fsopen(name, mode, share_flag);
    WCHAR* wide = widened(name);
    WCHAR* wide_mode = widened(mode);
    FILE* file = nullptr;
    if (wide && wide_mode)
        file = _wfsopen(wide, wide_mode, share_flag);
    else
        errno = ENOMEM;
    std::free(wide);
    std::free(wide_mode);
    return file;
}

HANDLE file_open_existing(const char* name, NameCoding coding) {
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    if (coding == NameCoding::system)
        return CreateFileA(name, 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    WCHAR* wide = widened(name);
    if (!wide) return INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileW(wide, 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    std::free(wide);
    return h;
}
