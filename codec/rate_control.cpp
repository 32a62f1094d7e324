#include "codec/rate_control.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codec/codecs.h"

namespace {

// Delta frames are assumed this much cheaper than key frames until one was coded.
constexpr double initial_key_to_delta = 4.0;

// Delta quantiser allowed before any redo was seen (deltas were clean at 5
// and mostly noisy at 7); it is probed upwards, at first every half second.
constexpr double initial_ceiling = 5.0;
constexpr double initial_relax_seconds = 0.5;

// Key frames and the refreshing delta are coded this much finer than the
// deltas: what they code stays in every still part of the picture until the
// next of them.
constexpr double fine_share = 0.6;

// Seconds between refreshing deltas.
constexpr double refresh_seconds = 4.0;

// The first key frame is coded at this share of the delta quantiser and the
// deltas right after it as finely as a refresh: they refine what it left for
// their residual alone, for less than one key frame at the finer share.
constexpr double first_key_share = 0.8;
constexpr std::uint64_t fine_after_first_key = 2;

// A rejected delta whose bytes × quantiser reach this share of a key frame's,
// and this many times the recent deltas', was a changed picture.
constexpr double changed_share = 0.4;
constexpr double changed_jump = 3.0;

double planned_key_share(const RateControl& rc) { return std::max(1.0 / rc.key_limit, rc.key_share); }

// Complexity of an average frame under the current key share.
double mean_complexity(const RateControl& rc) {
    const double share = planned_key_share(rc);
    return share * rc.cplx_key + (1.0 - share) * rc.cplx_delta;
}

double debt_bound(const RateControl& rc) { return rc.frame_bytes * rc.horizon; }

// A delta at this quantiser is at the ceiling: it counts for raising it.
bool at_ceiling(const RateControl& rc, int qp) { return qp >= static_cast<int>(rc.ceiling); }

// A delta coded at rejected_qp was redone. The ceiling goes just under it
// when a delta that coarse was kept since the last redo, else a quarter
// lower (a few redos learn a clip, not one per step). It stays for drift: a
// failure after 3q clean deltas at about q, which a step finer would not cure
// (its redo costs about three deltas, a step finer 1/q of every delta); and,
// once per ceiling, for a rejection at the ceiling that the driver's own
// measure found no nearer to the rule than the deltas kept there (the caller
// judges the picture in RGB, which shows what the coded luminance does not).
// A failure at the floor is the codec clipping big levels there: deltas stay
// at 3 or coarser from then on.
void lower_ceiling(RateControl& rc, int rejected_qp) {
    // A probe that fails is no drift, however long the run before it, nor is
    // a failure at the finest quantiser: that is clipping, not drift.
    const bool failed_probe = rc.probing && rejected_qp >= rc.ceiling;
    const bool drift = !failed_probe && rejected_qp > rc.floor && rc.clean_run >= 3u * static_cast<unsigned>(rejected_qp) &&
                       rc.clean_q >= rejected_qp - 1;
    const bool unforeseen = !failed_probe && !rc.excused && rejected_qp > rc.floor && at_ceiling(rc, rejected_qp) &&
                            rc.clean_run >= 3 && rc.pending_worst >= 0 && rc.ceiling_worst > 0 &&
                            rc.pending_worst <= rc.ceiling_worst;
    rc.clean_run = 0;
    if (drift) return;
    if (unforeseen) {
        rc.excused = true;
        return;
    }
    rc.excused = false;
    rc.relax_frames = std::max(rc.relax_frames, static_cast<std::uint32_t>(2 * rc.fps));
    if (rejected_qp <= rc.floor) rc.floor = std::min<double>(rate_qmin + 1, rate_qmax);
    double below = rejected_qp - 1.0;
    if (rc.clean_q < below) below = std::max(rc.clean_q, std::round(rejected_qp * 0.75));
    below = std::max(rc.floor, below);
    if (rc.probing) rc.relax_frames = std::min<std::uint32_t>(rc.relax_frames * 2, static_cast<std::uint32_t>(60 * rc.fps));
    rc.probing = false;
    rc.ceiling = std::max(rc.floor, std::min(rc.ceiling, below));
    rc.ceiling_clean = 0;
    rc.ceiling_worst = 0;
    rc.clean_q = 0;
}

// Whether the deltas at the ceiling leave room for a coarser one: with a
// caller that checks, none of them came nearer than halfway to its rule.
bool room_above_ceiling(const RateControl& rc) { return rc.headroom <= 0 || rc.ceiling_worst <= rc.headroom; }

// A delta at the ceiling was kept; enough of them and the ceiling is probed
// one higher, when they leave room for it.
void clean_at_ceiling(RateControl& rc) {
    if (rc.ceiling >= rate_qmax) return;
    if (++rc.ceiling_clean < rc.relax_frames) return;
    if (!room_above_ceiling(rc)) {  // looked at again after another stretch
        rc.ceiling_clean = 0;
        rc.ceiling_worst = 0;
        return;
    }
    if (rc.probing)  // the last probe held: probe sooner next time
        rc.relax_frames = std::max<std::uint32_t>(rc.relax_frames / 2, rc.redos ? static_cast<std::uint32_t>(2 * rc.fps) : 2u);
    rc.ceiling = std::min<double>(rate_qmax, rc.ceiling + 1.0);
    rc.ceiling_clean = 0;
    rc.ceiling_worst = 0;
    rc.probing = true;
    rc.excused = false;
}

// Counts the pending frame, or drops it when it was thrown away and redone.
void settle(RateControl& rc, std::uint64_t picture) {
    if (!rc.pending) {
        rc.restarted = false;
        return;
    }
    const bool redone = rc.restarted && picture == rc.pending_picture;
    if (redone) {
        rc.redos += 1;
        // A delta about as costly as a key frame was thrown away for its
        // size (a scene change), not its noise: the quantiser was not at
        // fault, and the picture it coded says nothing of later deltas.
        const double cplx = static_cast<double>(rc.pending_bytes) * rc.pending_qp;
        const bool changed = !rc.pending_key && rc.pending_cplx_delta > 0 &&
                             cplx >= changed_share * rc.cplx_key && cplx >= changed_jump * rc.pending_cplx_delta;
        if (changed)
            rc.cplx_delta = rc.pending_cplx_delta;
        // A refreshing delta was finer than the ceiling: its failure says
        // nothing of the ceiling.
        else if (!rc.pending_key && !rc.pending_refresh)
            lower_ceiling(rc, rc.pending_qp);
    } else {
        // Each kept frame is measured against its planned share of the bit
        // rate, so the big key frames the plan expects are no debt of their own.
        const double mean = mean_complexity(rc);
        const double cplx = rc.pending_key ? rc.cplx_key : rc.cplx_delta;
        const double target = mean > 0 ? rc.frame_bytes * cplx / mean : rc.frame_bytes;
        rc.deviation += static_cast<double>(rc.pending_bytes) - target;
        // Debts older than the horizon are forgotten rather than repaid at once.
        rc.deviation = std::clamp(rc.deviation, -debt_bound(rc), debt_bound(rc));
        rc.kept_frames += 1;
        rc.kept_bytes += rc.pending_bytes;
        const double a = 1.0 / rc.horizon;
        rc.key_share = (1.0 - a) * rc.key_share + a * (rc.pending_key ? 1.0 : 0.0);
        if (rc.pending_key || rc.pending_refresh) rc.since_refresh = 0;
        if (!rc.pending_key) {
            rc.clean_q = std::max(rc.clean_q, static_cast<double>(rc.pending_qp));
            rc.clean_run += 1;
            if (at_ceiling(rc, rc.pending_qp)) {
                rc.ceiling_worst = std::max(rc.ceiling_worst, rc.pending_worst);
                clean_at_ceiling(rc);
            }
        }
    }
    rc.pending = false;
    rc.restarted = false;
}

}  // namespace

