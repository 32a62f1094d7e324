// One encode run as both front ends drive it: open (writer and log), one step
// per frame, close. The front ends keep only what differs between them: where
// frames come from, how progress and stop requests are shown, and how a
// failure is told to the user.
#pragma once

#include <cstdint>

#include "engine/audio.h"
#include "engine/check_thread.h"
#include "engine/log.h"
#include "engine/output.h"
#include "engine/pipeline.h"
#include "engine/platform.h"
#include "engine/settings.h"

struct EncodeSession {
    OutputWriter writer;      // file, codec, verifier and every buffer of the run
    EncodeSettings settings;  // the run's settings, clamped by the front end
    EncodeLog log;            // made with the file; all clear unless settings.log_enabled
    OutputFailure failure;    // why session_open, session_encode_frame or session_close answered 0
    int32_t failed_frame;     // the frame session_encode_frame gave up on, or -1
    int log_missing;          // 1 once the log couldn't be created (log.name said which)

    // Overlap (the console with our own codec drivers only): the check of
    // frame n on a second thread while frame n + 1 is compressed ahead.
    int overlap;                // the codec takes back a frame thrown away unseen
    CheckThread* checker;       // owned; started at the first overlapped frame
    uint8_t* spare_buffer;      // owned: compressed frames alternate with writer.compressed_buffer
    PipelineFrame ahead;        // frame n + 1 as compressed ahead
    int have_ahead;
    OutputFailure ahead_failure;  // none, or why compressing ahead failed
    PipelineFrame job_frame;    // the frame the checker works on
    BITMAPINFOHEADER job_header;  // its header, for a restart that outlives the call
    uint32_t thrown_away;       // frames compressed ahead and thrown away for a redo
};

// Clears the session and opens the writer. 0 when the run is refused
// (session.failure says why): nothing is then left open and nothing was made.
// The output file and, when log_enabled, the log are created when the first
// frame is ready to be written, and never without one, so that a run failing
// or stopped before then leaves existing files as they were. A log
// that can't be created does not stop the run: log.file stays null with
// log.name set and log_missing 1, for the front end to warn.
int session_open(EncodeSession& session, const char* output_path, const AVISTREAMINFOA& stream_info,
                 const BITMAPINFOHEADER& format, const EncodeSettings& settings);
// session_open for a UTF-16 name, which may hold characters the system's code
// page can't: the output, the log and the checks that keep the analysis
// pictures apart from them all go through the wide file calls, and the
// session keeps the name as UTF-8 (writer.output_path, log.name, the log's
// header line). A name with an unpaired surrogate is refused (failure
// bad_name) before anything is made.
int session_open_wide(EncodeSession& session, const WCHAR* output_path, const AVISTREAMINFOA& stream_info,
                      const BITMAPINFOHEADER& format, const EncodeSettings& settings);

// The analysis pictures are never written over the output or the log
// (session_open sees to them) nor over the input that this names; a picture
// that would be, or that can't be written, is noted in writer.analysis for
// the front end to tell. 0 when memory ran out (failure memory).
int session_keep_input(EncodeSession& session, const char* input_path);

// Adds an output audio stream, before the first frame: its index (0, 1, ...
// in the order added, after the video stream in the file), or -1 when memory
// ran out or the MP3 encoder could not be opened (failure memory or
// audio_encoder). The description's format is copied.
int session_add_audio(EncodeSession& session, const AudioStreamDescription& description);

// Hands over audio of stream that goes with the next frame written: one
// chunk of a copied or PCM stream (bytes long, samples of the stream's own),
// or PCM for an MP3 stream (samples sample frames). The bytes are copied.
// Written just ahead of that frame's video; dropped, never written, when the
// run ends before the frame is. 0 when memory ran out.
int session_queue_audio(EncodeSession& session, uint32_t stream, const void* data, uint32_t bytes,
                        uint32_t samples);

// Asks for the next frame to be compressed as a key frame.
void session_request_key(EncodeSession& session);

// Frame n (0, 1, ... in order) through the pipeline, written at position n.
// 1 when written; 0 when not (failure and failed_frame say why and where):
// the caller ends its loop, and the frames before stay in the file.
// header and bits belong to the caller and are used only during the call.
int session_encode_frame(EncodeSession& session, int32_t n, const BITMAPINFOHEADER* header, const void* bits);

// Frame n as session_encode_frame does, given frame n + 1 too (null at the
// end): with our own codec drivers, n + 1 is compressed while n is checked,
// and the file is the same, byte for byte, as without. The next call must be
// for frame n + 1 with the same next_bits, and both frames' pixels must stay
// as they are until it returns.
int session_encode_frame_ahead(EncodeSession& session, int32_t n, const BITMAPINFOHEADER* header, const void* bits,
                               const BITMAPINFOHEADER* next_header, const void* next_bits);

// Compressed bytes of the frame last written.
inline uint32_t session_last_size(const EncodeSession& session) { return session.writer.last_size; }
// Bytes the file grew by with the frame last written: its video and the
// audio written with it.
uint32_t session_last_bytes(const EncodeSession& session);

// Closes the log, then the writer (the file is complete on disk after it; a
// run that wrote no frame has made no file). Answers 1 when the file was
// completed or none was made, 0 when completing it failed. Safe after a
// failed open; failure and failed_frame are kept for the report.
int session_close(EncodeSession& session);
