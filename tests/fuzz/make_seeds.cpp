// Writes seed files for the AVI fuzz target that ffmpeg can't make small:
// an OpenDML file in several RIFF parts and a file with empty frames.
// Usage: make_seeds <folder>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/avifile/avifile.h"
#include "platform/avifile/avifile_testing.h"

namespace {

bool write(const std::string& path, std::uint64_t riff_limit, const std::vector<int>& positions) {
    avifile_set_riff_limit(riff_limit);
    PAVIFILE f = nullptr;
    PAVISTREAM s = nullptr;
    if (AVIFileOpenA(&f, path.c_str(), OF_WRITE | OF_CREATE, nullptr) != AVIERR_OK) return false;
    AVISTREAMINFOA si{};
    si.fccType = streamtypeVIDEO;
    si.dwRate = 25;
    si.dwScale = 1;
    si.rcFrame = RECT{0, 0, 8, 6};
    std::snprintf(si.szName, sizeof si.szName, "seed");
    AVIFileCreateStreamA(f, &s, &si);
    BITMAPINFOHEADER bi{};
    bi.biSize = 40;
    bi.biWidth = 8;
    bi.biHeight = 6;
    bi.biPlanes = 1;
    bi.biBitCount = 24;
    bi.biSizeImage = 8 * 6 * 3;
    AVIStreamSetFormat(s, 0, &bi, sizeof bi);
    std::vector<unsigned char> pixels(8 * 6 * 3);
    for (int p : positions) {
        for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 7 + p);
        AVIStreamWrite(s, p, 1, pixels.data(), static_cast<LONG>(pixels.size()), p % 4 == 0 ? AVIIF_KEYFRAME : 0,
                       nullptr, nullptr);
    }
    AVIStreamRelease(s);
    bool ok = AVIFileRelease(f) == 0;
    avifile_set_riff_limit(0);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds <folder>\n");
        return 2;
    }
    std::string dir = argv[1];
    bool ok = write(dir + "/opendml.avi", 600, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}) &&
              write(dir + "/gaps.avi", 0, {0, 1, 4, 5, 9});
    return ok ? 0 : 1;
}
