// Shared pieces of the codec tests: synthetic pictures, a compressor and a
// decompressor driven as the engine drives them, picture comparisons.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/dib.h"
#include "common/luma.h"
#include "platform/icm/icm.h"
#include "tests/support/dib.h"

namespace icmtest {

// Bytes of one row of a 24-bit DIB: padded to 4 bytes.
inline std::size_t stride24(int w) { return dib_stride(w, 24); }

inline BITMAPINFOHEADER rgb24(int w, int h) { return testsupport::dib_header(w, h); }

// Gradient background, two moving shapes and a little noise; bottom-up BGR
// rows padded to 4 bytes (the padding zero), as in any DIB. motion = pixels per frame.
inline void make_picture(std::vector<std::uint8_t>& px, int w, int h, int n, int motion = 3) {
    px.assign(stride24(w) * static_cast<std::size_t>(h), 0);
    std::uint32_t seed = 12345u + static_cast<std::uint32_t>(n) * 7919u;
    const int rx = (n * motion) % (w + 60) - 60, ry = h / 4;
    const int cx = w - (n * motion * 2) % w, cy = (2 * h) / 3, r = h / 8 + 4;
    for (int y = 0; y < h; ++y) {
        const int top_y = h - 1 - y;  // bottom-up rows
        std::uint8_t* row = px.data() + static_cast<std::size_t>(y) * stride24(w);
        for (int x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = static_cast<int>((seed >> 28) & 7) - 4;
            int b = 40 + (x * 160) / w, g = 30 + (top_y * 180) / h, rr = 90 + ((x + top_y) * 100) / (w + h);
            if (x >= rx && x < rx + 60 && top_y >= ry && top_y < ry + 50) {
                b = 230; g = 40; rr = 30;
                if (((x - rx) / 6 + (top_y - ry) / 6) % 2) g = 200;  // checkered: detail that moves
            }
            const int dx = x - cx, dy = top_y - cy;
            if (dx * dx + dy * dy < r * r) { b = 20; g = 220; rr = 240; }
            row[3 * x + 0] = static_cast<std::uint8_t>(std::clamp(b + noise, 0, 255));
            row[3 * x + 1] = static_cast<std::uint8_t>(std::clamp(g + noise, 0, 255));
            row[3 * x + 2] = static_cast<std::uint8_t>(std::clamp(rr + noise, 0, 255));
        }
    }
}

inline double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    double se = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        se += d * d;
    }
    if (se == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / se);
}

// The blocks of a bottom-up 24-bit picture that the engine's block-noise rule
// finds noisy, on the 8x8 grid from the first row in memory.
inline int noisy_blocks(const std::uint8_t* src, const std::uint8_t* dec, int w, int h, int diff_threshold = 9,
                        int pixel_threshold = 28) {
    int blocks = 0;
    const auto stride = static_cast<std::int32_t>(stride24(w));
    for (int by = 0; by + 8 <= h; by += 8)
        for (int bx = 0; bx + 8 <= w; bx += 8) {
            const std::size_t o = static_cast<std::size_t>(by) * stride24(w) + static_cast<std::size_t>(bx) * 3;
            blocks += block_is_noisy(src + o, dec + o, stride, 3, diff_threshold, pixel_threshold);
        }
    return blocks;
}

// A compressor opened and set up as the engine's compressor does it.
struct Compressor {
    HIC hic = nullptr;
    BITMAPINFOHEADER in{}, out{};
    std::vector<std::uint8_t> buffer;
    std::vector<std::uint8_t> prev;
    DWORD key_interval = 0, delta_budget = 0, key_budget = 0;
    DWORD since_key = 0;

