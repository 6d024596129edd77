/*
 * ipc_main.cpp - entry of the camera daemon.
 *
 * Prints the banner, brings the media source up, starts the recorder when
 * the first word is "record", publishes the media source to the streaming
 * library when the second word is "rtsp", then sleeps for ever: all work
 * happens on the encoder workers, the recorder's thread and the streaming
 * library's threads.  A start-up failure ends the process with status 255.
 *
 * THREADS: only the main thread runs here; it takes no lock.
 */
#include <cstdio>
#include <cstring>

#include "dovu.h"
#include "ozi_sdk.h"
#include "tvr_avsrc.h"
#include "tvr_config.h"
#include "tvr_record.h"

namespace {

const char kVersion[] = "0.4.0";
const char kSourceName[] = "tavro_mirel";
const char kSourceConf[] = "tavro_mirel.conf";

/* Publishes the media source; 0, or -1 after undoing what was done. */
int start_streaming()
{
    if (dovu_init("dovu.conf") != 0)
        return -1;
    src_ops table;
    std::memset(&table, 0, sizeof table);
    table.init_source = tvr_mirel_init_av;
    table.exit_source = tvr_mirel_exit_av;
    table.get_stream_info = tvr_mirel_get_stream_info;
    table.video_ops.start = tvr_mirel_venc_start;
    table.video_ops.release = tvr_mirel_venc_release;
    table.video_ops.get_stream_data = tvr_mirel_get_vstrm_data;
    table.audio_ops.start = tvr_mirel_aenc_start;
    table.audio_ops.release = tvr_mirel_aenc_release;
    table.audio_ops.get_stream_data = tvr_mirel_get_astrm_data;
    /* The library keeps its own copy of the table. */
    if (!dovu_register_av_source(kSourceName, kSourceConf, &table)) {
        dovu_exit();
        return -1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::printf("tavrocam version %s   %s %s\n", kVersion, __DATE__, __TIME__);
    std::fflush(stdout);

    if (tvr_mirel_init_av(kSourceConf) != 0)
        return -1;

    /* The words count by position: the first can only mean "record", the
     * second only "rtsp". */
    if (argc > 1 && std::strcmp(argv[1], "record") == 0 && tvr_get_record_conf()->enable == 1) {
        if (tvr_mirel_record_start() != 0) {
            std::printf("record start failed!\n");
            std::fflush(stdout);
            return -1;
        }
    }
    if (argc > 2 && std::strcmp(argv[2], "rtsp") == 0 && tvr_get_rtsp_conf()->enable) {
        if (start_streaming() != 0)
            return -1;
    }

    for (;;)
        ozi_sleep_ms(1000);
}
