// Frames of the first video stream of an AVI file, decoded by the platform's
// AVIFile frame decoder into packed bottom-up DIBs.
#pragma once

#include <cstdint>

#include "console/frame_source.h"
#include "engine/platform.h"

struct AviSource {
    PAVIFILE file;
    PAVISTREAM stream;
    AVISTREAMINFOA info;       // as the platform reports it; info.dwLength is the frame count
    PGETFRAME decoder;
    BITMAPINFOHEADER* header;  // most recently fetched frame (owned by the decoder)
    uint8_t* pixels;           // right after header
    int32_t next_frame;        // number of the frame the next fetch asks for
};

// 1 on success; 0 after printing why on standard error, with nothing left open.
// AVIFileInit must have been called.
int avi_source_open(const char* path, AviSource& source);
int avi_source_next_frame(AviSource& source, const void** pixels, const BITMAPINFOHEADER** header);
int avi_source_close(AviSource& source);

// The driver's view of an opened source.
FrameSource avi_source_frame_source(AviSource& source);
