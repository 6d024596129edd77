/*
 * tvr_record_seg.cpp - the recorder's segment state machine and its walks
 * over the frame queues.
 *
 * rec_seg_step decides, for each video frame the mux thread takes, whether
 * a segment opens, the frame is written or held, or the segment closes
 * (the closing I frame is the first frame of the next one); it performs
 * its effects through a rec_seg_sink, so it runs without threads, clocks or
 * the muxer.  rec_take_video and rec_audio_walk are the queue walks the mux
 * thread makes under a queue's read lock.
 *
 * THREADS: called only from thread_mux (and from tests); its state lives
 * in the caller's rec_seg_state.  The queue walks require the caller to
 * hold the queue's read lock.
 */
#include <stdlib.h>
#include <string.h>

#include "tvr_record.h"

namespace {

/* Closes the open segment at a frame `elapsed` ms after its first one. */
void seg_close(rec_seg_state *st, const rec_seg_sink *sink, uint64_t elapsed)
{
    st->recorded_ms = elapsed;
    sink->close(sink->ctx, &st->date, elapsed);
    st->mux_init = 0;
    st->mux_video_err_cnt = 0;
}

/* Opens a segment whose first frame has time stamp `ts`.  Audio captured
 * before it belongs to no file (or to the one just closed, which is done). */
bool seg_open(rec_seg_state *st, const rec_seg_sink *sink, uint64_t ts, const strm_date *date)
{
    st->ts_start_ms = ts;
    st->date = *date;
    sink->drain_audio(sink->ctx, REC_AUDIO_DROP_BEFORE, ts);
    if (sink->start(sink->ctx, &st->date) != 0)
        return false;
    st->mux_init = 1;
    st->last_ts_ms = ts;
    return true;
}

/* Writes one frame into the open segment, then the audio captured before
 * it: that audio lies inside this segment's span whatever comes next. */
enum rec_step_result seg_write(rec_seg_state *st, const rec_seg_params *p,
                               const struct video_stream *vs, const rec_seg_sink *sink)
{
    if (vs->ts > st->last_ts_ms)
        st->frame_step_ms = vs->ts - st->last_ts_ms;
    st->last_ts_ms = vs->ts;
    if (p->write_video && sink->add_video(sink->ctx, vs) != 0) {
        /* Failed writes add up over the segment; the third one closes it. */
        if (++st->mux_video_err_cnt > 2) {
            sink->drain_audio(sink->ctx, REC_AUDIO_BEFORE, vs->ts);
            seg_close(st, sink, vs->ts - st->ts_start_ms);
            return REC_STEP_CLOSED_ERR;
        }
    }
    /* Audio of a closed segment that came after its close waited long
     * enough is lost, not moved into this file. */
    sink->drain_audio(sink->ctx, REC_AUDIO_DROP_BEFORE, st->ts_start_ms);
    sink->drain_audio(sink->ctx, REC_AUDIO_BEFORE, vs->ts);
    return REC_STEP_WRITTEN;
}

/* Keeps a copy of a frame that arrived while the segment is closing. */
void hold_frame(rec_seg_state *st, const rec_seg_params *p, const struct video_stream *vs)
{
    rec_held_frame *h = &st->hold[st->held++];
    h->stream = *vs;
    if (!p->write_video || !vs->data || vs->len == 0) {
        h->stream.data = nullptr;
        h->stream.len = 0;
    } else if (rec_buf_set(&h->buf, vs->data, vs->len) != 0) {
        h->stream.data = nullptr;  /* written as a failed frame */
        h->stream.len = 0;
    } else {
        h->stream.data = h->buf.data;
    }
}

/* Takes the closing segment's audio that has come; true when the close
 * need not wait any longer at frame time `now`. */
bool close_ready(const rec_seg_state *st, const rec_seg_params *p, const rec_seg_sink *sink,
                 uint64_t now)
{
    const int later = sink->drain_audio(sink->ctx, REC_AUDIO_BEFORE, st->close_ts_ms);
    return later || p->audio_wait_ms == 0 || now >= st->close_ts_ms + p->audio_wait_ms;
}

/* Ends the closing segment at its closing frame, then opens the next file
 * with the held frames (unless the recorder is stopping). */
enum rec_step_result commit_close(rec_seg_state *st, const rec_seg_params *p,
                                  const rec_seg_sink *sink)
{
    sink->drain_audio(sink->ctx, REC_AUDIO_BEFORE, st->close_ts_ms);
    seg_close(st, sink, st->close_ts_ms - st->ts_start_ms);
    st->closing = 0;
    const int held = st->held;
    st->held = 0;
    if (!st->open_next || held == 0)
        return REC_STEP_CLOSED;
    if (!seg_open(st, sink, st->close_ts_ms, &st->close_date)) {
        /* Retried at the next I frame; the held frames are lost. */
        sink->drain_audio(sink->ctx, REC_AUDIO_DROP_BEFORE, st->hold[held - 1].stream.ts);
        return REC_STEP_START_FAILED;
    }
    for (int i = 0; i < held; i++)
        if (seg_write(st, p, &st->hold[i].stream, sink) == REC_STEP_CLOSED_ERR)
            return REC_STEP_CLOSED_ERR;
    return REC_STEP_CLOSED;
}

/* Notes the frame's place in the queue; true while frames were lost and
 * no I frame has come since. */
bool after_loss(rec_seg_state *st, const venc_stream_entry *frame)
{
    if (st->order_known && frame->order != st->next_order) {
        st->lost += frame->order - st->next_order;
        st->resync = 1;
    }
    st->order_known = 1;
    st->next_order = frame->order + 1;
    if (st->resync && frame->stream.frame_type == FRAME_TYPE_I)
        st->resync = 0;
    return st->resync != 0;
}

/* Where the open segment's video ends after its newest frame: that frame
 * lasts as long as the step before it, as the muxer times it. */
uint64_t newest_frame_end(const rec_seg_state *st)
{
    return st->last_ts_ms + st->frame_step_ms;
}

} // namespace

