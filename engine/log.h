// The optional per-run encoding log: a text file named after the output, its
// header, and one line for every frame in the file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/file_open.h"
#include "engine/settings.h"

struct EncodeLog {
    FILE* file;   // text mode; null when the log could not be created
    char* name;   // owned, free with std::free; kept even when file is null, for the warning;
                  // written as output_path is (coding)
};

// Opens the log named after output_path with ".log" and writes its header.
// A log that can't be created leaves log.file null and log.name set: the
// front end warns with "WARNING - Can't create log %s\n" (log.name) and the
// run goes on without a log; no frame line is written then. The header's
// line names the output as coding writes it: UTF-8 for a wide entry's name.
EncodeLog log_open(const char* output_path, const EncodeSettings& settings,
                   NameCoding coding = NameCoding::system);
// Closes the file and frees the name; safe on a cleared or closed log.
void log_close(EncodeLog& log);

// Frame n's line, once the frame is in the file, flushed at once so that a
// run that is killed keeps its log up to the last frame: a kept frame (key
// frames marked), a delta frame redone as key frame for a scene change (with
// the rejected size), or one redone for block noise (with the block's left
// column x and top row y, counted from the top of the picture). Nothing
// without a file.
void log_frame_kept(EncodeLog& log, int32_t n, uint32_t size, int is_key);
void log_frame_scene_change(EncodeLog& log, int32_t n, uint32_t size, uint32_t rejected_size);
void log_frame_bad_block(EncodeLog& log, int32_t n, uint32_t size, int32_t x, int32_t y);

// New text (free with std::free): path with the extension of its last
// component replaced by ext. Slash and backslash both end a component.
char* path_replace_extension(const char* path, const char* ext);
