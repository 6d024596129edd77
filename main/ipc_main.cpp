/*
 * ipc_main.cpp - entry of the camera daemon.
 *
 * Prints the banner, brings the media source up, starts the recorder when
 * the first word is "record", publishes the media source to the streaming
 * library when the second word is "rtsp", then waits for SIGTERM or SIGINT:
 * all work happens on the encoder workers, the recorder's thread and the
 * streaming library's threads.  A start-up failure ends the process with
 * status 255.
 *
 * Orderly stop: the first SIGTERM or SIGINT closes and files the open
 * segment, releases the channels and exits with status 0; a second one
 * while that runs ends the process at once (status 128 + signal).
 *
 * THREADS: only the main thread runs here; it takes no lock.  Both signals
 * are blocked before any thread exists, so every thread inherits the mask
 * and only the main thread ever takes them (sigwait, then the handler).
 */
#include <csignal>
#include <cstdio>
#include <cstring>

#include <pthread.h>
#include <unistd.h>

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

/* A second stop signal while the first is being handled. */
void exit_at_once(int sig)
{
    _exit(128 + sig);
}

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

int main(int argc, char **argv)
{
    const sigset_t stops = stop_signals();
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    std::printf("tavrocam version %s   %s %s\n", kVersion, __DATE__, __TIME__);
    std::fflush(stdout);

    if (tvr_mirel_init_av(kSourceConf) != 0)
        return -1;

    /* The words count by position: the first can only mean "record", the
     * second only "rtsp". */
    bool recording = false, streaming = false;
    if (argc > 1 && std::strcmp(argv[1], "record") == 0 && tvr_get_record_conf()->enable == 1) {
        if (tvr_mirel_record_start() != 0) {
            std::printf("record start failed!\n");
            std::fflush(stdout);
            return -1;
        }
        recording = true;
    }
    if (argc > 2 && std::strcmp(argv[2], "rtsp") == 0 && tvr_get_rtsp_conf()->enable) {
        if (start_streaming() != 0)
            return -1;
        streaming = true;
    }

    int sig = 0;
    while (sigwait(&stops, &sig) != 0) {
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = exit_at_once;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    std::printf("signal %d: stopping\n", sig);
    std::fflush(stdout);

    /* The recording first: the open segment is closed and filed. */
    if (recording)
        tvr_mirel_record_release();
    if (streaming)
        dovu_exit();
    tvr_mirel_exit_av();
    std::printf("tavrocam stopped\n");
    std::fflush(nullptr);
    /* Detached workers have left with their channels' last release; no
     * static destructor needs to run. */
    _exit(0);
}