extern "C" enum rec_step_result rec_seg_step(rec_seg_state *st, const rec_seg_params *p,
                                             const venc_stream_entry *frame,
                                             const rec_seg_sink *sink)
{
    const struct video_stream *vs = &frame->stream;

    if (after_loss(st, frame)) {
        /* Not written, not held; a close waiting for its audio still goes
         * by this frame's time and opens the next file with what it held. */
        if (st->closing && close_ready(st, p, sink, vs->ts))
            commit_close(st, p, sink);
        return REC_STEP_LOST;
    }

    if (st->closing) {
        if (!st->open_next) {
            /* Stopping: frames after the last one are not recorded. */
            return close_ready(st, p, sink, vs->ts) ? commit_close(st, p, sink)
                                                    : REC_STEP_DROPPED;
        }
        if (st->held < REC_HELD_MAX) {
            hold_frame(st, p, vs);
            return close_ready(st, p, sink, vs->ts) ? commit_close(st, p, sink)
                                                    : REC_STEP_HELD;
        }
        /* No room to hold more: close now and take this frame as usual. */
        commit_close(st, p, sink);
    }
    if (st->stopped)
        return REC_STEP_DROPPED;

    /* Only a plain I frame opens or closes a segment; FRAME_TYPE_PI does not. */
    const bool flag_gop = vs->frame_type == FRAME_TYPE_I;
    if (flag_gop && !st->mux_init) {
        if (!seg_open(st, sink, vs->ts, &frame->date))
            return REC_STEP_START_FAILED;
        return seg_write(st, p, vs, sink);
    }
    if (flag_gop) {
        const uint64_t elapsed = vs->ts - st->ts_start_ms;
        const int64_t limit = (int64_t)p->time_sec * 1000 + 100;
        if (limit <= 0 || elapsed >= (uint64_t)limit) {
            /* This frame ends the segment and begins the next one. */
            st->closing = 1;
            st->open_next = 1;
            st->close_ts_ms = vs->ts;
            st->close_date = frame->date;
            st->held = 0;
            hold_frame(st, p, vs);
            return close_ready(st, p, sink, vs->ts) ? commit_close(st, p, sink)
                                                    : REC_STEP_HELD;
        }
    }
    if (!st->mux_init) {
        sink->drain_audio(sink->ctx, REC_AUDIO_DROP_BEFORE, vs->ts);
        return REC_STEP_DROPPED;
    }
    return seg_write(st, p, vs, sink);
}

