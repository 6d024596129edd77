/*
 * alarm_filter.h - floating-wadding alarm filter shared by the motion
 * libraries (header only, no exported symbols, no library dependency).
 *
 * The filter tracks boxes from call to call: a box must be matched in
 * consecutive calls before it is remembered in the history, and it raises an
 * alarm only when it keeps landing near history entries of recent calls.
 *
 * Usage (one instantiation per detector):
 *
 *   #include "alarm_filter.h"
 *
 *   ozi_alarm::alarm_track<my_box> t = {h->prev_boxes, &h->prev_count,
 *                                       h->history, h->history_hits,
 *                                       &h->history_count};
 *   ozi_alarm::alarm_params p = {h->fw_confirm_frames, h->fw_alarm_hits,
 *                                h->fw_history_frames};
 *   int n = ozi_alarm::alarm_filter<MAX_BOXES, MAX_HISTORY>(
 *       boxes, count, t, p,
 *       [h](const my_box &b) { return my_is_valid(h, b) != 0; },   // validity
 *       [h](const my_box &b) { return my_speed(h, b); });          // speed s
 *
 * `my_box` is any record with int32_t fields left, top, right, bottom, tag.
 * `boxes` is the caller's list of MAX_BOXES slots holding `count` boxes whose
 * `tag` is the incoming track count (the detector sets it before the call).
 * `prev_boxes` has MAX_BOXES slots, `history`/`history_hits` MAX_HISTORY.
 * On return `boxes` holds the alarm boxes in front (input order, `tag` = track
 * count) and zeros after them; the result is their number.
 *
 * Soundness choices: squared distances and their limits are computed in 64
 * bits (no signed overflow for any speed setting); an append that would
 * overflow the history drops the new entry; out-of-range counts in the
 * tracking state are clamped before use; a hit counter saturates.
 *
 * Speed: the alarm decision compares every box with every history entry
 * (up to 20 x 160).  When all centre sums, ages and speeds of a call are
 * small enough for 32-bit arithmetic to be exact, which they are for any
 * grid-sized box and sane parameters, it runs as a branch-free scan over
 * 32-bit columns of the history; otherwise in 64 bits.  Both give the same
 * hits, alarms and state.
 */
#ifndef OZI_ALARM_FILTER_H
#define OZI_ALARM_FILTER_H

#include <stdint.h>

#pragma GCC visibility push(hidden)

