// A codec driver for tests, installed through ICInstall like any other: it
// records every message with its arguments and answers as the test scripts it.
//
// Compressing writes `size` bytes whose first four hold the call's index and
// reports the size in the output header. Decompressing hands back the source
// of the latest compression (so a clean delta frame decodes to its source),
// then lets the test spoil it through decode_hook.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/platform.h"

namespace testsupport {

struct DriverMessage {
    int instance;  // 1, 2, ... in the order of DRV_OPEN; 0 outside an open instance
    UINT mode;     // ICMODE_* of that instance
    UINT msg;
    LPARAM p1;
    LPARAM p2;
};

struct CompressCall {
    int index;  // among all ICM_COMPRESS messages of the codec, from 0
    DWORD flags;
    LONG frame_num;
    DWORD frame_size;
    DWORD quality;
    bool has_prev;
    bool prev_format_is_input;  // lpbiPrev and lpbiInput are the same header
    bool has_ckid;
    int source_tag;  // first byte of the source frame
    int prev_tag;    // first byte of the previous frame; -1 when there is none
    BITMAPINFOHEADER input;
    BITMAPINFOHEADER output;
    const void* output_buffer;
    // What the driver answered.
    DWORD result;
    bool answered_key;
    DWORD answered_size;
};

struct DecompressCall {
    DWORD flags;
    BITMAPINFOHEADER input;
    BITMAPINFOHEADER output;
    const void* input_data;
    const void* output_buffer;
    int data_tag;  // the compression index found in the first four bytes of the data
};

struct ScriptedCodec {
    // --- behaviour ---
    bool refuse_compress = false;    // DRV_OPEN in ICMODE_COMPRESS answers 0
    bool refuse_decompress = false;  // DRV_OPEN in ICMODE_DECOMPRESS answers 0
    LRESULT decompress_begin_result = ICERR_OK;
    std::vector<uint8_t> state = std::vector<uint8_t>(32, 0xEE);  // ICM_GETSTATE answers its size and bytes
    // Whether a compression is answered as key frame; default: when asked for one.
    std::function<bool(const CompressCall&)> key_answer;
    // Size written; default 1000 for key frames, 100 for delta frames.
    std::function<DWORD(const CompressCall&)> size_answer;
    // Result of ICM_COMPRESS; default ICERR_OK. On an error nothing is written.
    std::function<DWORD(const CompressCall&)> result_answer;
    // Bytes written into a decompression's output; 0 = the output's biSizeImage.
    size_t decode_bytes = 0;
    // Bytes of the previous frame the compressor reads; 0 = none read.
    size_t read_prev_bytes = 0;
    // Called after the decoded picture is in place; may spoil it.
    std::function<void(const DecompressCall&, uint8_t* out)> decode_hook;
    // Called for every message, before it is answered.
    std::function<void(const DriverMessage&)> on_message;

    // --- record ---
    std::vector<DriverMessage> messages;
    std::vector<CompressCall> compresses;
    std::vector<DecompressCall> decompresses;
    std::vector<uint8_t> set_state;  // the block given with the last ICM_SETSTATE
    ICCOMPRESSFRAMES frames_info{};
    DWORD frames_info_size = 0;
    bool has_frames_info = false;
    uint32_t prev_checksum = 0;  // sum of the previous-frame bytes read

    // The source of the latest compression, what decompression hands back.
    std::vector<uint8_t> last_source;

    // Messages of one kind, in order.
    std::vector<DriverMessage> of(UINT msg) const;
    // The message kinds in order, optionally only of one mode.
    std::vector<UINT> sequence(UINT mode = 0) const;
    // Reserves room so that recording N frames allocates nothing.
    void reserve(size_t frames);
};

// Installs codec under FourCC fourcc (a later install for the same FourCC
// replaces it) and routes its messages to *codec.
void scripted_codec_install(DWORD fourcc, ScriptedCodec* codec);
// Takes the FourCC away again; opened instances answer nothing afterwards.
void scripted_codec_remove(DWORD fourcc);

// Installs codec for fourcc for the lifetime of the object.
class ScopedScriptedCodec {
public:
    ScopedScriptedCodec(DWORD fourcc, ScriptedCodec* codec) : fourcc_(fourcc) { scripted_codec_install(fourcc, codec); }
    ~ScopedScriptedCodec() { scripted_codec_remove(fourcc_); }
    ScopedScriptedCodec(const ScopedScriptedCodec&) = delete;
    ScopedScriptedCodec& operator=(const ScopedScriptedCodec&) = delete;

private:
    DWORD fourcc_;
};

}  // namespace testsupport
