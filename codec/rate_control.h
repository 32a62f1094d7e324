// Rate control of our MPEG-4 compressors: the quantiser of every frame.
// The driver codes each frame at the quantiser chosen here and reports what
// came of it. A frame counts only once it is known to be kept, because the
// caller may throw a delta away and redo its picture as a key frame; and
// deltas stay under a noise ceiling that no overspend lifts, because each
// redo costs a whole key frame. How and why, with the figures: docs/codec.md.
#pragma once

#include <cstddef>
#include <cstdint>

// One run's state: rate_* change it; the driver copies it whole to take a
// frame back.
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
    double fps;
    double ceiling;          // delta quantiser that redos have shown to be clean
    double floor;            // finest delta quantiser: one more once a delta failed at the finest
    std::uint32_t clean_run;  // deltas kept since the last redo
    double clean_q;          // coarsest quantiser of a delta kept since the last redo; 0 none
    std::uint32_t ceiling_clean;  // clean deltas coded at the ceiling since it last moved
    int ceiling_worst;            // their worst block (self_check_frame); 0 while none was measured
    int headroom;                 // worst block that leaves room for a coarser delta; 0: the caller does not check
    bool excused;                 // a rejection at this ceiling was put down to drift by the driver's measure
    std::uint32_t relax_frames;   // clean deltas at the ceiling before it is raised
    bool probing;                 // the ceiling was raised and not yet confirmed
    std::uint32_t refresh_frames; // frames between refreshing deltas
    std::uint32_t since_refresh;  // frames chosen since the last kept key frame or refreshing delta
    bool refresh;                 // the frame last chosen is a refreshing delta
    std::uint64_t kept_frames;
    std::uint64_t kept_bytes;
    std::uint32_t redos;
    // The frame last coded, not yet known to be kept.
    bool pending;
    bool pending_key;
    bool pending_refresh;
    int pending_qp;
    int pending_worst;              // its worst block, -1 when not measured
    std::uint32_t pending_bytes;
    std::uint64_t pending_picture;  // picture_hash of its source picture
    double pending_cplx_delta;      // cplx_delta before it was coded
    bool restarted;                 // a begin arrived after the pending frame
};

// Every quantiser rate_choose returns lies in [rate_qmin, rate_qmax]. The
// finest needs RD macroblock decisions: at 2 the levels of big residuals are
// clipped otherwise.
constexpr int rate_qmin = 2;
constexpr int rate_qmax = 31;

// Starts afresh: data_rate in bytes per second; fps > 0 (else the driver's
// default frame rate); control 1..100 (clamped); key_limit, the frames of a
// key period (at least 1). The ceiling starts at 5, and the caller is taken
// not to check (rate_checked is undone).
void rate_init(RateControl& rc, double data_rate, double fps, int control, std::uint32_t key_limit);

// The caller checks every delta and redoes a noisy one as a key frame; a
// block is noisy when pixel_threshold of its 64 pixels are off. From now on
// the ceiling is raised only while the measured deltas at it (rate_coded's
// worst_block) stay at or under half of pixel_threshold (rounded down, at
// least 1).
void rate_checked(RateControl& rc, int pixel_threshold);

// A begin arrived mid-stream. If the next rate_choose is for the same picture
// as the frame coded last, that frame was thrown away: it is not counted.
void rate_restart(RateControl& rc);

// Counters for tests and reports.
struct RateStats {
    std::uint64_t kept_frames;
    std::uint64_t kept_bytes;
    std::uint32_t redos;  // delta frames thrown away and coded again as key frames
    double ceiling;
};
RateStats rate_stats(const RateControl& rc);

// The quantiser for the next frame, a key frame or a delta, of the picture
// with this picture_hash. Settles the frame coded last first: counted as
// kept, or dropped when a restart came and this is the same picture again.
// Until a frame was coded or learnt (rate_learn_key) it returns 4, the
// quantiser of the first key frame's trial coding. budget (the caller's
// ICCOMPRESS dwFrameSize) is not used: the target is rate_init's data rate.
int rate_choose(RateControl& rc, bool key, std::uint64_t picture, std::uint32_t budget);

// Whether a frame coded at qp would count, once kept, for raising the
// ceiling by the caller's rule: a delta at the ceiling, with a caller that
// checks. Only those need the driver's own measure (rate_coded's worst_block).
bool rate_measures(const RateControl& rc, bool key, int qp);

// The frame just coded: its type, quantiser, size and picture_hash, and for
// a delta the most pixels visibly off in any 8x8 block of its decoded
// picture (self_check_frame; -1: not measured). It stays pending, not yet
// counted, until the next rate_choose.
void rate_coded(RateControl& rc, bool key, int qp, std::uint32_t bytes, std::uint64_t picture,
                int worst_block = -1);

// The first key frame's trial: coded at qp it took bytes. Teaches the key
// frames' complexity before the real quantiser is chosen; counts nothing.
void rate_learn_key(RateControl& rc, int qp, std::uint32_t bytes);
