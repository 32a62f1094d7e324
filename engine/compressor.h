// One codec opened for compression, with the key interval, the per-frame size
// budgets and the copy of the previous source frame that delta frames need.
#pragma once

#include <cstdint>

#include "engine/platform.h"

// Why compressor_open returned 0.
enum class CompressorFailure : int32_t {
    none = 0,
    codec_unavailable,  // no codec answers the FourCC for compression
    bad_format,         // scale 0, or a frame too large to buffer
    memory,             // the previous-frame copy or the state block can't be allocated
};

struct Compressor {
    HIC hic;                          // opened with ICMODE_COMPRESS; null when not open
    uint32_t frames_since_key;        // key_interval + 1 after a begin, 1 after a key frame
    uint8_t* previous_frame;          // owned: buffer_size bytes, the last source frame given; null for built-in drivers
    uint32_t image_size;              // biSizeImage of the input format
    uint32_t data_rate;               // bytes per second told to the codec
    BITMAPINFOHEADER output_format;   // input header with the codec's FourCC; receives each size
    BITMAPINFOHEADER input_format;    // copy of the input header
    uint32_t key_budget;              // dwFrameSize asked for key frames
    uint32_t delta_budget;            // dwFrameSize asked for delta frames
    uint32_t key_interval;            // frames from one key frame to the next requested one
    uint32_t buffer_size;             // bytes previous_frame holds (frame_buffer_bytes of the input)
    CompressorFailure failure;        // set when compressor_open returns 0
};

// Opens codec for compression from the clamped settings and the source rate.
// Returns 0 when the codec can't be opened, the scale is 0, or memory is short
// (c.failure says which; the record is otherwise left cleared).
int compressor_open(Compressor& c, const BITMAPINFOHEADER& input, DWORD codec, int32_t bit_rate,
                    int32_t key_seconds, int32_t compression_control, uint32_t scale, uint32_t rate);
// Compresses one frame into output_buffer, which must hold c.buffer_size bytes.
// Returns 0 when the codec reports an error or claims more bytes than a frame
// holds; is_key and compressed_size are then 0 and the next frame is asked
// for as a key frame.
int compressor_encode(Compressor& c, const void* source_bits, void* output_buffer, int& is_key,
                      DWORD& compressed_size);
int compressor_force_key(Compressor& c);
// Tells the codec that every delta frame it gives is checked by this rule and
// a noisy one is asked for again as a key frame: our own drivers then keep
// their deltas clear of it. Other codecs ignore the setting.
void compressor_declare_check(Compressor& c, int32_t diff_threshold, int32_t pixel_threshold);
int compressor_close(Compressor& c);

// The budgets of a codec, worked out as compressor_open does (exposed for tests).
struct CompressorBudgets {
    uint32_t key_interval;
    uint32_t delta_budget;
    uint32_t key_budget;
    uint32_t data_rate;
};
CompressorBudgets compressor_budgets(uint32_t image_size, int32_t bit_rate, int32_t key_seconds, uint32_t scale,
                                     uint32_t rate);
// Upper 32 bits of bit_rate as an IEEE 754 double, the word patched into the codec's state.
uint32_t compressor_rate_word(int32_t bit_rate);

// Bytes a buffer for one frame of this format must hold so that neither a
// codec that follows biSizeImage nor one that pads rows to 4 bytes can run
// past it, and at least 3 bytes per pixel of the picture rounded up to whole
// 16 x 16 blocks (room for a compressed frame of a tiny picture). 0 when that
// does not fit in 31 bits.
uint32_t frame_buffer_bytes(const BITMAPINFOHEADER& format);