    bool open(DWORD fcc, int w, int h, int bit_rate = 3000, int key_seconds = 8, int control = 75,
              DWORD rate = 30000, DWORD scale = 1001) {
        in = rgb24(w, h);
        out = in;
        out.biCompression = fcc;
        hic = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_COMPRESS);
        if (!hic) return false;
        const DWORD frames_per_period = (rate * static_cast<DWORD>(key_seconds)) / scale;
        key_interval = frames_per_period + 1;
        delta_budget = (static_cast<DWORD>(bit_rate) * key_seconds * 128) / (key_interval + 4);
        key_budget = 5 * delta_budget;
        delta_budget = std::min(delta_budget, in.biSizeImage);
        key_budget = std::min(key_budget, in.biSizeImage);
        ICCOMPRESSFRAMES info{};
        info.lpbiOutput = &out;
        info.lpbiInput = &in;
        info.lFrameCount = static_cast<LONG>(key_interval);
        info.lQuality = 10000;
        info.lDataRate = bit_rate * 128;
        info.lKeyRate = static_cast<LONG>(key_interval);
        info.dwRate = rate;
        info.dwScale = scale;
        ICSendMessage(hic, ICM_COMPRESS_FRAMES_INFO, reinterpret_cast<DWORD_PTR>(&info), 64);
        const LRESULT n = ICSendMessage(hic, ICM_GETSTATE, 0, 0);
        if (n >= 24) {
            std::vector<std::uint8_t> state(static_cast<std::size_t>(n));
            ICSendMessage(hic, ICM_GETSTATE, reinterpret_cast<DWORD_PTR>(state.data()), static_cast<DWORD_PTR>(n));
            const double kbps = bit_rate;
            std::memcpy(state.data() + 8, &kbps, 8);
            std::memcpy(state.data() + 16, &control, 4);
            std::memcpy(state.data() + 20, &key_seconds, 4);
            ICSendMessage(hic, ICM_SETSTATE, reinterpret_cast<DWORD_PTR>(state.data()), static_cast<DWORD_PTR>(n));
        }
        buffer.assign(in.biSizeImage, 0);
        prev.assign(in.biSizeImage, 0);
        return begin();
    }
    bool begin() {
        since_key = key_interval + 1;
        return ICSendMessage(hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&in),
                             reinterpret_cast<DWORD_PTR>(&out)) == ICERR_OK;
    }
    // One frame as the engine compresses it; returns the driver's answer.
    LRESULT encode(const std::uint8_t* bits, bool& is_key, DWORD& size) {
        DWORD flags = 0;
        const bool want_key = since_key >= key_interval;
        const DWORD r = ICCompress(hic, want_key ? ICCOMPRESS_KEYFRAME : 0, &out, buffer.data(), &in,
                                   const_cast<std::uint8_t*>(bits), nullptr, &flags,
                                   want_key ? 0 : static_cast<LONG>(since_key), want_key ? key_budget : delta_budget,
                                   10000, &in, want_key ? nullptr : prev.data());
        std::memcpy(prev.data(), bits, prev.size());
        is_key = (flags & AVIIF_KEYFRAME) != 0;
        since_key = is_key ? 1 : since_key + 1;
        size = out.biSizeImage;
        return static_cast<LRESULT>(static_cast<std::int32_t>(r));
    }
    void close() {
        if (hic) {
            ICSendMessage(hic, ICM_COMPRESS_END, 0, 0);
            ICClose(hic);
        }
        hic = nullptr;
    }
    ~Compressor() { close(); }
};

// A decompressor fed with the compressed format (biSizeImage = the data size).
struct Decompressor {
    HIC hic = nullptr;
    BITMAPINFOHEADER in{}, out{};
    std::vector<std::uint8_t> picture;

    bool open(DWORD fcc, int w, int h) {
        in = rgb24(w, h);
        in.biCompression = fcc;
        out = rgb24(w, h);
        picture.assign(out.biSizeImage, 0);
        hic = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_DECOMPRESS);
        return hic && begin();
    }
    bool begin() {
        return ICSendMessage(hic, ICM_DECOMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&in),
                             reinterpret_cast<DWORD_PTR>(&out)) == ICERR_OK;
    }
    LRESULT decode(const std::uint8_t* data, DWORD size, bool key) {
        in.biSizeImage = size;
        const DWORD r = ICDecompress(hic, key ? 0 : ICDECOMPRESS_NOTKEYFRAME, &in, const_cast<std::uint8_t*>(data),
                                     &out, picture.data());
        return static_cast<LRESULT>(static_cast<std::int32_t>(r));
    }
    ~Decompressor() {
        if (hic) {
            ICSendMessage(hic, ICM_DECOMPRESS_END, 0, 0);
            ICClose(hic);
        }
    }
};

}  // namespace icmtest
