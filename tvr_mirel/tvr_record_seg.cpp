/*
 * tvr_record_seg.cpp - the recorder's segment state machine and its walks
 * over the frame queues.
 *
 * rec_seg_step decides, for each video frame the mux thread takes, whether
 * a segment opens, the frame is written, or the segment closes; it performs
 * its effects through a rec_seg_sink, so it runs without threads, clocks or
 * the muxer.  rec_take_video and rec_audio_walk are the queue walks the mux
 * thread makes under a queue's read lock.
 *
 * THREADS: called only from thread_mux (and from tests); no state of its
 * own.  The queue walks require the caller to hold the queue's read lock.
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

} // namespace

extern "C" enum rec_step_result rec_seg_step(rec_seg_state *st, const rec_seg_params *p,
                                             const venc_stream_entry *frame,
                                             const rec_seg_sink *sink)
{
    const struct video_stream *vs = &frame->stream;
    /* Only a plain I frame opens or closes a segment; FRAME_TYPE_PI does not. */
    const bool flag_gop = vs->frame_type == FRAME_TYPE_I;

    if (flag_gop && !st->mux_init) {
        st->ts_start_ms = vs->ts;
        st->date = frame->date;
        if (sink->start(sink->ctx, &st->date) != 0) {
            /* Retried at the next I frame; keep the audio queue bounded. */
            if (vs->ts > REC_AUDIO_HOLD_MS)
                sink->drain_audio(sink->ctx, REC_AUDIO_DROP_BEFORE, vs->ts - REC_AUDIO_HOLD_MS);
            return REC_STEP_START_FAILED;
        }
        st->mux_init = 1;
    } else if (flag_gop) {
        const uint64_t elapsed = vs->ts - st->ts_start_ms;
        const int64_t limit = (int64_t)p->time_sec * 1000 + 100;
        if (limit <= 0 || elapsed >= (uint64_t)limit) {
            /* Audio up to the closing frame belongs to this segment; what
             * comes later waits for the next one.  The closing I frame
             * itself goes into neither file. */
            sink->drain_audio(sink->ctx, REC_AUDIO_UNTIL, vs->ts);
            seg_close(st, sink, elapsed);
            return REC_STEP_CLOSED;
        }
    }

    if (!st->mux_init) {
        if (vs->ts > REC_AUDIO_HOLD_MS)
            sink->drain_audio(sink->ctx, REC_AUDIO_DROP_BEFORE, vs->ts - REC_AUDIO_HOLD_MS);
        return REC_STEP_DROPPED;
    }

    st->last_ts_ms = vs->ts;
    if (p->write_video && sink->add_video(sink->ctx, vs) != 0) {
        /* Failed writes add up over the segment; the third one closes it. */
        if (++st->mux_video_err_cnt > 2) {
            seg_close(st, sink, vs->ts - st->ts_start_ms);
            return REC_STEP_CLOSED_ERR;
        }
    }
    sink->drain_audio(sink->ctx, REC_AUDIO_ALL, 0);
    return REC_STEP_WRITTEN;
}

extern "C" int rec_seg_finish(rec_seg_state *st, const rec_seg_sink *sink)
{
    if (!st->mux_init)
        return 0;
    seg_close(st, sink, st->last_ts_ms - st->ts_start_ms);
    return 1;
}

extern "C" void rec_buf_free(rec_buf *b)
{
    free(b->data);
    b->data = nullptr;
    b->cap = 0;
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
        if (len > buf->cap) {
            size_t cap = buf->cap ? buf->cap : 64 * 1024;
            while (cap < len)
                cap *= 2;
            void *p = realloc(buf->data, cap);
            if (!p) {
                out->stream.data = nullptr;
                out->stream.len = 0;
                return 1;
            }
            buf->data = static_cast<unsigned char *>(p);
            buf->cap = cap;
        }
        if (len && e->stream.data)
            memcpy(buf->data, e->stream.data, len);
        out->stream.data = (len && e->stream.data) ? buf->data : nullptr;
        if (!out->stream.data)
            out->stream.len = 0;
        return 1;
    }
    return 0;
}

extern "C" int rec_audio_walk(struct list_head *head, enum rec_audio_mode mode, uint64_t limit,
                              int (*add)(void *ctx, struct audio_stream *s), void *ctx)
{
    int taken = 0;
    struct list_head *pos;
    list_for_each(pos, head) {
        aenc_stream_entry *e = list_entry(pos, aenc_stream_entry, list);
        if (e->flag != 0)
            continue;
        if (mode == REC_AUDIO_UNTIL && e->stream.ts > limit)
            break;
        if (mode == REC_AUDIO_DROP_BEFORE) {
            if (e->stream.ts >= limit)
                break;
        } else if (add) {
            /* A failed audio write loses that frame only. */
            (void)add(ctx, &e->stream);
        }
        e->flag = 1;
        taken++;
    }
    return taken;
}
