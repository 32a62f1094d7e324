// The verification decoder: a second instance of the codec that decodes what
// the run writes, so that each delta frame is compared with what a player of
// the file will show.
#pragma once

#include <cstdint>

#include "engine/platform.h"

// Why verifier_open returned 0.
enum class VerifierFailure : int32_t {
    none = 0,
    decoder_unavailable,  // the codec can't be opened or begun for decompression
    memory,               // the picture buffer can't be allocated
};

struct Verifier {
    HIC decoder;                        // ICMODE_DECOMPRESS; null when not open
    const BITMAPINFOHEADER* input;      // borrowed: the compressed format
    const BITMAPINFOHEADER* output;     // borrowed: the uncompressed format
    BITMAPINFOHEADER* frame_input;      // owned copy of input whose biSizeImage is each frame's size
    uint8_t* picture;                   // owned: buffer_size bytes, the latest decoding
    uint32_t buffer_size;
    VerifierFailure failure;            // set when verifier_open returns 0
};

// Opens codec for decompression from input (compressed) to output and begins
// it once; buffer_size must cover a decoded frame (see frame_buffer_bytes).
// Both formats must outlive the verifier. 0 leaves nothing open.
int verifier_open(Verifier& v, DWORD codec, const BITMAPINFOHEADER& input, const BITMAPINFOHEADER& output,
                  uint32_t buffer_size);
// Decodes a delta frame of size bytes into picture, on top of what the
// decoder holds. The result is not examined: a failed decode leaves the
// previous picture.
void verifier_decode(Verifier& v, const void* compressed, DWORD size, const BITMAPINFOHEADER& frame_format);
// Starts the decoder afresh on a key frame of size bytes that is written, so
// that it holds exactly what a player holds from then on.
void verifier_restart(Verifier& v, const void* compressed, DWORD size, const BITMAPINFOHEADER& frame_format);
// Safe after a failed open and twice.
void verifier_close(Verifier& v);