void rate_init(RateControl& rc, double data_rate, double fps, int control, std::uint32_t key_limit) {
    rc = RateControl{};
    if (!(fps > 0)) fps = static_cast<double>(codec_default_rate) / codec_default_scale;
    control = std::clamp(control, 1, 100);
    rc.fps = fps;
    rc.frame_bytes = std::max(1.0, data_rate / fps);
    const double c = control / 100.0;
    rc.horizon = std::max(1.0, fps * (16.0 - 15.0 * c));
    rc.max_step = 0.25 + 1.75 * c;
    rc.key_limit = std::max<std::uint32_t>(1, key_limit);
    rc.key_share = 1.0 / rc.key_limit;
    rc.ceiling = initial_ceiling;
    rc.floor = rate_qmin;
    // Until a redo is seen the ceiling is only a guess, and a caller that
    // never redoes must not be held under it: it rises every half second.
    rc.relax_frames = static_cast<std::uint32_t>(std::max(2.0, initial_relax_seconds * fps));
    rc.refresh_frames = static_cast<std::uint32_t>(std::max(2.0, std::round(refresh_seconds * fps)));
}

void rate_checked(RateControl& rc, int pixel_threshold) { rc.headroom = std::max(1, pixel_threshold / 2); }

bool rate_measures(const RateControl& rc, bool key, int qp) {
    return !key && rc.headroom > 0 && rc.ceiling < rate_qmax && at_ceiling(rc, qp);
}

