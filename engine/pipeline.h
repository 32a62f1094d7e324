// The fixed sequence every frame goes through between source and file, and the
// optional per-frame encoding log.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/output.h"
#include "engine/settings.h"

struct EncodeLog {
    FILE* file;   // text mode; null when the log could not be created
    char* name;   // owned
};

// Returns 1 when frame n was written, 0 when it could not be (writer.failure says why).
int pipeline_process_frame(OutputWriter& writer, const EncodeSettings& settings, EncodeLog* log, int32_t n,
                           const BITMAPINFOHEADER* header, const void* bits);

// Opens the log named after output_path with ".log" and writes its header.
// A log that can't be created leaves log.file null (see log_open).
EncodeLog log_open(const char* output_path, const EncodeSettings& settings);
void log_close(EncodeLog& log);

// New text (free with std::free): path with the extension of its last
// component replaced by ext. Slash and backslash both end a component.
char* path_replace_extension(const char* path, const char* ext);
