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
//
// The ceiling starts at 5; until the first redo it rises every half second
// of clean deltas at it, so that a caller that never redoes soon leaves it.
// A caller that checks says so, with its rule (rate_checked): the driver then
// decodes each delta itself and raises the ceiling only while the deltas at
// it stay within half of that rule (at most 14 of 64 pixels off where 28 make
// a block noisy). Deltas nearer to it failed a step coarser within a second
// on camera and synthetic pictures alike, and each failure costs a key frame
// that the finer deltas would have paid for many times over. A probe that
// fails lowers it however long the run before it. A thrown-away delta about
// as costly as a key frame was refused for its size (a scene change), not for
// noise: the ceiling stays.
//
// Clean deltas: whether a delta frame shows block noise depends sharply on
// its quantiser (on synthetic test pictures every delta was clean at 5 and
// nearly every one noisy at 7). A redo tells us the quantiser of the
// thrown-away delta was too coarse for the picture, and it costs a whole key
// frame (about four deltas), so the delta quantiser is held below a ceiling
// that no overspend lifts: a finer delta is always the cheaper answer. Each
// redo lowers the ceiling to one under the rejected quantiser when a delta
// that coarse was kept since the last redo, else by a quarter. After a
// stretch of clean deltas at the ceiling it is raised by one to probe; a probe
// that fails doubles the stretch. A delta that fails after a long clean run
// (3 × its quantiser) is slow drift, not a coarse quantiser: its redo
// refreshes the picture and the ceiling stays. Where the bit rate is below what the
// picture needs to stay clean, the file grows past the target by what the
// ceiling costs, and no more. The finest quantiser, 2, gets noisy deltas of
// its own (the codec clips big levels there), however long the clean run
// before: once that happens, deltas stay at 3 or coarser.
//
// Compression control (1..100) sets how freely the quantiser follows the rate:
//   1   crisp  - the quantiser holds steady (at most 0.25 per frame) and debts
//                are repaid over about 16 seconds;
//   100 smooth - the quantiser may move 2 per frame and debts are repaid
//                within about a second.
// In between, linearly (the default 75: 1.6 per frame, 4.75 s). It never
// lets a delta over the ceiling.
// Key frames, a redo's too, are coded finer than the deltas (0.6 times their
// quantiser, down to 2): a key frame is the reference of every delta frame
// after it, and what it codes stays in every still part of the picture. For
// the same reason one delta every four seconds is coded as finely, no finer
// than deltas stay clean: it brings back the still parts that coarse deltas
// leave as they were and what moving things uncovered, for a fraction of a
// key frame. Its failure says nothing of the ceiling. The first key frame is
// coded at 0.8 times the delta quantiser and the two deltas after it as
// finely as a refresh: they refine it for their residual alone. Refreshing
// once a second cost a tenth of the file where the deltas already sat at the
// ceiling, where no debt can be repaid; every four seconds, with the first
// key frame refined, a still camera clip came out 0.2 dB under the one-pass
// encoder of libavcodec at the same size, and within 5 % of the rate where
// that encoder's deltas were clean.
#pragma once

#include <cstddef>
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

constexpr int rate_qmin = 2;  // needs RD macroblock decisions: at 2 the levels of big residuals are clipped otherwise
constexpr int rate_qmax = 31;

// data_rate in bytes per second, fps > 0, control 1..100, key_limit >= 1 frames.
void rate_init(RateControl& rc, double data_rate, double fps, int control, std::uint32_t key_limit);

// The caller checks every delta and redoes a noisy one as a key frame: a
// block is noisy when pixel_threshold of its 64 pixels are off. The ceiling
// is then raised only while the deltas at it leave room (rate_coded's worst
// block at most half of that).
void rate_checked(RateControl& rc, int pixel_threshold);

// A begin arrived mid-stream. If the next frame is the same picture as the
// pending one, the pending frame was thrown away.
void rate_restart(RateControl& rc);

// Counters for tests and reports.
struct RateStats {
    std::uint64_t kept_frames;
    std::uint64_t kept_bytes;
    std::uint32_t redos;  // delta frames thrown away and coded again as key frames
    double ceiling;
};
RateStats rate_stats(const RateControl& rc);

// Quantiser for the next frame; settles the pending frame first (kept, or
// dropped when this is a redo of the same picture after a restart).
// budget: the caller's byte budget for this frame, used while nothing has
// been coded yet to make the first guess.
int rate_choose(RateControl& rc, bool key, std::uint64_t picture, std::uint32_t budget);

// Whether a frame coded at qp would count, once kept, for raising the
// ceiling by the caller's rule: a delta at the ceiling, with a caller that
// checks. Only those need the driver's own measure (rate_coded's worst block).
bool rate_measures(const RateControl& rc, bool key, int qp);

// The frame just coded: its type, quantiser and size, and for a delta the
// most pixels visibly off in any 8x8 block of its decoded picture (-1: not measured).
void rate_coded(RateControl& rc, bool key, int qp, std::uint32_t bytes, std::uint64_t picture,
                int worst_block = -1);

// A frame whose size is known before its quantiser is decided (the first key
// frame is coded twice: a trial to learn the picture's complexity, then for real).
void rate_learn_key(RateControl& rc, int qp, std::uint32_t bytes);
