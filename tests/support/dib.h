// The frame format the tests hand around: a bottom-up DIB header whose rows
// are padded to 4 bytes, as Windows lays them out.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "engine/platform.h"

namespace testsupport {

inline BITMAPINFOHEADER dib_header(int32_t width, int32_t height, DWORD compression = BI_RGB, WORD bits = 24) {
    BITMAPINFOHEADER bi{};
    bi.biSize = sizeof bi;
    bi.biWidth = width;
    bi.biHeight = height;
    bi.biPlanes = 1;
    bi.biBitCount = bits;
    bi.biCompression = compression;
    bi.biSizeImage = dib_stride(width, bits) * static_cast<DWORD>(std::abs(height));
    return bi;
}

}  // namespace testsupport
