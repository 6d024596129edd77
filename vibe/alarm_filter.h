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
 */
#ifndef OZI_ALARM_FILTER_H
#define OZI_ALARM_FILTER_H

#include <stdint.h>

#pragma GCC visibility push(hidden)
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

    /* 2. Age the history. */
    int hc = alarm_clamp(*t.history_count, MaxHistory);
    for (int k = 0; k < hc; k++)
        t.history[k].tag = alarm_wrap_add(t.history[k].tag, -1);

    /* 3. Match against the previous call; confirmed boxes enter history. */
    int pc = alarm_clamp(*t.prev_count, MaxBoxes);
    for (int i = 0; i < v; i++) {
        Box &q = boxes[i];
        int64_t lim = 4 * (int64_t)speed(q);
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
    for (int i = 0; i < v; i++) {
        const Box q = boxes[i];
        if (q.tag >= p.confirm_frames)
            t.prev_boxes[i].tag = alarm_wrap_add(t.prev_boxes[i].tag, -1);
        int64_t s4 = 4 * (int64_t)speed(q);
        bool taken = false;
        for (int k = 0; k < hc; k++) {
            int64_t age = (int64_t)p.history_frames - t.history[k].tag;
            if (alarm_dist2(q, t.history[k]) > age * s4)
                continue;
            if (t.history_hits[k] < INT32_MAX)
                t.history_hits[k]++;
            if (t.history_hits[k] > p.alarm_hits && !taken) {
                boxes[n++] = q;
                taken = true;
            }
        }
    }

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
