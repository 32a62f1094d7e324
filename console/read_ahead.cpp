// Any frame source on a thread of its own that reads ahead, as x264's input
// thread wraps any input. Frame k lands in slot k % 3: the driver holds the
// current frame and may peek at the next while the thread reads the one after.
#include <cerrno>
#include <cfenv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "common/grow.h"
#include "console/frame_source.h"

namespace {

constexpr uint32_t kSlots = 3;

struct Slot {
    uint8_t* pixels;        // owned
    size_t capacity;
    BITMAPINFOHEADER header;
    int delivered;          // what the kind's next_frame answered: kFrameDelivered or kFrameStandIn
    // The frame's audio, copied: chunk records and their bytes, grown as needed.
    FrameAudioChunk* chunks;  // owned
    uint32_t chunk_capacity;
    uint8_t* audio_data;      // owned
    size_t audio_capacity;
    FrameAudio audio;         // points into the two above
};

struct ReadAhead {
    std::mutex lock;
    std::condition_variable wake;  // any change below, for either side
    std::thread thread;
    const FrameSourceOps* kind = nullptr;
    std::string path;
    FrameSource inner{};    // used on the thread only
    int opened = 0;         // 0 while opening, 1 open, -1 refused
    AVISTREAMINFOA info{};
    BITMAPINFOHEADER format{};
    uint32_t frame_count = 0;
    SourceAudio audio = SourceAudio::none;
    const AudioStreamDescription* audio_streams = nullptr;
    uint32_t audio_count = 0;
    Slot slots[kSlots]{};
    uint32_t read = 0;      // frames in slots so far
    uint32_t handed = 0;    // frames handed out by next_frame
    bool ended = false;     // the kind had no more frames
    bool out_of_memory = false;  // the open, or the read that ended them, had no memory
    bool quit = false;
};

// Room for a frame: rows padded to 4 bytes too, zeroed, so that a reader of
// the padded extent finds defined bytes. Grows only when a frame is larger
// than the ones before, which a well-formed input never has.
bool make_room(Slot& slot, const BITMAPINFOHEADER& h) {
    size_t need = dib_stride(h.biWidth, h.biBitCount) * static_cast<size_t>(std::labs(h.biHeight));
    if (dib_frame_bytes(h) > need) need = dib_frame_bytes(h);
    if (need <= slot.capacity) return true;
    auto* grown = static_cast<uint8_t*>(std::calloc(need, 1));
    if (!grown) return false;
    std::free(slot.pixels);
    slot.pixels = grown;
    slot.capacity = need;
    return true;
}

// Copies the kind's audio for the frame just read into the slot.
bool keep_audio(Slot& slot, const FrameAudio& audio) {
    slot.audio = FrameAudio{};
    size_t bytes = 0;
    for (uint32_t i = 0; i < audio.chunk_count; ++i) {
        const size_t end = static_cast<size_t>(audio.chunks[i].offset) + audio.chunks[i].bytes;
        if (end > bytes) bytes = end;
    }
    if (!grow_buffer(slot.chunks, slot.chunk_capacity, audio.chunk_count) ||
        !grow_buffer(slot.audio_data, slot.audio_capacity, bytes))
        return false;
    if (audio.chunk_count) std::memcpy(slot.chunks, audio.chunks, audio.chunk_count * sizeof *audio.chunks);
    if (bytes) std::memcpy(slot.audio_data, audio.data, bytes);
    slot.audio = FrameAudio{slot.chunks, audio.chunk_count, slot.audio_data};
    return true;
}

void read_frames(ReadAhead& r) {
    std::unique_lock<std::mutex> hold(r.lock);
    for (uint32_t k = 0; k < r.frame_count; ++k) {
        // Slot k % 3 is free once the driver has moved past frame k - 3 + 1.
        r.wake.wait(hold, [&r, k] { return r.quit || k < r.handed + 2; });
        if (r.quit) return;
        hold.unlock();
        std::fesetenv(FE_DFL_ENV);
        const void* pixels = nullptr;
        const BITMAPINFOHEADER* header = nullptr;
        Slot& slot = r.slots[k % kSlots];
        errno = 0;
        const int delivered = frame_source_next(r.inner, &pixels, &header);
        // A frame memory ran out for is neither the end nor damage in the file.
        bool out_of_memory = delivered != kFrameDelivered && errno == ENOMEM;
        bool ok = delivered != kFrameEnd && !out_of_memory;
        if (ok && (!make_room(slot, *header) || !keep_audio(slot, frame_source_audio(r.inner)))) {
            ok = false;
            out_of_memory = true;
        }
        if (ok) {
            std::memcpy(slot.pixels, pixels, dib_frame_bytes(*header));
            slot.header = *header;
            slot.delivered = delivered;
        }
        hold.lock();
        if (!ok) {
            r.out_of_memory = out_of_memory;
            break;
        }
        r.read = k + 1;
        r.wake.notify_all();
    }
    r.ended = true;
    r.wake.notify_all();
}

void run_source(ReadAhead* r) {
    errno = 0;
    r->inner = FrameSource{};
    const int opened = r->kind->open(r->path.c_str(), r->audio, r->inner);
    const bool out_of_memory = !opened && errno == ENOMEM;
    {
        std::lock_guard<std::mutex> hold(r->lock);
        r->out_of_memory = out_of_memory;
        if (opened) {
            r->info = *r->inner.info;
            r->format = *r->inner.format;
            r->frame_count = r->inner.frame_count;
            // The kind's stream descriptions stay where they are until its close.
            r->audio_streams = r->inner.audio;
            r->audio_count = r->inner.audio_count;
        }
        r->opened = opened ? 1 : -1;
        r->wake.notify_all();
    }
    if (!opened) return;
    read_frames(*r);
    {
        std::unique_lock<std::mutex> hold(r->lock);
        r->wake.wait(hold, [r] { return r->quit; });
    }
    // Closed where it was opened.
    frame_source_close(r->inner);
}

void run(ReadAhead* r) {
    std::fesetenv(FE_DFL_ENV);
    // AVIFile is a COM library on Windows: each thread that opens files
    // initialises it for itself (AVIFileOpen fails on this thread otherwise).
    AVIFileInit();
    run_source(r);
    AVIFileExit();
}

int close_source(void* self) {
    auto* r = static_cast<ReadAhead*>(self);
    if (!r) return 1;
    {
        std::lock_guard<std::mutex> hold(r->lock);
        r->quit = true;
        r->wake.notify_all();
    }
    if (r->thread.joinable()) r->thread.join();
    for (Slot& slot : r->slots) {
        std::free(slot.pixels);
        std::free(slot.chunks);
        std::free(slot.audio_data);
    }
    delete r;
    return 1;
}

// The frame the driver gets next, once read; false at the end.
bool wait_for_next(ReadAhead& r, std::unique_lock<std::mutex>& hold) {
    r.wake.wait(hold, [&r] { return r.read > r.handed || r.ended; });
    return r.read > r.handed;
}

int peek(void* self, const void** pixels, const BITMAPINFOHEADER** header) {
    auto& r = *static_cast<ReadAhead*>(self);
    std::unique_lock<std::mutex> hold(r.lock);
    if (!wait_for_next(r, hold)) return kFrameEnd;
    const Slot& slot = r.slots[r.handed % kSlots];
    *pixels = slot.pixels;
    *header = &slot.header;
    return 1;
}

int next_frame(void* self, const void** pixels, const BITMAPINFOHEADER** header) {
    auto& r = *static_cast<ReadAhead*>(self);
    std::unique_lock<std::mutex> hold(r.lock);
    if (!wait_for_next(r, hold)) return r.out_of_memory ? kFrameNoMemory : kFrameEnd;
    const Slot& slot = r.slots[r.handed % kSlots];
    *pixels = slot.pixels;
    *header = &slot.header;
    r.handed += 1;
    r.wake.notify_all();
    return slot.delivered;
}

// The audio of the frame next_frame handed out last.
void audio_of(void* self, const FrameAudio** audio) {
    auto& r = *static_cast<ReadAhead*>(self);
    std::lock_guard<std::mutex> hold(r.lock);
    *audio = r.handed ? &r.slots[(r.handed - 1) % kSlots].audio : nullptr;
}

int open_unused(const char*, SourceAudio, FrameSource&) { return 0; }

const FrameSourceOps read_ahead_ops = {open_unused, next_frame, close_source, peek, audio_of};

}  // namespace

int read_ahead_open(const FrameSourceOps& kind, const char* path, SourceAudio audio, FrameSource& source) {
    source = FrameSource{};
    auto* r = new (std::nothrow) ReadAhead;
    if (!r) {
        errno = ENOMEM;
        return 0;
    }
    r->kind = &kind;
    r->audio = audio;
    try {
        r->path = path;
        r->thread = std::thread(run, r);
    } catch (const std::exception&) {
        // No room for the path, the thread's stack, or any more threads.
        delete r;
        errno = ENOMEM;
        return 0;
    }
    {
        std::unique_lock<std::mutex> hold(r->lock);
        r->wake.wait(hold, [r] { return r->opened != 0; });
    }
    if (r->opened < 0) {
        const bool out_of_memory = r->out_of_memory;
        close_source(r);
        if (out_of_memory) errno = ENOMEM;
        return 0;
    }
    source = FrameSource{&read_ahead_ops, r, &r->info, &r->format, r->frame_count, r->audio_streams, r->audio_count};
    return 1;
}
