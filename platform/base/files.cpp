#include "platform/base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/file_replace.h"
#include "platform/base/wide_name.h"

namespace {

// A handle is the descriptor plus one, so that descriptor 0 is not null.
int descriptor(HANDLE h) { return static_cast<int>(reinterpret_cast<LONG_PTR>(h)) - 1; }

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD /*share*/, LPSECURITY_ATTRIBUTES /*security*/,
                          DWORD disposition, DWORD /*flags*/, HANDLE /*template_file*/) {
    if (!name || access != 0 || disposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
    const int fd = open(name, O_PATH | O_CLOEXEC);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(fd) + 1);
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE template_file) {
    const std::string utf8 = wide_name_utf8(name);
    if (utf8.empty()) return INVALID_HANDLE_VALUE;
    return CreateFileA(utf8.c_str(), access, share, security, disposition, flags, template_file);
}

BOOL WINAPI GetFileInformationByHandle(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
    struct stat st {};
    if (!info || h == INVALID_HANDLE_VALUE || !h || fstat(descriptor(h), &st) != 0) return FALSE;
    std::memset(info, 0, sizeof *info);
    info->dwFileAttributes = S_ISDIR(st.st_mode) ? 0x10 : 0x80;  // directory : normal
    info->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev ^ (static_cast<std::uint64_t>(st.st_dev) >> 32));
    info->nFileSizeHigh = static_cast<DWORD>(static_cast<std::uint64_t>(st.st_size) >> 32);
    info->nFileSizeLow = static_cast<DWORD>(st.st_size);
    info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    info->nFileIndexHigh = static_cast<DWORD>(static_cast<std::uint64_t>(st.st_ino) >> 32);
    info->nFileIndexLow = static_cast<DWORD>(st.st_ino);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    if (!h || h == INVALID_HANDLE_VALUE) return FALSE;
    return close(descriptor(h)) == 0 ? TRUE : FALSE;
}

FILE* _fsopen(const char* filename, const char* mode, int shflag) {
    if (!filename || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    if (mode[0] != 'w' || std::strchr(mode, '+') || std::strchr(mode, 'a')) return std::fopen(filename, mode);
    const int fd = file_replace_open(filename, shflag == _SH_DENYRW || shflag == _SH_DENYWR);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, mode);
    if (!file) close(fd);
    return file;
}

FILE* _wfsopen(const WCHAR* filename, const WCHAR* mode, int shflag) {
    const std::string name = wide_name_utf8(filename);
    const std::string narrow_mode = wide_name_utf8(mode);
    if (name.empty() || narrow_mode.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    return _fsopen(name.c_str(), narrow_mode.c_str(), shflag);
}
