// Judges a decoded clip against its source by the engine's block-noise rule:
//   noise_check WIDTH HEIGHT SOURCE DECODED KEYS [DIFF PIXEL]
// SOURCE and DECODED hold raw 24-bit frames in the engine's layout (bottom-up
// rows of WIDTH * 3 bytes); DECODED may be "-" for standard input. KEYS has
// one line per frame, starting with K for a key frame (ffprobe's packet flags).
// Prints one line: frames, key frames, noisy delta frames, noisy key frames,
// luma PSNR mean and minimum. With NOISE_CHECK_FRAMES set in the environment,
// each noisy frame is also named on standard error.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/detector.h"
#include "tests/support/dib.h"
#include "tests/support/luma_psnr.h"

int main(int argc, char** argv) {
    if (argc != 6 && argc != 8) {
        std::fprintf(stderr, "usage: noise_check WIDTH HEIGHT SOURCE DECODED KEYS [DIFF PIXEL]\n");
        return 2;
    }
    const int width = std::atoi(argv[1]);
    const int height = std::atoi(argv[2]);
    const int diff = argc == 8 ? std::atoi(argv[6]) : 9;
    const int pixel = argc == 8 ? std::atoi(argv[7]) : 28;
    if (width <= 0 || height <= 0) return 2;
    const BITMAPINFOHEADER format = testsupport::dib_header(width, height);
    if (width % 4 != 0) {
        std::fprintf(stderr, "noise_check: width * 3 must be a multiple of 4\n");
        return 2;
    }

    FILE* source = std::fopen(argv[3], "rb");
    FILE* decoded = argv[4][0] == '-' && argv[4][1] == 0 ? stdin : std::fopen(argv[4], "rb");
    FILE* keys = std::fopen(argv[5], "r");
    if (!source || !decoded || !keys) {
        std::fprintf(stderr, "noise_check: can't open the inputs\n");
        return 2;
    }
    std::vector<uint8_t> s(format.biSizeImage), d(format.biSizeImage);
    int frames = 0, key_frames = 0, noisy_delta = 0, noisy_key = 0;
    double psnr_sum = 0, psnr_min = 99;
    char line[256];
    const bool verbose = std::getenv("NOISE_CHECK_FRAMES") != nullptr;
    while (std::fread(s.data(), 1, s.size(), source) == s.size() &&
           std::fread(d.data(), 1, d.size(), decoded) == d.size()) {
        const bool key = std::fgets(line, sizeof line, keys) && line[0] == 'K';
        const double psnr = testsupport::luma_psnr(s.data(), d.data(), static_cast<size_t>(width) * height);
        psnr_sum += psnr;
        if (psnr < psnr_min) psnr_min = psnr;
        if (block_noise_scan_reference(s.data(), d.data(), format, diff, pixel) != 0) {
            ++(key ? noisy_key : noisy_delta);
            if (verbose) std::fprintf(stderr, "noisy %s frame %d\n", key ? "key" : "delta", frames);
        }
        key_frames += key;
        ++frames;
    }
    std::printf("%d %d %d %d %.2f %.2f\n", frames, key_frames, noisy_delta, noisy_key, frames ? psnr_sum / frames : 0.0,
                psnr_min);
    return frames > 0 ? 0 : 1;
}
