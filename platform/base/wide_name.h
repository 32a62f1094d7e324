// The file name a wide (...W) stand-in opens: file names here are UTF-8, so
// the UTF-16 a wide call is given becomes UTF-8. Not part of the API.
#pragma once

#include <string>

#include "common/utf16.h"
#include "platform/base/win32_types.h"

// Empty when name is null or holds an unpaired surrogate: no file bears it.
inline std::string wide_name_utf8(LPCWSTR name) {
    if (!name) return {};
    const size_t bytes = utf16_to_utf8(name, static_cast<char*>(nullptr));
    if (bytes == 0) return {};
    std::string text(bytes, '\0');
    utf16_to_utf8(name, text.data());
    text.pop_back();  // the terminator, which std::string keeps apart
    return text;
}