extern "C" int rec_seg_stop(rec_seg_state *st)
{
    st->stopped = 1;
    if (st->closing) {
        st->open_next = 0;
        return 1;
    }
    if (!st->mux_init)
        return 0;
    st->closing = 1;
    st->open_next = 0;
    st->close_ts_ms = newest_frame_end(st);
    st->held = 0;
    return 1;
}

extern "C" int rec_seg_finish(rec_seg_state *st, const rec_seg_sink *sink)
{
    if (st->closing) {
        st->open_next = 0;
        rec_seg_params none;
        memset(&none, 0, sizeof none);
        commit_close(st, &none, sink);
        return 1;
    }
    if (!st->mux_init)
        return 0;
    const uint64_t end = newest_frame_end(st);
    sink->drain_audio(sink->ctx, REC_AUDIO_BEFORE, end);
    seg_close(st, sink, end - st->ts_start_ms);
    return 1;
}

extern "C" void rec_seg_free(rec_seg_state *st)
{
    for (int i = 0; i < REC_HELD_MAX; i++)
        rec_buf_free(&st->hold[i].buf);
    st->held = 0;
}

extern "C" void rec_buf_free(rec_buf *b)
{
    free(b->data);
    b->data = nullptr;
    b->cap = 0;
}

extern "C" int rec_buf_set(rec_buf *b, const void *data, size_t len)
{
    if (len > b->cap) {
        size_t cap = b->cap ? b->cap : 64 * 1024;
        while (cap < len)
            cap *= 2;
        void *q = realloc(b->data, cap);
        if (!q)
            return -1;
        b->data = static_cast<unsigned char *>(q);
        b->cap = cap;
    }
    if (len)
        memcpy(b->data, data, len);
    return 0;
}

extern "C" int rec_take_video(struct list_head *head, venc_stream_entry *out, rec_buf *buf)
{
    struct list_head *pos;
    list_for_each(pos, head) {
        venc_stream_entry *e = list_entry(pos, venc_stream_entry, list);
        if (e->flag != 0)
            continue;
        e->flag = 1;
        *out = *e;
        out->list.next = out->list.prev = nullptr;
        /* The encoder hands the entry's buffer back once the next frame is
         * queued, which may happen before the muxer is done with it; the
         * recorder writes from its own copy instead. */
        const size_t len = e->stream.len;
        if (len && e->stream.data && rec_buf_set(buf, e->stream.data, len) == 0) {
            out->stream.data = buf->data;
        } else {
            out->stream.data = nullptr;
            out->stream.len = 0;
        }
        return 1;
    }
    return 0;
}

extern "C" int rec_audio_walk(struct list_head *head, enum rec_audio_mode mode, uint64_t limit,
                              int (*add)(void *ctx, struct audio_stream *s), void *ctx,
                              int *later)
{
    int taken = 0;
    if (later)
        *later = 0;
    struct list_head *pos;
    list_for_each(pos, head) {
        aenc_stream_entry *e = list_entry(pos, aenc_stream_entry, list);
        if (e->flag != 0)
            continue;
        if (mode != REC_AUDIO_ALL && e->stream.ts >= limit) {
            if (later)
                *later = 1;
            break;
        }
        if (mode != REC_AUDIO_DROP_BEFORE && add) {
            /* A failed audio write loses that frame only. */
            (void)add(ctx, &e->stream);
        }
        e->flag = 1;
        taken++;
    }
    return taken;
}
