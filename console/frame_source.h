// The console's view of its input: a table of operations per source kind
// (one file each: avi_source, vfapi_source) plus the kind's own record.
#pragma once

#include <cstdint>

#include "engine/platform.h"

struct FrameSourceOps {
    // 1 with the next frame's pixels and header (both owned by the source and
    // valid until the next call of next_frame or close); 0 at the end of the
    // input or on a read failure.
    int (*next_frame)(void* self, const void** pixels, const BITMAPINFOHEADER** header);
    // Releases everything the source holds; returns 1.
    int (*close)(void* self);
};

// What the driver holds after a successful open.
struct FrameSource {
    const FrameSourceOps* ops;
    void* self;                      // the kind's record (AviSource, VfapiSource)
    const AVISTREAMINFOA* info;      // template of the output stream
    const BITMAPINFOHEADER* format;  // valid until the first next_frame or close
    uint32_t frame_count;            // the most frames the driver asks for
};

inline int frame_source_next(FrameSource& source, const void** pixels, const BITMAPINFOHEADER** header) {
    return source.ops->next_frame(source.self, pixels, header);
}

inline int frame_source_close(FrameSource& source) {
    if (!source.ops) return 1;
    int result = source.ops->close(source.self);
    source.ops = nullptr;
    return result;
}