void rate_restart(RateControl& rc) { rc.restarted = true; }

int rate_choose(RateControl& rc, bool key, std::uint64_t picture, std::uint32_t budget) {
    settle(rc, picture);
    if (rc.cplx_key <= 0 && rc.cplx_delta <= 0) {
        // Nothing coded yet: the driver codes the first key frame once at a
        // middle quantiser to learn the picture (rate_learn_key), then again.
        // The budget is not used, here or below: the target is the data rate.
        (void)budget;
        return 4;
    }
    if (rc.cplx_delta <= 0) rc.cplx_delta = rc.cplx_key / initial_key_to_delta;
    if (rc.cplx_key <= 0) rc.cplx_key = rc.cplx_delta * initial_key_to_delta;

    const double avail =
        std::clamp(rc.frame_bytes - rc.deviation / rc.horizon, 0.25 * rc.frame_bytes, 4.0 * rc.frame_bytes);
    double want = mean_complexity(rc) / avail;
    want = std::clamp(want, static_cast<double>(rate_qmin), static_cast<double>(rate_qmax));
    if (rc.q <= 0)
        rc.q = want;  // the first decision is free
    else if (!key)
        rc.q = std::clamp(want, rc.q - rc.max_step, rc.q + rc.max_step);
    // The noise ceiling always holds: a delta over it comes back as a key
    // frame, about four deltas' worth of bytes.
    rc.q = std::clamp(rc.q, rc.floor, rc.ceiling);
    // A key frame, a redo's too, is coded finer than the deltas: it is the
    // reference of every delta after it. Every four seconds, and right after
    // the first key frame, a delta is coded as fine, no finer than deltas stay
    // clean: the still parts the coarse deltas leave as they were, and what
    // moving things uncovered, come back sharp for a fraction of a key frame.
    rc.refresh = !key && (++rc.since_refresh >= rc.refresh_frames || rc.kept_frames <= fine_after_first_key);
    const double key_share = rc.kept_frames == 0 ? first_key_share : fine_share;
    const double q = key ? std::max<double>(rate_qmin, key_share * rc.q)
                         : rc.refresh ? std::max(rc.floor, fine_share * rc.q) : rc.q;
    return std::clamp(static_cast<int>(std::lround(q)), rate_qmin, rate_qmax);
}

void rate_learn_key(RateControl& rc, int qp, std::uint32_t bytes) {
    const double c = static_cast<double>(bytes) * qp;
    rc.cplx_key = rc.cplx_key > 0 ? 0.5 * rc.cplx_key + 0.5 * c : c;
}

void rate_coded(RateControl& rc, bool key, int qp, std::uint32_t bytes, std::uint64_t picture, int worst_block) {
    const double c = static_cast<double>(bytes) * qp;
    rc.pending_cplx_delta = rc.cplx_delta;
    if (key)
        rc.cplx_key = rc.cplx_key > 0 ? 0.5 * rc.cplx_key + 0.5 * c : c;
    else
        rc.cplx_delta = rc.cplx_delta > 0 ? 0.7 * rc.cplx_delta + 0.3 * c : c;
    rc.pending = true;
    rc.pending_key = key;
    rc.pending_refresh = !key && rc.refresh;
    rc.pending_qp = qp;
    rc.pending_worst = worst_block;
    rc.pending_bytes = bytes;
    rc.pending_picture = picture;
    rc.restarted = false;
}

RateStats rate_stats(const RateControl& rc) { return {rc.kept_frames, rc.kept_bytes, rc.redos, rc.ceiling}; }