/* On x86-64 the history scan gets an AVX2 clone (eight lanes and a native
 * 32-bit multiply) chosen when the library is loaded.  ifunc resolvers run
 * before a sanitizer runtime is up, so clones are for plain builds only. */
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define OZI_ALARM_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define OZI_ALARM_CLONES
#endif
namespace ozi_alarm {

/* Filter parameters, copied from the detector's handle for one call. */
struct alarm_params {
    int32_t confirm_frames; /* matched calls before a box enters the history */
    int32_t alarm_hits;     /* hits an entry must exceed to raise an alarm */
    int32_t history_frames; /* life of a history entry, in calls */
};

/* Pointers to the tracking state fields of the detector's handle. */
template <typename Box>
struct alarm_track {
    Box *prev_boxes;        /* MaxBoxes slots: valid boxes of the last call */
    int32_t *prev_count;    /* valid entries of prev_boxes */
    Box *history;           /* MaxHistory slots; tag = remaining life */
    int32_t *history_hits;  /* MaxHistory hit counters */
    int32_t *history_count; /* live entries of history */
};

inline int32_t alarm_wrap_add(int32_t v, int32_t d)
{
    return (int32_t)((uint32_t)v + (uint32_t)d);
}

inline int32_t alarm_clamp(int32_t v, int32_t hi)
{
    return v < 0 ? 0 : (v > hi ? hi : v);
}

/* Squared distance of the doubled centres of two boxes. */
template <typename Box>
inline int64_t alarm_dist2(const Box &p, const Box &q)
{
    int64_t dx = ((int64_t)p.left + p.right) - ((int64_t)q.left + q.right);
    int64_t dy = ((int64_t)p.top + p.bottom) - ((int64_t)q.top + q.bottom);
    return dx * dx + dy * dy;
}

/* Vector width the history columns are padded to, so that the scan has no
 * remainder loop (eight 32-bit lanes fill an AVX2 register). */
constexpr int alarm_lanes = 8;

/* Centre sums strictly inside +-2^14 give |dx|, |dy| < 2^15, so
 * dx^2 + dy^2 < 2^31; ages inside +-2^15 and limits 4s inside +-2^16 give
 * |age * 4s| < 2^31.  Within these bounds the 32-bit arithmetic of the
 * scans equals the 64-bit definition exactly. */
constexpr int64_t alarm_sum_bound = int64_t(1) << 14;
constexpr int64_t alarm_age_bound = int64_t(1) << 15;
constexpr int64_t alarm_lim_bound = int64_t(1) << 16;

inline bool alarm_inside(int64_t v, int64_t bound)
{
    return v > -bound && v < bound;
}

/* Step 5 in 32-bit arithmetic.  The caller has checked that the boxes'
 * centre sums and limits 4s are inside the bounds above; the history is
 * copied into 32-bit columns, and if an entry's sums or age are outside the
 * bounds the function returns false before it has changed anything.
 * Otherwise each box scans the columns without branches (the compiler
 * turns the scan into vector operations), and the hits and the alarm list
 * (count in *n) come out exactly as in alarm_decide_wide: an entry in range
 * gets its hit whether or not the box was already taken, and a box is taken
 * once, when any entry it hits has more than alarm_hits after the hit. */
template <int MaxHistory, typename Box>
OZI_ALARM_CLONES inline bool alarm_decide_narrow(Box *boxes, int v, const int32_t *bx,
                                             const int32_t *by, const int64_t *s4, int hc,
                                             const alarm_track<Box> &t, const alarm_params &p,
                                             int *n)
{
    /* Columns are padded to whole blocks of alarm_lanes entries. */
    constexpr int cap = (MaxHistory + alarm_lanes - 1) / alarm_lanes * alarm_lanes;
    int32_t hx[cap], hy[cap], age[cap], lim[cap], hits[cap];
    const int m = (hc + alarm_lanes - 1) / alarm_lanes * alarm_lanes;
    bool fits = true;
    for (int k = 0; k < hc; k++) {
        const Box &e = t.history[k];
        const int64_t x = (int64_t)e.left + e.right, y = (int64_t)e.top + e.bottom;
        const int64_t a = (int64_t)p.history_frames - e.tag;
        fits = fits && alarm_inside(x, alarm_sum_bound) && alarm_inside(y, alarm_sum_bound) &&
               alarm_inside(a, alarm_age_bound);
        hx[k] = (int32_t)x;
        hy[k] = (int32_t)y;
        age[k] = (int32_t)a;
        hits[k] = t.history_hits[k];
    }
    if (!fits)
        return false;
    for (int k = hc; k < m; k++) {
        hx[k] = hy[k] = age[k] = hits[k] = 0;
        lim[k] = -1; /* padding: every squared distance is above */
    }

    const int32_t alarm_hits = p.alarm_hits;
    int32_t lim_s4 = 0;
    bool lim_set = false;
    int taken = 0;
    for (int i = 0; i < v; i++) {
        const Box q = boxes[i];
        if (q.tag >= p.confirm_frames)
            t.prev_boxes[i].tag = alarm_wrap_add(t.prev_boxes[i].tag, -1);
        /* The limits depend on the box only through 4s, which is mostly
         * the same for every box of a call. */
        if (!lim_set || (int32_t)s4[i] != lim_s4) {
            lim_s4 = (int32_t)s4[i];
            lim_set = true;
            for (int k = 0; k < hc; k++)
                lim[k] = age[k] * lim_s4;
        }
        const int32_t qx = bx[i], qy = by[i];
        int32_t any = 0;
        for (int k = 0; k < m; k++) {
            const int32_t dx = qx - hx[k], dy = qy - hy[k];
            const int32_t in = -(int32_t)(dx * dx + dy * dy <= lim[k]); /* -1 or 0 */
            const int32_t grown = hits[k] + (in & (int32_t)(hits[k] != INT32_MAX));
            hits[k] = grown;
            any |= in & -(int32_t)(grown > alarm_hits);
        }
        if (any)
            boxes[taken++] = q;
    }
    for (int k = 0; k < hc; k++)
        t.history_hits[k] = hits[k];
    *n = taken;
    return true;
}

/* Step 5 in 64-bit arithmetic, for any values the tracking state and the
 * parameters may hold. */
template <typename Box>
inline int alarm_decide_wide(Box *boxes, int v, const int64_t *s4, int hc,
                             const alarm_track<Box> &t, const alarm_params &p)
{
    int n = 0;
    for (int i = 0; i < v; i++) {
        const Box q = boxes[i];
        if (q.tag >= p.confirm_frames)
            t.prev_boxes[i].tag = alarm_wrap_add(t.prev_boxes[i].tag, -1);
        bool taken = false;
        for (int k = 0; k < hc; k++) {
            int64_t age = (int64_t)p.history_frames - t.history[k].tag;
            if (alarm_dist2(q, t.history[k]) > age * s4[i])
                continue;
            if (t.history_hits[k] < INT32_MAX)
                t.history_hits[k]++;
            if (t.history_hits[k] > p.alarm_hits && !taken) {
                boxes[n++] = q;
                taken = true;
            }
        }
    }
    return n;
}

/* `speed` must depend on the box bounds only (not on `tag`): it is asked
 * once per box and call. */
template <int MaxBoxes, int MaxHistory, typename Box, typename ValidFn,
          typename SpeedFn>
inline int alarm_filter(Box *boxes, int count, const alarm_track<Box> &t,
                        const alarm_params &p, ValidFn valid, SpeedFn speed)
{
    const Box zero{};
    count = alarm_clamp(count, MaxBoxes);

    /* 1. Keep the boxes that may be tracked, in order. */
    int v = 0;
    for (int i = 0; i < count; i++) {
        if (valid(boxes[i])) {
            Box b = boxes[i];
            boxes[v++] = b;
        }
    }
    for (int i = v; i < MaxBoxes; i++)
        boxes[i] = zero;

    /* Per box: the limit 4s and the centre sums; `narrow` stays true while
     * the boxes' values fit the 32-bit scan of step 5. */
    int64_t s4[MaxBoxes];
    int32_t bx[MaxBoxes], by[MaxBoxes];
    bool narrow = true;
    for (int i = 0; i < v; i++) {
        const Box &q = boxes[i];
        s4[i] = 4 * (int64_t)speed(q);
        const int64_t x = (int64_t)q.left + q.right, y = (int64_t)q.top + q.bottom;
        narrow = narrow && alarm_inside(s4[i], alarm_lim_bound) &&
                 alarm_inside(x, alarm_sum_bound) && alarm_inside(y, alarm_sum_bound);
        bx[i] = (int32_t)x;
        by[i] = (int32_t)y;
    }

    /* 2. Age the history. */
    int hc = alarm_clamp(*t.history_count, MaxHistory);
    for (int k = 0; k < hc; k++)
        t.history[k].tag = alarm_wrap_add(t.history[k].tag, -1);

    /* 3. Match against the previous call; confirmed boxes enter history. */
    int pc = alarm_clamp(*t.prev_count, MaxBoxes);
    for (int i = 0; i < v; i++) {
        Box &q = boxes[i];
        const int64_t lim = s4[i];
        for (int j = 0; j < pc; j++) {
            const Box &pb = t.prev_boxes[j];
            if (alarm_dist2(q, pb) > lim)
                continue;
            q.tag = alarm_wrap_add(pb.tag, 1);
            if (q.tag >= p.confirm_frames && hc < MaxHistory) {
                t.history[hc] = q;
                t.history[hc].tag = p.history_frames;
                t.history_hits[hc] = 0;
                hc++;
            }
            break;
        }
    }

    /* 4. This call's valid boxes become the previous ones. */
    for (int i = 0; i < MaxBoxes; i++)
        t.prev_boxes[i] = boxes[i];
    *t.prev_count = v;

    /* 5. Alarm decision; alarm boxes are gathered in front of `boxes`.
     * Writing slot n while reading slot i >= n is safe: q is copied first. */
    int n = 0;
    if (!narrow || !alarm_decide_narrow<MaxHistory>(boxes, v, bx, by, s4, hc, t, p, &n))
        n = alarm_decide_wide(boxes, v, s4, hc, t, p);

    /* 6. The alarm list replaces the caller's list. */
    for (int i = n; i < MaxBoxes; i++)
        boxes[i] = zero;

    /* 7. Drop the entries whose life ran out, keeping order. */
    int kept = 0;
    for (int k = 0; k < hc; k++) {
        if (t.history[k].tag > 0) {
            t.history[kept] = t.history[k];
            t.history_hits[kept] = t.history_hits[k];
            kept++;
        }
    }
    *t.history_count = kept;
    return n;
}

} // namespace ozi_alarm
#pragma GCC visibility pop

#endif
