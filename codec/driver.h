// Inside of the codec driver over libavcodec: what a driver handle points at,
// and the parts the dispatch (driver.cpp) calls. Not part of the API, and
// not exported from the library.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavutil/buffer.h>
}

#include "codec/codecs.h"
#include "codec/display_order.h"
#include "codec/self_check.h"
#include "codec/check_setting.h"
#include "codec/dib.h"
#include "codec/motion_search.h"
#include "codec/mpg4_rewrite.h"
#include "codec/rate_control.h"
#include "codec/v2_encoder.h"
#include "common/pixels.h"

#pragma GCC visibility push(hidden)

// The IDCT of every coder the driver opens, the encoder's own reconstruction
// and its own check included: libavcodec's plain integer one, whose results
// every other decoder gives too (a 32-bit x86 build left to choose takes one
// that differs by one here and there; docs/codec.md, "The IDCT").
constexpr int codec_idct = FF_IDCT_SIMPLE;

// What ICM_GETSTATE hands out and ICM_SETSTATE takes (state.cpp, state_block.h).
struct CodecState {
    double kbps = 3000.0;
    std::int32_t control = 75;
    std::int32_t key_seconds = 8;
};

// What coding one frame changes in the driver's own state, kept from before
// the last frame so that a frame the caller threw away unseen can be taken back.
struct CodecEncoderMark {
    RateControl rc;
    std::uint32_t since_key;
    std::int64_t next_pts;
    int next_frame;
    std::uint32_t v1_frame_number;  // MPG4's rewriter numbers the pictures it writes
    int v1_v2_slice_rows;
    bool valid;
};

// Our own version 2 coder in place of libavcodec's (MP42 only, chosen by
// tests until it holds its bars): the motion search, the picture coder, and
// the coded frame with the zero padding the driver's own decoding reads past.
struct CodecOwnEncoder {
    bool on = false;
    V2Encoder coder;
    MotionSearch search;
    std::vector<CodecMv> vectors;
    std::vector<std::uint32_t> costs;
    std::uint8_t* data = nullptr;
    std::size_t capacity = 0;  // of data, padding not counted
    // The caller's picture of the frame being coded, converted into the
    // coder's source band by band on the coder's threads as the first coding
    // of the frame runs (convert), then coded again from there if need be.
    PixelsRows frame{};
    bool convert = false;
};

struct CodecEncoder {
    AVCodecContext* ctx = nullptr;  // libavcodec's coder; null with our own
    CodecOwnEncoder own;
    bool open = false;              // either coder open for pictures of in's size
    PixelsToYuv convert;
    AVFrame* frames[2] = {nullptr, nullptr};  // alternate: the codec keeps the last one referenced
    AVPacket* pkt = nullptr;
    Mpg4Rewriter v1;                      // MPG4 only
    std::uint8_t* v1_data = nullptr;      // the rewritten frame
    std::size_t v1_capacity = 0;
    const std::uint8_t* coded = nullptr;  // the frame last coded: the packet or its rewrite
    int next_frame = 0;
    DibLayout in{};
    std::int64_t next_pts = 0;
    bool begun = false;
    bool force_key = true;
    std::uint32_t since_key = 0;
    std::uint32_t key_limit = 1;
    RateControl rc{};
    CodecSelfCheck check;       // decodes what was coded, for the rate control's noise ceiling
    bool restarted = false;  // a begin mid-stream, not yet followed by a frame
    CodecEncoderMark before_last{};  // the state before the last frame was coded
};

struct CodecDecoder {
    AVCodecContext* ctx = nullptr;
    AVCodecID id = AV_CODEC_ID_NONE;
    PixelsToBgr convert;
    AVFrame* picture = nullptr;  // the last decoded picture
    AVFrame* scratch = nullptr;
    AVPacket* pkt = nullptr;
    std::uint8_t* data = nullptr;  // padded copy of the compressed frame
    std::size_t data_capacity = 0;
    bool begun = false;
    bool have_picture = false;
    int width = 0, height = 0;
    std::uint32_t palette[256] = {};
    bool palette_pending = false;
    // Display order (codec/display_order.h): the pictures come out as the
    // codec reorders them, numbered, and wait here until taken.
    bool ordered = false;
    AVBSFContext* unpack = nullptr;   // MPEG-4: packed B-frames taken apart
    AVBufferPool* packets = nullptr;  // room for each frame handed over, kept by reference
    std::size_t packet_room = 0;
    static constexpr int held_max = 16;
    AVFrame* held[held_max] = {};
    LONG held_number[held_max] = {};
    int held_first = 0, held_count = 0;
    bool numbering = false;  // a frame has been fed since the begin
    LONG last_number = -1;   // of the newest picture numbered
};

