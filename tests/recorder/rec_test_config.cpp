#include "rec_test_config.h"

/* Small pictures keep the encoders cheap; two-second segments. */
record_conf rec_test_record = {1, 0, 0, 1, 2, "/nonexistent/tvr_rec", 0};
video_conf rec_test_video = {0, 0, 25, 20, 512, 256, 38, 0, 0, "/nonexistent/isp.conf"};
audio_conf rec_test_audio = {7, 8, 4, 1, 8000, 1, 1, 1};

namespace {
const rtsp_conf rtsp = {1, 554, 0, "main_ch", "sub_ch"};
const osd_conf osd = {1, 0};
} // namespace

extern "C" int tvr_init_config(const char *) { return 0; }
extern "C" void tvr_release_config(void) {}
extern "C" const record_conf *tvr_get_record_conf(void) { return &rec_test_record; }
extern "C" const video_conf *tvr_get_video_conf(void) { return &rec_test_video; }
extern "C" const audio_conf *tvr_get_audio_conf(void) { return &rec_test_audio; }
extern "C" const rtsp_conf *tvr_get_rtsp_conf(void) { return &rtsp; }
extern "C" const osd_conf *tvr_get_osd_conf(void) { return &osd; }
