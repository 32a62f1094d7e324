#include "tools/host_input/host_input.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>

HostInputOpen host_input_open(HostInput& input, const char* path) {
    AVIFileInit();
    const auto refuse = [&input](HostInputOpen why) {
        if (input.video) AVIStreamRelease(input.video);
        if (input.file) AVIFileRelease(input.file);
        input.video = nullptr;
        input.file = nullptr;
        AVIFileExit();
        return why;
    };
    if (AVIFileOpenA(&input.file, path, OF_READ, nullptr) != AVIERR_OK) {
        input.file = nullptr;
        return refuse(HostInputOpen::cant_open);
    }
    if (AVIFileGetStream(input.file, &input.video, streamtypeVIDEO, 0) != AVIERR_OK) {
        input.video = nullptr;
        return refuse(HostInputOpen::no_video);
    }
    AVISTREAMINFOA info{};
    AVIStreamInfoA(input.video, &info, sizeof info);
    BITMAPINFOHEADER wanted{};
    wanted.biSize = sizeof wanted;
    wanted.biWidth = info.rcFrame.right - info.rcFrame.left;
    wanted.biHeight = info.rcFrame.bottom - info.rcFrame.top;
    wanted.biPlanes = 1;
    wanted.biBitCount = 24;
    wanted.biCompression = BI_RGB;
    input.frames = AVIStreamGetFrameOpen(input.video, &wanted);
    if (!input.frames) return refuse(HostInputOpen::cant_decode);
    input.width = wanted.biWidth;
    input.height = wanted.biHeight;
    if (const void* first = AVIStreamGetFrame(input.frames, 0)) {
        // The decoder's picture is what counts when the header's frame rectangle is empty.
        BITMAPINFOHEADER h;
        std::memcpy(&h, first, sizeof h);
        input.width = h.biWidth;
        input.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    }
    input.rate = info.dwRate;
    input.scale = info.dwScale;
    input.length = info.dwLength;
    return HostInputOpen::ok;
}

int host_input_open_audio(HostInput& input) {
    PAVISTREAM stream = nullptr;
    if (AVIFileGetStream(input.file, &stream, streamtypeAUDIO, 0) != AVIERR_OK) return 0;
    WAVEFORMATEX format{};
    LONG format_size = sizeof format;
    AVISTREAMINFOA info{};
    const bool pcm16 = AVIStreamReadFormat(stream, 0, &format, &format_size) == AVIERR_OK &&
                       format_size >= static_cast<LONG>(offsetof(WAVEFORMATEX, cbSize)) &&
                       format.wFormatTag == WAVE_FORMAT_PCM && format.wBitsPerSample == 16 && format.nChannels > 0 &&
                       format.nBlockAlign == format.nChannels * 2 && format.nSamplesPerSec > 0 &&
                       format.nSamplesPerSec <= INT32_MAX &&
                       AVIStreamInfoA(stream, &info, sizeof info) == AVIERR_OK;
    if (!pcm16) {
        AVIStreamRelease(stream);
        return -1;
    }
    input.audio = stream;
    input.audio_rate = static_cast<int32_t>(format.nSamplesPerSec);
    input.audio_channels = format.nChannels;
    input.audio_block = format.nBlockAlign;
    input.audio_skew = info.dwStart;
    input.audio_count = std::min<int64_t>(int64_t{info.dwStart} + info.dwLength, INT32_MAX);
    return 1;
}

const uint8_t* host_input_frame(HostInput& input, int frame) {
    auto* dib = static_cast<uint8_t*>(AVIStreamGetFrame(input.frames, frame));
    if (!dib) return nullptr;
    BITMAPINFOHEADER h;
    std::memcpy(&h, dib, sizeof h);
    const int32_t rows = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    if (h.biBitCount != 24 || h.biCompression != BI_RGB || h.biWidth != input.width || rows != input.height)
        return nullptr;
    uint8_t* bits = dib + h.biSize + h.biClrUsed * sizeof(RGBQUAD);
    // The editor hands out what any DIB is: rows padded to 4 bytes, bottom-up.
    const size_t stride = dib_stride(input.width, 24);
    if (h.biHeight > 0) return bits;
    input.flipped.resize(stride * static_cast<size_t>(rows));
    for (int32_t y = 0; y < rows; ++y)
        std::memcpy(&input.flipped[static_cast<size_t>(y) * stride], bits + static_cast<size_t>(rows - 1 - y) * stride,
                    stride);
    return input.flipped.data();
}

const uint8_t* host_input_audio(HostInput& input, int start, int length, int* read) {
    if (read) *read = 0;
    if (!input.audio || start < 0 || length <= 0 || start >= input.audio_count) return input.audio_buffer.data();
    const int64_t wanted = std::min<int64_t>(length, input.audio_count - start);
    const size_t bytes = static_cast<size_t>(wanted) * input.audio_block;
    if (input.audio_buffer.size() < bytes) input.audio_buffer.resize(bytes);
    uint8_t* out = input.audio_buffer.data();
    const int64_t silent = std::clamp<int64_t>(input.audio_skew - start, 0, wanted);
    std::memset(out, 0, static_cast<size_t>(silent) * input.audio_block);
    int64_t got = silent;
    while (got < wanted) {
        LONG read_bytes = 0, read_samples = 0;
        const LONG n = static_cast<LONG>(wanted - got);
        if (AVIStreamRead(input.audio, static_cast<LONG>(start + got - input.audio_skew), n,
                          out + static_cast<size_t>(got) * input.audio_block,
                          static_cast<LONG>(static_cast<size_t>(n) * input.audio_block), &read_bytes,
                          &read_samples) != AVIERR_OK ||
            read_samples <= 0)
            break;
        got += std::min<int64_t>(read_samples, n);
    }
    if (read) *read = static_cast<int>(got);
    return out;
}

void host_input_close(HostInput& input) {
    if (!input.file) return;
    if (input.frames) AVIStreamGetFrameClose(input.frames);
    if (input.audio) AVIStreamRelease(input.audio);
    if (input.video) AVIStreamRelease(input.video);
    AVIFileRelease(input.file);
    AVIFileExit();
    input = HostInput{};
}
