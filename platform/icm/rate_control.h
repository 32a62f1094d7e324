// Rate control of the built-in MPEG-4 compressors. The driver picks every
// frame's quantiser itself and codes at that fixed quantiser, because the
// caller may throw a compressed delta frame away and ask for the same picture
// again as a key frame: only frames that were kept are counted, and the
// quantiser of delta frames moves slowly so that one extra key frame does not
// make every later delta frame coarser (coarse deltas are what get rejected).
//
// Model: a frame coded at quantiser q takes about complexity / q bytes. The
// complexities of key and delta frames are tracked separately from what was
// coded; the delta quantiser aims at the bytes per frame of the bit rate,
// corrected by the accumulated over- or under-spend spread over a horizon.
// Compression control (1..100) sets how freely the quantiser may follow:
//   1   crisp  - the quantiser holds steady (at most 0.25 per frame), debts are
//                repaid over about 16 seconds;
//   100 smooth - the quantiser may move 2 per frame and debts are repaid within
//                about a second, so the bit rate is held tightly.
// Key frames are coded at the delta quantiser, never coarser: a key frame is
// the reference of every delta frame after it.
#pragma once

#include <cstdint>

struct RateControl {
    double frame_bytes;      // bytes per frame at the target bit rate
    double horizon;          // frames over which the spend deviation is repaid
    double max_step;         // largest change of the delta quantiser between frames
    double q;                // current delta quantiser (fractional)
    double cplx_delta;       // bytes * quantiser of delta frames; 0 while unknown
    double cplx_key;         // the same for key frames
    double key_share;        // running share of key frames among kept frames
    double deviation;        // kept bytes minus target bytes over the kept frames
    std::uint32_t key_limit; // frames per key period, for the planned key share
    std::uint64_t kept_frames;
    std::uint64_t kept_bytes;
    // The frame last coded, not yet known to be kept.
    bool pending;
    bool pending_key;
    std::uint32_t pending_bytes;
    std::uint64_t pending_picture;  // fingerprint of its source picture
    bool restarted;                 // a begin arrived after the pending frame
};

constexpr int rate_qmin = 2;
constexpr int rate_qmax = 31;

// data_rate in bytes per second, fps > 0, control 1..100, key_limit >= 1 frames.
void rate_init(RateControl& rc, double data_rate, double fps, int control, std::uint32_t key_limit);

// A begin arrived mid-stream. If the next frame is the same picture as the
// pending one, the pending frame was thrown away.
void rate_restart(RateControl& rc);

// Quantiser for the next frame; settles the pending frame first (kept, or
// dropped when this is a redo of the same picture after a restart).
// budget: the caller's byte budget for this frame, used while nothing has
// been coded yet to make the first guess.
int rate_choose(RateControl& rc, bool key, std::uint64_t picture, std::uint32_t budget);

// The frame just coded: its type, quantiser and size.
void rate_coded(RateControl& rc, bool key, int qp, std::uint32_t bytes, std::uint64_t picture);

// A frame whose size is known before its quantiser is decided (the first key
// frame is coded twice: a trial to learn the picture's complexity, then for real).
void rate_learn_key(RateControl& rc, int qp, std::uint32_t bytes);
