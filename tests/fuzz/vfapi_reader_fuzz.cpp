// libFuzzer target: the VFAPI reader plug-in's own work on a file of any
// bytes: the open with its frame count, then frames converted into a caller's
// buffer of exactly the picture's rows, at a pitch and in a direction the
// input chooses. The buffer is a block of its own, so that a byte written
// past it is found. Then the audio, if any: read on in pieces of sizes the
// input picks, into a buffer of exactly the samples asked for, and sought.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/vfapi.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" HRESULT WINAPI vfGetPluginFunc(VfapiFunctionTable* table);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Two bytes of settings: extra pitch (0-127 bytes), direction, which frames.
    if (size < 2) return 0;
    const unsigned extra = data[0] & 0x7F;
    const bool upward = data[0] & 0x80;
    const unsigned pick = data[1];
    fuzzinput::load(data + 2, size - 2);

    static VfapiFunctionTable table = [] {
        VfapiFunctionTable t{};
        t.dwSize = sizeof t;
        if (vfGetPluginFunc(&t) != 0) std::abort();
        return t;
    }();
    VfapiHandle handle = 0;
    if (table.OpenInput(fuzzinput::path().c_str(), &handle) != 0) return 0;
    VfapiFileInfo file{sizeof file, 0};
    VfapiVideoInfo video{};
    video.dwSize = sizeof video;
    if (table.QueryFileInfo(handle, &file) == 0 && (file.dwStreamFlags & kVfapiHasVideo) &&
        table.QueryStreamInfo(handle, kVfapiStreamVideo, &video) == 0 && video.dwPixelBits == 24 &&
        video.dwFrameWidth > 0 && video.dwFrameHeight > 0 &&
        static_cast<std::uint64_t>(video.dwFrameWidth) * video.dwFrameHeight <= (1u << 22)) {
        const std::size_t row = static_cast<std::size_t>(video.dwFrameWidth) * 3;
        const std::size_t pitch = row + extra;
        // The last row ends the block: no filler after it.
        std::vector<std::uint8_t> buffer(pitch * (video.dwFrameHeight - 1) + row);
        VfapiVideoRead request{};
        request.dwSize = sizeof request;
        request.lpData = upward ? buffer.data() + pitch * (video.dwFrameHeight - 1) : buffer.data();
        request.lPitch = upward ? -static_cast<LONG>(pitch) : static_cast<LONG>(pitch);
        const std::uint64_t count = (static_cast<std::uint64_t>(video.dwFrameCountH) << 32) | video.dwFrameCountL;
        const std::uint64_t limit = count < 64 ? count : 64;
        for (std::uint64_t n = 0; n <= limit; ++n) {
            request.dwFrameNumberL = static_cast<DWORD>(n);
            if (table.ReadData(handle, kVfapiStreamVideo, &request) != 0 && n < count) break;
        }
        // A few jumps, back and past the end.
        for (std::uint64_t n : {static_cast<std::uint64_t>(pick) % (limit + 1), std::uint64_t{0}, count + pick}) {
            request.dwFrameNumberL = static_cast<DWORD>(n);
            request.dwFrameNumberH = static_cast<DWORD>(n >> 32);
            table.ReadData(handle, kVfapiStreamVideo, &request);
        }
    }
    VfapiAudioInfo audio{};
    audio.dwSize = sizeof audio;
    if ((file.dwStreamFlags & kVfapiHasAudio) && table.QueryStreamInfo(handle, kVfapiStreamAudio, &audio) == 0 &&
        audio.dwBlockAlign > 0 && audio.dwBlockAlign <= 4) {
        VfapiAudioRead request{};
        request.dwSize = sizeof request;
        std::uint64_t position = 0;
        for (unsigned k = 0; k < 16; ++k) {
            const DWORD count = 1 + ((pick * (k + 1) * 977u) % 4096u);
            std::vector<std::uint8_t> samples(static_cast<std::size_t>(count) * audio.dwBlockAlign);
            // Sequential reads, one jump back and one far ahead.
            if (k == 10) position = pick;
            if (k == 13) position += 200000;
            request.dwSamplePosL = static_cast<DWORD>(position);
            request.dwSamplePosH = static_cast<DWORD>(position >> 32);
            request.dwSampleCount = count;
            request.dwBufSize = static_cast<DWORD>(samples.size());
            request.lpBuf = samples.data();
            if (table.ReadData(handle, kVfapiStreamAudio, &request) != 0 || request.dwReadedSampleCount > count)
                break;
            position += request.dwReadedSampleCount;
        }
    }
    table.CloseInput(handle);
    return 0;
}