struct CodecDriver {
    DWORD fcc = 0;
    const CodecRow* codec = nullptr;  // none: a decoder found in the tag table
    UINT mode = 0;
    CodecState state{};
    bool state_set = false;
    DWORD rate = 0, scale = 0;  // from ICM_COMPRESS_FRAMES_INFO
    LONG key_rate = 0;
    LONG data_rate = 0;
    std::uint32_t checked_rule = 0;  // the caller's block-noise rule (check_setting.h); 0: it does not check
    CodecEncoder enc;
    CodecDecoder dec;
};

// Whether frames may be converted in place: always, but in test builds,
// which compare both ways (codec_testing.h).
#ifdef TWOPASS_TEST_HOOKS
extern bool codec_direct_conversion;
#else
constexpr bool codec_direct_conversion = true;
#endif

// Whether MP42 is coded by our own coder (CodecOwnEncoder) or libavcodec's:
// the build's choice (TWOPASS_MP42_ENCODER in CMake), which test builds can
// change (codec_testing.h) and set back to codec_default_own_encoder.
#ifndef TWOPASS_MP42_OWN_ENCODER
#error "TWOPASS_MP42_OWN_ENCODER (0 or 1) comes from CMake's TWOPASS_MP42_ENCODER"
#endif
constexpr bool codec_default_own_encoder = TWOPASS_MP42_OWN_ENCODER != 0;
#ifdef TWOPASS_TEST_HOOKS
extern bool codec_own_encoder;
#else
constexpr bool codec_own_encoder = codec_default_own_encoder;
#endif
// Threads of our own coder for one picture: both cores; tests may ask for
// another count (codec_testing.h), the bytes being the same for any.
#ifdef TWOPASS_TEST_HOOKS
extern int codec_encoder_threads;
#else
constexpr int codec_encoder_threads = 2;
#endif
// A quantiser every frame is coded at, for the benches (codec_testing.h);
// 0: the rate control's.
#ifdef TWOPASS_TEST_HOOKS
extern int codec_fixed_quantiser;
#else
constexpr int codec_fixed_quantiser = 0;
#endif

// encoder.cpp. Frames to compress are 24-bit DIBs (dib_layout_frame24).
void codec_encoder_free(CodecEncoder& e);
// ICM_COMPRESS_BEGIN; out, when given, must be of in's size. A begin
// mid-stream at the same size restarts at a key frame from a fresh coder.
LRESULT codec_compress_begin(CodecDriver& d, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
// ICM_COMPRESS: one frame into ic->lpOutput, which holds at least the larger
// of the input's biSizeImage and dib_compressed_capacity. ICERR_BADSIZE when
// it does not fit even at the coarsest quantiser, ICERR_INTERNAL when the
// codec fails; the next frame is then a key frame.
LRESULT codec_compress(CodecDriver& d, ICCOMPRESS* ic);
// ICM_SET with icm_set_checked: the caller checks every delta by this rule
// (check_setting.h); kept for later begins. ICERR_BADPARAM for a rule with a
// difference or pixel count of 0.
LRESULT codec_compress_checked(CodecDriver& d, std::uint32_t rule);
LRESULT codec_compress_get_format(const CodecDriver& d, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out);

// decoder.cpp. Frames come out as 24-bit DIBs of the compressed frame's size.
void codec_decoder_free(CodecDecoder& k);
// ICM_DECOMPRESS_QUERY: whether in has a decoder and out (when given) is a
// 24-bit DIB of its size, whose layout goes into lo.
LRESULT codec_decompress_check(const CodecDriver& d, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
                               DibLayout& lo);
LRESULT codec_decompress_begin(CodecDriver& d, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
// ICM_DECOMPRESS: an empty frame repeats the last picture; ICERR_DONTDRAW
// while there is no picture yet.
LRESULT codec_decompress(CodecDriver& d, const ICDECOMPRESS* ic);
LRESULT codec_decompress_get_format(const CodecDriver& d, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out);
// ICM_SET with icm_set_display_order, and icm_decompress_ordered.
LRESULT codec_decompress_in_display_order(CodecDriver& d);
LRESULT codec_decompress_ordered(CodecDriver& d, IcmOrderedDecode* o);

// state.cpp: the block of state_block.h. get hands out state_block_size
// bytes (its size when buf is null); set takes at least state_block_min_size,
// or restores the defaults when buf is null.
LRESULT codec_get_state(const CodecDriver& d, std::uint8_t* buf, std::size_t n);
LRESULT codec_set_state(CodecDriver& d, const std::uint8_t* buf, std::size_t n);

#pragma GCC visibility pop
