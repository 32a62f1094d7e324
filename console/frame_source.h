// The console's view of its input, as one table of operations per source kind
// (one file each: avi_source, vfapi_source). Each kind keeps its own record
// private to its file; the driver sees only this.
#pragma once

#include <cstdint>

#include "engine/audio.h"
#include "engine/platform.h"

struct FrameSource;
struct FrameAudio;

// The audio a driver asks a source to keep beside its frames.
enum class SourceAudio : int32_t {
    none,  // no audio is read
    copy,  // every audio stream, chunk by chunk as the input has it
    pcm,   // every audio stream as 16-bit PCM of 1 or 2 channels (for MP3)
};

struct FrameSourceOps {
    // Opens path and fills source (ops, self, info, format, frame_count).
    // 1 on success; 0 with source cleared and nothing left open, after the
    // kind has printed what it has to say on standard error. A kind that
    // fails because memory ran out leaves errno at ENOMEM, as the C
    // library's allocations do; so does next_frame.
    // With audio other than none, the source's audio streams are described
    // in source.audio (none at all for an input without audio); audio it
    // can't read or convert fails the open, with its ERROR line.
    int (*open)(const char* path, SourceAudio audio, FrameSource& source);
    // kFrameDelivered with the next frame's pixels and header (both owned by
    // the source and valid until the next call of next_frame or close);
    // kFrameStandIn when that frame is in the input but can't be decoded, with
    // the previous picture in its place; kFrameEnd at the end of the input or
    // on a read failure; kFrameNoMemory (from the read-ahead only) when memory
    // ran out reading it.
    int (*next_frame)(void* self, const void** pixels, const BITMAPINFOHEADER** header);
    // Releases everything the source holds, its record included; returns 1.
    int (*close)(void* self);
    // The frame the next next_frame will hand out, without handing it out
    // (1), or 0 at the end. Null for kinds that can't look ahead. The frame
    // stays valid until the next_frame after the one that hands it out.
    int (*peek)(void* self, const void** pixels, const BITMAPINFOHEADER** header);
    // The audio that goes with the frame the last next_frame handed out
    // (audio_frame_end says how much), valid as long as that frame. Null for
    // kinds without audio; it answers no chunks when the source keeps none.
    void (*audio)(void* self, const FrameAudio** audio);
};

// One chunk of an output audio stream: stream indexes source.audio.
struct FrameAudioChunk {
    uint32_t stream;
    uint32_t offset;   // into FrameAudio::data
    uint32_t bytes;
    uint32_t samples;  // in the stream's own samples (for PCM: sample frames)
};

struct FrameAudio {
    const FrameAudioChunk* chunks;  // in the order they are written
    uint32_t chunk_count;
    const uint8_t* data;
};

// What next_frame answers.
constexpr int kFrameEnd = 0;
constexpr int kFrameDelivered = 1;
constexpr int kFrameStandIn = 2;
constexpr int kFrameNoMemory = 3;

// What the driver holds after a successful open.
struct FrameSource {
    const FrameSourceOps* ops;
    void* self;                      // the kind's record, owned by the kind
    const AVISTREAMINFOA* info;      // template of the output stream
    const BITMAPINFOHEADER* format;  // valid until the first next_frame or close
    uint32_t frame_count;            // the most frames the driver asks for
    const AudioStreamDescription* audio;    // the output audio streams, owned by the kind; null when none
    uint32_t audio_count;
};

// The kinds, one in each file.
extern const FrameSourceOps avi_source_ops;
extern const FrameSourceOps vfapi_source_ops;

// Opens path with kind on a thread of its own, which from then on reads
// ahead (frame n + 1 and n + 2 while the driver works on n): the kind is
// used from that thread alone, from its open to its close, so that AVIFile
// objects and reader plug-ins see one thread. Same contract as kind.open,
// errno at ENOMEM included, also when there is no memory or thread for the
// read-ahead itself; the source it fills can also peek, and its next_frame
// answers kFrameNoMemory for a kind's frame that memory ran out for.
int read_ahead_open(const FrameSourceOps& kind, const char* path, SourceAudio audio, FrameSource& source);

inline int frame_source_open(const FrameSourceOps& ops, const char* path, FrameSource& source,
                             SourceAudio audio = SourceAudio::none) {
    source = FrameSource{};
    return ops.open(path, audio, source);
}

// The audio of the frame last handed out; no chunks for a source without any.
inline const FrameAudio& frame_source_audio(FrameSource& source) {
    static const FrameAudio kNone{};
    const FrameAudio* audio = nullptr;
    if (source.ops->audio) source.ops->audio(source.self, &audio);
    return audio ? *audio : kNone;
}

inline int frame_source_next(FrameSource& source, const void** pixels, const BITMAPINFOHEADER** header) {
    return source.ops->next_frame(source.self, pixels, header);
}

// The frame after the current one, while the current one stays valid; 0 at
// the end or when the kind can't look ahead.
inline int frame_source_peek(FrameSource& source, const void** pixels, const BITMAPINFOHEADER** header) {
    return source.ops->peek ? source.ops->peek(source.self, pixels, header) : 0;
}

inline int frame_source_close(FrameSource& source) {
    if (!source.ops) return 1;
    int result = source.ops->close(source.self);
    source = FrameSource{};
    return result;
}
