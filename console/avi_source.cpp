// AVI input through AVIFile: the first video stream, frame by frame from 0,
// decoded by the platform's frame decoder into packed bottom-up DIBs.
// AVIFileInit must have been called.
#include <cstdio>
#include <cstdlib>

#include <cerrno>

#include "console/avi_audio.h"
#include "console/frame_source.h"

namespace {

struct AviSource {
    PAVIFILE file;
    PAVISTREAM stream;
    AVISTREAMINFOA info;       // as the platform reports it; info.dwLength is the frame count
    PGETFRAME decoder;
    BITMAPINFOHEADER* header;  // most recently fetched frame (owned by the decoder)
    uint8_t* pixels;           // right after header
    int32_t next_frame;        // number of the frame the next fetch asks for
    BITMAPINFOHEADER size_only;  // the format of a picture too large to encode, which is not decoded
    AviAudio audio;              // the audio streams the driver asked for
};

int close_source(void* self) {
    auto* source = static_cast<AviSource*>(self);
    if (!source) return 1;
    avi_audio_close(source->audio);
    if (source->decoder) AVIStreamGetFrameClose(source->decoder);
    if (source->stream) AVIStreamRelease(source->stream);
    if (source->file) AVIFileRelease(source->file);
    std::free(source);
    return 1;
}

int refuse(AviSource* source, FrameSource& frames) {
    close_source(source);
    frames = FrameSource{};
    return 0;
}

int open_source(const char* path, SourceAudio audio, FrameSource& frames) {
    frames = FrameSource{};
    auto* source = static_cast<AviSource*>(std::calloc(1, sizeof(AviSource)));
    if (!source) return 0;
    if (AVIFileOpenA(&source->file, path, OF_READ, nullptr) != 0) {
        source->file = nullptr;
        std::fprintf(stderr, "ERROR - Can't open %s\n", path);
        return refuse(source, frames);
    }
    if (AVIFileGetStream(source->file, &source->stream, streamtypeVIDEO, 0) != 0) {
        source->stream = nullptr;
        std::fprintf(stderr, "ERROR - %s has no VIDEO stream\n", path);
        return refuse(source, frames);
    }
    AVIStreamInfoA(source->stream, &source->info, sizeof source->info);

    // A picture larger than any run encodes is not decoded (it could take
    // gigabytes): its size alone goes on, with no frames, and the writer
    // refuses it with the message every input gets.
    BITMAPINFOHEADER stored{};
    LONG stored_size = sizeof stored;
    if (AVIStreamReadFormat(source->stream, 0, &stored, &stored_size) == 0 &&
        stored_size >= static_cast<LONG>(sizeof stored) && !encode_size_fits(stored.biWidth, stored.biHeight)) {
        BITMAPINFOHEADER& h = source->size_only;
        h.biSize = sizeof h;
        h.biWidth = stored.biWidth;
        h.biHeight = stored.biHeight < 0 ? -stored.biHeight : stored.biHeight;
        h.biPlanes = 1;
        h.biBitCount = 24;
        h.biCompression = BI_RGB;
        frames = FrameSource{&avi_source_ops, source, &source->info, &source->size_only, 0, nullptr, 0};
        return 1;
    }

    // The output is opened with the decoded format, which only a decoded frame
    // tells; a stream that can't be decoded has nothing to hand on.
    source->decoder = AVIStreamGetFrameOpen(source->stream, nullptr);
    if (!source->decoder) {
        std::fprintf(stderr, "ERROR - Can't decode the VIDEO stream of %s\n", path);
        return refuse(source, frames);
    }
    auto* first = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(source->decoder, 0));
    if (!first) {
        std::fprintf(stderr, "ERROR - Can't read the first frame of %s\n", path);
        return refuse(source, frames);
    }
    source->header = first;
    source->pixels = reinterpret_cast<uint8_t*>(first) + first->biSize;
    source->next_frame = 0;  // frame 0 was only fetched for its format

    if (!avi_audio_open(source->audio, source->file, audio, source->info, source->info.dwLength, path)) {
        const int out_of_memory = errno == ENOMEM;
        refuse(source, frames);
        if (out_of_memory) errno = ENOMEM;
        return 0;
    }
    frames = FrameSource{&avi_source_ops, source, &source->info, source->header, source->info.dwLength,
                         source->audio.descriptions, source->audio.count};
    return 1;
}

// The audio of the frame just fetched; 0 (errno ENOMEM) when memory ran out.
int read_audio(AviSource& source) {
    errno = 0;
    if (avi_audio_read_frame(source.audio, source.next_frame - 1)) return 1;
    errno = ENOMEM;
    return 0;
}

int next_frame(void* self, const void** pixels, const BITMAPINFOHEADER** header) {
    auto& source = *static_cast<AviSource*>(self);
    if (!source.decoder) return kFrameEnd;  // a picture too large to encode
    auto* frame = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(source.decoder, source.next_frame));
    if (!frame) {
        // A frame the file holds but the codec can't decode is not the end of
        // the input: the previous picture (still in the decoder's hands;
        // frame 0 was decoded at the open) stands in for it.
        LONG bytes = 0;
        if (AVIStreamRead(source.stream, source.next_frame, 1, nullptr, 0, &bytes, nullptr) != 0) return kFrameEnd;
        ++source.next_frame;
        *pixels = source.pixels;
        *header = source.header;
        return read_audio(source) ? kFrameStandIn : kFrameEnd;
    }
    source.header = frame;
    // Pixels follow the header directly; a colour table is not skipped.
    source.pixels = reinterpret_cast<uint8_t*>(frame) + frame->biSize;
    ++source.next_frame;
    *pixels = source.pixels;
    *header = source.header;
    return read_audio(source) ? kFrameDelivered : kFrameEnd;
}

void audio_of(void* self, const FrameAudio** audio) { *audio = &static_cast<AviSource*>(self)->audio.frame; }

}  // namespace

const FrameSourceOps avi_source_ops = {open_source, next_frame, close_source, nullptr, audio_of};
