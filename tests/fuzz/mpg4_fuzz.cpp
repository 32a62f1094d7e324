// libFuzzer target: the MPG4 rewriter's parser. The first four bytes pick the
// picture size (up to 64 x 1040 pixels, so that several version 1 slices
// occur) and the output capacity; the rest is split at 0xFF 0xFF 0xFF 0xFF
// into version 2 pictures rewritten one after the other, as a stream is.
// Whatever the bytes, the rewriter must stay inside both buffers; when it
// accepts a picture, its output must fit the capacity it was given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/mpg4_rewrite.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const int width = 16 + (data[0] & 63);
    const int height = 16 + (data[1] % 64) * 16 + (data[1] >> 6);
    const std::size_t capacity = 1 + (static_cast<std::size_t>(data[2]) << 8 | data[3]);
    data += 4;
    size -= 4;
    Mpg4Rewriter rw;
    if (!mpg4_rewriter_open(rw, width, height, 25, 1000)) std::abort();
    std::vector<std::uint8_t> out(capacity);
    while (size) {
        std::size_t n = 0;
        while (n < size && !(n + 4 <= size && std::memcmp(data + n, "\xFF\xFF\xFF\xFF", 4) == 0)) ++n;
        // An exact-size copy, so that reading past the picture is caught.
        std::vector<std::uint8_t> picture(data, data + n);
        std::size_t written = 0;
        bool key = false;
        const Mpg4RewriteResult r =
            mpg4_rewrite_frame(rw, picture.data(), picture.size(), out.data(), out.size(), &written, &key);
        if (r == mpg4_rewrite_ok && written > capacity) std::abort();
        n = std::min(size, n + 4);
        data += n;
        size -= n;
    }
    mpg4_rewriter_close(rw);
    return 0;
}
