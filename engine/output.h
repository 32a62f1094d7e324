// Everything a run needs on the output side: the AVI file and its stream, the
// compressor, the verification decoder, and every buffer of the run.
#pragma once

#include <cstdint>

#include "engine/analysis.h"
#include "engine/compressor.h"
#include "engine/file_open.h"
#include "engine/output_audio.h"
#include "engine/platform.h"
#include "engine/settings.h"
#include "engine/verifier.h"

// Why output_open refused a run or the pipeline gave up on a frame; front
// ends turn it into their message.
enum class OutputFailure : int32_t {
    none = 0,
    codec_unavailable,    // no codec answers the FourCC for compression
    bad_format,           // the stream or frame format can't be encoded (scale 0, ...)
    file_open,            // the output file can't be created
    decoder_unavailable,  // the codec can't be opened or begun for verification
    memory,               // a buffer of the run can't be allocated
    compress,             // the codec reported an error for a frame
    write,                // the file could not take a frame (disk full, ...)
    log_is_output,        // with logging on, the log's name is the output's own
    too_large,            // the picture is wider or taller than encode_max_width x encode_max_height (common/dib.h)
    audio_encoder,        // the MP3 encoder refused an audio stream's format or rate
    bad_name,             // the output's wide name is no text (an unpaired surrogate, or null): no file bears it
};

struct OutputWriter {
    char* output_path;  // owned copy; the file is created once the first frame is ready
    NameCoding output_coding;  // how output_path is written, and so opened
    PAVIFILE file;      // null until then
    PAVISTREAM stream;
    AVISTREAMINFOA stream_info;             // caller's copy with fccHandler = codec
    BITMAPINFOHEADER* uncompressed_format;  // owned copy of the caller's header
    BITMAPINFOHEADER* compressed_format;    // owned copy with biCompression = codec
    Compressor compressor;
    uint8_t* compressed_buffer;  // owned: receives each compressed frame
    int last_is_key;
    uint32_t last_size;
    Verifier verifier;           // decodes what is written; its picture is the latest decode
    int32_t scene_threshold;     // bytes; 0 = off
    uint32_t buffer_size;        // bytes each frame buffer holds (>= biSizeImage)
    OutputFailure failure;       // why output_open or the pipeline failed
    AnalysisFiles analysis;      // the files the analysis pictures keep apart from; cleared: none
    OutputAudio audio;           // the audio streams beside the video; cleared: none
};

// Opens everything a run needs except the file: every refusal comes before
// it exists, and a run that fails at its first frame leaves an existing file
// of that name as it was.
int output_open(const char* output_path, const AVISTREAMINFOA& stream_info, const BITMAPINFOHEADER& format,
                const EncodeSettings& settings, OutputWriter& writer, NameCoding coding = NameCoding::system);
// Creates the file with its streams and formats, video first (replacing an existing one).
// 0 when it can't be created (writer.failure = file_open).
int output_create_file(OutputWriter& writer);
int output_reencode_key(OutputWriter& writer, const void* source_bits);
// Returns 1 when the file was completed on disk, 0 when completing it failed.
int output_close(OutputWriter& writer);

BITMAPINFOHEADER make_rgb24_format(int32_t width, int32_t height);
AVISTREAMINFOA make_video_stream_info(int32_t width, int32_t height, int32_t rate, int32_t scale);
