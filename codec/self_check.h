// The encoder's look at its own frames: once the caller has said that it
// checks them (self_check_rule), every coded frame is decoded again here, and
// the worst 8x8 luma block of a delta against the picture that was coded is
// measured. The rate control raises its noise ceiling only while the deltas
// at it stay well clear of block noise: learning that the ceiling is too high
// from a delta the caller rejects costs a whole key frame.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

struct CodecSelfCheck {
    AVCodecContext* ctx = nullptr;
    AVFrame* picture = nullptr;
    std::uint8_t* off = nullptr;  // per column of a block row: pixels off so far
    int off_level = 0;     // video-range luma difference (1..255) that makes a pixel count; 0: nothing is measured
    bool in_step = false;  // has decoded every frame since the last key frame
};

// Opens a decoder for pictures of width x height coded by codec, with the
// driver's IDCT. false when there is no such decoder or no memory: s then
// measures nothing. The rule is not set (self_check_rule).
bool self_check_open(CodecSelfCheck& s, AVCodecID codec, int width, int height);
void self_check_close(CodecSelfCheck& s);

// The coder restarted: nothing is known until the next key frame.
void self_check_restart(CodecSelfCheck& s);

// Measures from now on by the caller's rule: a pixel counts when its
// luminance (0..255) differs by diff_threshold or more, that is its Y' by
// diff_threshold * 219 / 255 (rounded, 1..255).
void self_check_rule(CodecSelfCheck& s, int diff_threshold);

// Decodes the frame just coded (libavcodec's own packet), which keeps the
// decoder in step, and when measure is set for a delta frame returns the most
// pixels off by off_level or more in any whole 8x8 luma block of source
// (0..64). -1 for a key frame, when not measured, without a rule or a
// decoder, before the first key frame after a restart, and when decoding
// fails (which restarts s).
int self_check_frame(CodecSelfCheck& s, const AVPacket* pkt, bool key, bool measure, const AVFrame* source);
