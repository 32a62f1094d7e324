// The fixed sequence every frame goes through between source and file, and the
// optional per-frame encoding log.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/output.h"
#include "engine/settings.h"

struct EncodeLog {
    FILE* file;   // text mode; null when the log could not be created
    char* name;   // owned, free with std::free; kept even when file is null, for the warning
};

// Returns 1 when frame n was written, 0 when it could not be (writer.failure
// says why: compress, write, file_open for a file that couldn't be created at
// the first frame, or bad_format for a frame not laid out as the writer was
// opened for). The frames written before stay in the file, which
// output_close completes as usual. The log gets the frame's line once the
// frame is in the file.
int pipeline_process_frame(OutputWriter& writer, const EncodeSettings& settings, EncodeLog* log, int32_t n,
                           const BITMAPINFOHEADER* header, const void* bits);

// The same in two halves: steps 1-6 (compress, check, redo) touch neither
// file nor log; the commit writes the frame into the created file, then its
// log line.
int pipeline_prepare_frame(OutputWriter& writer, const EncodeSettings& settings, int32_t n,
                           const BITMAPINFOHEADER* header, const void* bits);
int pipeline_commit_frame(OutputWriter& writer, EncodeLog* log, int32_t n);

// Opens the log named after output_path with ".log" and writes its header.
// A log that can't be created leaves log.file null and log.name set: the
// front end warns with "WARNING - Can't create log %s\n" (log.name) and the
// run goes on without a log; the pipeline writes no line then.
EncodeLog log_open(const char* output_path, const EncodeSettings& settings);
void log_close(EncodeLog& log);

// New text (free with std::free): path with the extension of its last
// component replaced by ext. Slash and backslash both end a component.
char* path_replace_extension(const char* path, const char* ext);
