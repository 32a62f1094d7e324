// AVI input through AVIFile: the first video stream, frame by frame from 0.
#include "console/avi_source.h"

#include <cstdio>
#include <cstring>

int avi_source_open(const char* path, AviSource& source) {
    std::memset(&source, 0, sizeof source);
    if (AVIFileOpenA(&source.file, path, OF_READ, nullptr) != 0) {
        source.file = nullptr;
        std::fprintf(stderr, "ERROR - Can't open %s\n", path);
        return 0;
    }
    if (AVIFileGetStream(source.file, &source.stream, streamtypeVIDEO, 0) != 0) {
        source.stream = nullptr;
        std::fprintf(stderr, "ERROR - %s has no VIDEO stream\n", path);
        avi_source_close(source);
        return 0;
    }
    AVIStreamInfoA(source.stream, &source.info, sizeof source.info);

    // The output is opened with the decoded format, which only a decoded frame
    // tells; a stream that can't be decoded has nothing to hand on.
    source.decoder = AVIStreamGetFrameOpen(source.stream, nullptr);
    if (!source.decoder) {
        std::fprintf(stderr, "ERROR - Can't decode the VIDEO stream of %s\n", path);
        avi_source_close(source);
        return 0;
    }
    auto* first = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(source.decoder, 0));
    if (!first) {
        std::fprintf(stderr, "ERROR - Can't read the first frame of %s\n", path);
        avi_source_close(source);
        return 0;
    }
    source.header = first;
    source.pixels = reinterpret_cast<uint8_t*>(first) + first->biSize;
    source.next_frame = 0;  // frame 0 was only fetched for its format
    return 1;
}

int avi_source_next_frame(AviSource& source, const void** pixels, const BITMAPINFOHEADER** header) {
    auto* frame = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(source.decoder, source.next_frame));
    if (!frame) return 0;
    source.header = frame;
    // Pixels follow the header directly; a colour table is not skipped.
    source.pixels = reinterpret_cast<uint8_t*>(frame) + frame->biSize;
    ++source.next_frame;
    *pixels = source.pixels;
    *header = source.header;
    return 1;
}

int avi_source_close(AviSource& source) {
    if (source.decoder) AVIStreamGetFrameClose(source.decoder);
    if (source.stream) AVIStreamRelease(source.stream);
    if (source.file) AVIFileRelease(source.file);
    source.decoder = nullptr;
    source.stream = nullptr;
    source.file = nullptr;
    source.header = nullptr;
    source.pixels = nullptr;
    return 1;
}

namespace {

int next_frame_op(void* self, const void** pixels, const BITMAPINFOHEADER** header) {
    return avi_source_next_frame(*static_cast<AviSource*>(self), pixels, header);
}

int close_op(void* self) { return avi_source_close(*static_cast<AviSource*>(self)); }

constexpr FrameSourceOps kAviSourceOps = {next_frame_op, close_op};

}  // namespace

FrameSource avi_source_frame_source(AviSource& source) {
    return FrameSource{&kAviSourceOps, &source, &source.info, source.header, source.info.dwLength};
}
