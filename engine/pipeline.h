// The fixed sequence every frame goes through between source and file:
// compress, redo a scene change as key frame, decode and check a delta frame
// for block noise, redo a noisy one as key frame, write, log.
#pragma once

#include <cstdint>

#include "engine/detector.h"
#include "engine/log.h"
#include "engine/output.h"
#include "engine/settings.h"

// Frame n through every step, written at position n. Returns 1 when written,
// 0 when not (writer.failure says why: compress, write, file_open for a file
// that couldn't be created at the first frame, or bad_format for a frame not
// laid out as the writer was opened for). The output file is created at the
// first frame written; a log that settings.log_enabled asks for and that was
// not opened yet (log cleared) is opened beside it then. The frames written
// before a failure stay in the file, which output_close completes as usual.
// The log gets the frame's line once the frame is in the file.
int pipeline_process_frame(OutputWriter& writer, const EncodeSettings& settings, EncodeLog* log, int32_t n,
                           const BITMAPINFOHEADER* header, const void* bits);

// One frame on its way through the steps, which pipeline_process_frame runs
// in order and the session also runs apart: the check of frame n on a second
// thread beside the compression of frame n + 1 (session.cpp).
struct PipelineFrame {
    int32_t n;
    const BITMAPINFOHEADER* header;
    const void* bits;
    uint8_t* buffer;         // its compressed bytes, buffer_size long; compressed_buffer from the redo steps on
    int is_key;
    uint32_t size;
    uint32_t rejected_size;  // the size of a delta frame redone for a scene change; else 0
    int scene_change;
    BadBlockHit hit;         // what the check found; 0 when not checked or clean
};

// Compresses the frame into f.buffer as the codec likes. 0 on failure
// (writer.failure set).
int pipeline_compress(OutputWriter& w, PipelineFrame& f);
// Makes f, in compressed_buffer, the writer's frame: last_is_key and last_size.
void pipeline_take(OutputWriter& w, const PipelineFrame& f);
// A delta frame larger than the scene threshold is redone as key frame
// (output_reencode_key), unchecked. 0 on failure.
int pipeline_redo_scene_change(OutputWriter& w, PipelineFrame& f);
// A delta frame not redone needs the check: the verifier decodes it as a
// player would and the scan compares it with its source (f.hit). Touches
// only the verifier and the frame.
void pipeline_check(OutputWriter& w, const EncodeSettings& settings, PipelineFrame& f);
// A frame the check rejected is redone as key frame (output_reencode_key),
// and its analysis picture written when asked for, unless its name is one of
// writer.analysis's kept files (writer.analysis tells). 0 on failure.
int pipeline_redo_bad_block(OutputWriter& w, const EncodeSettings& settings, PipelineFrame& f);
// On a key frame the verifier starts afresh, so that it holds exactly what a
// player of the file will hold. Touches only the verifier and the frame.
void pipeline_restart_verifier(OutputWriter& w, const PipelineFrame& f);
// Creates the output file, and the log when settings.log_enabled asks for it
// and log is still cleared (a log that can't be created is left with its name
// and no file). 0 when the file can't be created (writer.failure = file_open).
int pipeline_create_files(OutputWriter& w, const EncodeSettings& settings, EncodeLog* log);
// Writes the audio queued for the frame and the frame at position n
// (pipeline_create_files first, at the first frame), then its log line. 0 on failure (writer.failure set).
int pipeline_write(OutputWriter& w, const EncodeSettings& settings, EncodeLog* log, const PipelineFrame& f);
