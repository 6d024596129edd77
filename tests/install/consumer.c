/*
 * A C program built against the installed libraries through pkg-config:
 * libozi_vibe and libozi_mrd on generated frames, libdovu's source registry
 * and log.  It prints what it saw; install_check.sh checks the lines.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "dovu.h"
#include "ozi_mrd.h"
#include "ozi_vibe.h"

enum { W = 320, H = 240, SQ_X = 120, SQ_Y = 80, SQ = 48 };

static uint8_t frame[W * H];

/* A still textured background; with `square` set, a bright square with a
 * dark border at (SQ_X, SQ_Y). */
static void draw(int square)
{
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            frame[y * W + x] = (uint8_t)(60 + ((x / 8 + y / 8) % 2) * 20);
    if (!square)
        return;
    for (int y = SQ_Y; y < SQ_Y + SQ; y++)
        for (int x = SQ_X; x < SQ_X + SQ; x++) {
            int edge = x < SQ_X + 4 || x >= SQ_X + SQ - 4 || y < SQ_Y + 4 || y >= SQ_Y + SQ - 4;
            frame[y * W + x] = edge ? 0 : (uint8_t)(200 + (x + y) % 40);
        }
}

static void run_vibe(void)
{
    vibe_handle_t *h = ozi_vibe_init();
    vibe_box boxes[VIBE_MAX_BOXES];
    int still = 0, moved = 0;
    ozi_vibe_set_mode(h, 1); /* raw boxes, no alarm filter */
    draw(0);
    for (int i = 0; i < 10; i++)
        still += ozi_vibe(h, frame, H, W, boxes);
    draw(1);
    moved = ozi_vibe(h, frame, H, W, boxes);
    printf("vibe version=%s/%s still=%d moved=%d", ozi_vibe_get_version(), vibe_lib_version,
           still, moved);
    if (moved > 0)
        printf(" box=%d,%d,%d,%d", boxes[0].left, boxes[0].top, boxes[0].right, boxes[0].bottom);
    printf("\n");
    ozi_vibe_destroy(h);
}

static void run_mrd(void)
{
    enum { ROWS = 24 };
    uint16_t grid[MRD_GRID_COLS * ROWS];
    mrd_box boxes[MRD_MAX_BOXES];
    mrd_handle_t *h = ozi_mrd_init();
    ozi_mrd_set_mode(h, 1);
    memset(grid, 0, sizeof grid);
    for (int y = 4; y <= 7; y++)
        for (int x = 5; x <= 9; x++)
            grid[y * MRD_GRID_COLS + x] = 60000;
    int n = ozi_mrd(h, grid, ROWS, boxes);
    printf("mrd version=%s/%s count=%d", ozi_mrd_get_version(), mrd_lib_version, n);
    if (n > 0)
        printf(" box=%d,%d,%d,%d", boxes[0].left, boxes[0].top, boxes[0].right, boxes[0].bottom);
    printf("\n");
    ozi_mrd_destroy(h);
}

/* A media source with one video channel that hands out a fixed frame. */
static int started, released;

static void *video_start(void *chnid)
{
    started++;
    return strcmp((const char *)chnid, "main") == 0 ? (void *)&started : NULL;
}

static void video_release(void *handle)
{
    released += handle == &started;
}

static void video_data(void *handle, unsigned char *buff, unsigned int *size,
                       unsigned long long *ts)
{
    (void)handle;
    memcpy(buff, "frame", 5);
    *size = 5;
    *ts = 40;
}

static int32_t stream_info(void *chnid, audio_info *ainfo, video_info *vinfo)
{
    (void)chnid;
    (void)ainfo;
    vinfo->type = VIDEO_TYPE_H264;
    vinfo->fps = 25;
    return 0;
}

static void run_dovu(void)
{
    src_ops ops;
    memset(&ops, 0, sizeof ops);
    ops.get_stream_info = stream_info;
    ops.video_ops.start = video_start;
    ops.video_ops.release = video_release;
    ops.video_ops.get_stream_data = video_data;

    printf("dovu init=%d\n", dovu_init("dovu.conf"));
    void *src = dovu_register_av_source("consumer", "", &ops);
    void *again = dovu_register_av_source("consumer", "", &ops);
    void *video = NULL, *audio = NULL;
    void *s = dovu_start_avstream("consumer", (void *)"main", &video, &audio);
    unsigned char buf[16] = {0};
    unsigned int size = 0;
    unsigned long long ts = 0;
    video_info vinfo;
    audio_info ainfo;
    memset(&vinfo, 0, sizeof vinfo);
    dovu_get_video_stream_data(s, video, buf, &size, &ts);
    int info = dovu_get_stream_info(s, (void *)"main", &ainfo, &vinfo);
    dovu_release_avstream(s, video, audio);
    void *none = dovu_start_avstream("other", (void *)"main", &video, &audio);
    printf("dovu registered=%d again=%d same=%d started=%d data=%.*s ts=%llu info=%d fps=%d "
           "released=%d unknown=%d\n",
           src != NULL, again != NULL, s == src, started, (int)size, (const char *)buf, ts, info,
           vinfo.fps, released, none != NULL);
    dovu_unregister_av_source(src);
    dovu_exit();
}

int main(void)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    run_vibe();
    run_mrd();
    run_dovu();
    return 0;
}
