// The fixed sequence every frame goes through between source and file, and the
// optional per-frame encoding log.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/detector.h"
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

// One frame on its way through the steps of pipeline_prepare_frame, which
// the console also runs apart: the check of frame n beside the compression of
// frame n + 1 (session.cpp). Each step is told which compressed buffer of the
// writer holds the frame.
struct PipelineFrame {
    int32_t n;
    const BITMAPINFOHEADER* header;
    const void* bits;
    uint8_t* buffer;         // a writer buffer of buffer_size bytes: the frame's compressed bytes
    int is_key;
    uint32_t size;
    uint32_t rejected_size;  // the size of a delta frame redone for a scene change; else 0
    int scene_change;
    BadBlockHit hit;         // what the check found; 0 when not checked or clean
};

// Compresses the frame as the codec likes. 0 on failure (writer.failure set).
int pipeline_compress(OutputWriter& w, PipelineFrame& f);
// A delta frame too large for one is redone as key frame. 0 on failure.
int pipeline_scene(OutputWriter& w, PipelineFrame& f);
// A delta frame still needs the check: the verifier decodes it and the scan
// compares it with its source. Touches only the verifier and the frame.
void pipeline_check(OutputWriter& w, const EncodeSettings& settings, PipelineFrame& f);
// Redoes a frame the check rejected (with its analysis picture), makes the
// frame's log line and the frame the writer's last. 0 on failure.
int pipeline_settle(OutputWriter& w, const EncodeSettings& settings, PipelineFrame& f);
// On a key frame the verifier starts afresh. Touches only the verifier and the frame.
void pipeline_resync(OutputWriter& w, const PipelineFrame& f);
// pipeline_commit_frame for a frame in any buffer.
int pipeline_commit(OutputWriter& w, EncodeLog* log, const PipelineFrame& f);

// Opens the log named after output_path with ".log" and writes its header.
// A log that can't be created leaves log.file null and log.name set: the
// front end warns with "WARNING - Can't create log %s\n" (log.name) and the
// run goes on without a log; the pipeline writes no line then.
EncodeLog log_open(const char* output_path, const EncodeSettings& settings);
void log_close(EncodeLog& log);

// New text (free with std::free): path with the extension of its last
// component replaced by ext. Slash and backslash both end a component.
char* path_replace_extension(const char* path, const char* ext);
