// libFuzzer target: an AVI file of any bytes goes through open, stream
// information and every frame (in order, then a few jumps), as the console's
// source reads it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/avifile/avifile.h"
#include "platform/avifile/avifile_testing.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzinput::load(data, size);
    PAVIFILE file = nullptr;
    if (AVIFileOpenA(&file, fuzzinput::path().c_str(), OF_READ, nullptr) != AVIERR_OK) return 0;
    PAVISTREAM stream = nullptr;
    if (AVIFileGetStream(file, &stream, streamtypeVIDEO, 0) == AVIERR_OK) {
        AVISTREAMINFOA info{};
        AVIStreamInfoA(stream, &info, sizeof info);
        if (PGETFRAME frames = AVIStreamGetFrameOpen(stream, nullptr)) {
            LONG count = avifile_frame_count(stream);
            LONG limit = count < 500 ? count : 500;
            for (LONG n = 0; n <= limit; ++n) {
                auto* bi = static_cast<const BITMAPINFOHEADER*>(AVIStreamGetFrame(frames, n));
                if (bi && bi->biSizeImage) {
                    // Touch the first and last byte: the picture must be all there.
                    volatile std::uint8_t sink = reinterpret_cast<const std::uint8_t*>(bi)[40];
                    sink = reinterpret_cast<const std::uint8_t*>(bi)[40 + bi->biSizeImage - 1];
                    (void)sink;
                }
            }
            for (LONG n : {limit / 2, limit - 1, LONG{0}, limit / 3})
                AVIStreamGetFrame(frames, n);
            AVIStreamGetFrameClose(frames);
        }
        AVIStreamRelease(stream);
    }
    AVIFileRelease(file);
    return 0;
}
