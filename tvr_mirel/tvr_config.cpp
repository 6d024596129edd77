/*
 * tvr_config.cpp - the daemon's compiled-in settings.
 *
 * Five records fixed when the program is built.  Their defaults come from
 * the generated build_options.h; each of the record settings that a build
 * or a test must vary can be overridden on the compiler's command line
 * (TVR_CFG_SEGMENT_SEC, TVR_CFG_RECORD_DIR, TVR_CFG_MUX_TYPE,
 * TVR_CFG_RECORD_CHANNEL, TVR_CFG_RECORD_TRACK, TVR_CFG_MIN_FREE_MB,
 * TVR_CFG_ISP_FILE), which
 * is how the whole-daemon test program gets short segments in a scratch
 * directory.  No configuration file is ever opened.
 *
 * The whole-daemon test program is also built with
 * TVR_CFG_RECORD_DIR_ENV, the name of an environment variable that, when
 * set, replaces its record directory: tests that record side by side each
 * give it their own.
 *
 * THREADS: the records are constant after program load (the test
 * program's record from its first read on); any thread may read them
 * through the accessors.
 */
#include "tvr_config.h"

#include "build_options.h"

#ifdef TVR_CFG_RECORD_DIR_ENV
#include <cstdio>
#include <cstdlib>
#include <cstring>
#endif

#ifndef TVR_CFG_SEGMENT_SEC
#define TVR_CFG_SEGMENT_SEC TVR_SEGMENT_SEC
#endif
#ifndef TVR_CFG_RECORD_DIR
#define TVR_CFG_RECORD_DIR TVR_RECORD_DIR
#endif
#ifndef TVR_CFG_MUX_TYPE
#define TVR_CFG_MUX_TYPE TVR_MUX_TYPE
#endif
#ifndef TVR_CFG_RECORD_CHANNEL
#define TVR_CFG_RECORD_CHANNEL TVR_RECORD_CHANNEL
#endif
#ifndef TVR_CFG_RECORD_TRACK
#define TVR_CFG_RECORD_TRACK TVR_RECORD_TRACK
#endif
#ifndef TVR_CFG_MIN_FREE_MB
#define TVR_CFG_MIN_FREE_MB TVR_RECORD_MIN_FREE_MB
#endif
#ifndef TVR_CFG_ISP_FILE
#define TVR_CFG_ISP_FILE TVR_ISP_FILE
#endif

/* A directory or file name longer than its field would not compile. */
static_assert(sizeof(TVR_CFG_RECORD_DIR) <= sizeof(record_conf::save_path),
              "record directory longer than 99 characters");
static_assert(sizeof(TVR_CFG_ISP_FILE) <= sizeof(video_conf::isp_file),
              "ISP file name longer than 99 characters");

namespace {

const record_conf record = {
    /* enable */ 1,
    /* channel */ TVR_CFG_RECORD_CHANNEL,
    /* track */ TVR_CFG_RECORD_TRACK,
    /* mux_type */ TVR_CFG_MUX_TYPE,
    /* time_sec */ TVR_CFG_SEGMENT_SEC,
    /* save_path */ TVR_CFG_RECORD_DIR,
    /* min_free_mb */ TVR_CFG_MIN_FREE_MB,
};

const video_conf video = {
    /* main_res_idx */ 4,   /* 1920 x 1080 */
    /* sub_res_idx */ 0,    /* 640 x 360 */
    /* main_fps */ 25,
    /* sub_fps */ 20,
    /* main_kbps */ 2048,
    /* sub_kbps */ 512,
    /* initqp */ 38,
    /* br_mode */ 0,        /* CBR */
    /* encoder */ 0,        /* H.264 */
    /* isp_file */ TVR_CFG_ISP_FILE,
};

const audio_conf audio = {
    /* volume */ 7,
    /* gain */ 8,
    /* encoder */ 4,        /* AAC */
    /* channel */ 1,
    /* sample_rate */ 8000,
    /* nr_enable */ 1,
    /* agc_enable */ 1,
    /* aec_enable */ 1,
};

const rtsp_conf rtsp = {
    /* enable */ 1,
    /* port */ 554,
    /* track */ 0,
    /* main_name */ "main_ch",
    /* sub_name */ "sub_ch",
};

const osd_conf osd = {
    /* enable */ 1,
    /* position */ 0,
};

} // namespace

extern "C" int tvr_init_config(const char *conf)
{
    (void)conf; /* the settings are compiled in; the name is never opened */
    return 0;
}

extern "C" void tvr_release_config(void)
{
}

extern "C" const record_conf *tvr_get_record_conf(void)
{
#ifdef TVR_CFG_RECORD_DIR_ENV
    /* Built once, on the first read (thread-safe static initialisation). */
    static const record_conf from_env = [] {
        record_conf r = record;
        const char *dir = std::getenv(TVR_CFG_RECORD_DIR_ENV);
        if (dir && *dir) {
            if (std::strlen(dir) < sizeof r.save_path)
                std::snprintf(r.save_path, sizeof r.save_path, "%s", dir);
            else
                std::fprintf(stderr, "%s longer than %zu characters: ignored\n",
                             TVR_CFG_RECORD_DIR_ENV, sizeof r.save_path - 1);
        }
        return r;
    }();
    return &from_env;
#else
    return &record;
#endif
}

extern "C" const video_conf *tvr_get_video_conf(void)
{
    return &video;
}

extern "C" const audio_conf *tvr_get_audio_conf(void)
{
    return &audio;
}

extern "C" const rtsp_conf *tvr_get_rtsp_conf(void)
{
    return &rtsp;
}

extern "C" const osd_conf *tvr_get_osd_conf(void)
{
    return &osd;
}
