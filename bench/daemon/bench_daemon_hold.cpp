/*
 * bench_daemon_hold.cpp - holds both video channels and the audio channel
 * of the media source for a while, as a streaming client and the recorder
 * would, and prints the CPU time per wall-clock second of every thread of
 * the process and the peak resident memory.
 *
 * Usage: bench_daemon_hold [seconds, default 20]
 *
 * A puller thread ("bench_pull") copies the newest frame of each video
 * channel every 10 ms, as the streaming library's channel threads do, and
 * takes the audio frames as the recorder does.  Measurement starts after
 * two seconds of warm-up.  Output lines:
 *   thread <name> <cpu s per wall s>
 *   total <cpu s per wall s>
 *   vmhwm_kb <peak RSS>
 */
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tvr_avsrc.h"

namespace {

/* utime + stime of every thread of this process, in clock ticks, by tid. */
std::map<int, std::pair<std::string, long long>> thread_ticks()
{
    std::map<int, std::pair<std::string, long long>> out;
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return out;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string base = std::string("/proc/self/task/") + e->d_name;
        char comm[64] = "";
        if (FILE *f = std::fopen((base + "/comm").c_str(), "r")) {
            if (std::fgets(comm, sizeof comm, f))
                comm[std::strcspn(comm, "\n")] = '\0';
            std::fclose(f);
        }
        long long ticks = 0;
        if (FILE *f = std::fopen((base + "/stat").c_str(), "r")) {
            char line[1024];
            if (std::fgets(line, sizeof line, f)) {
                /* Fields after the ")" that closes comm: state is 3rd,
                 * utime 14th and stime 15th of the whole line. */
                const char *p = std::strrchr(line, ')');
                unsigned long long ut = 0, st = 0;
                if (p && std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                                     &ut, &st) == 2)
                    ticks = static_cast<long long>(ut + st);
            }
            std::fclose(f);
        }
        out[std::atoi(e->d_name)] = {comm, ticks};
    }
    closedir(d);
    return out;
}

long vmhwm_kb()
{
    long kb = -1;
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "VmHWM: %ld", &kb) == 1)
                break;
        std::fclose(f);
    }
    return kb;
}

/* New frames and their bytes of one video channel while `counting`. */
struct Seen {
    unsigned long long last_ts = 0;
    long long frames = 0, bytes = 0;
};

void take_video(void *h, std::vector<unsigned char> &buf, bool counting, Seen *seen)
{
    unsigned int size = 0;
    unsigned long long ts = 0;
    tvr_mirel_get_vstrm_data(h, buf.data(), &size, &ts);
    if (size == 0 || ts <= seen->last_ts)
        return;
    seen->last_ts = ts;
    if (counting) {
        seen->frames++;
        seen->bytes += size;
    }
}

void pull(void *mainh, void *subh, const std::atomic<bool> &stop,
          const std::atomic<bool> &counting, Seen *main_seen, Seen *sub_seen)
{
    pthread_setname_np(pthread_self(), "bench_pull");
    std::vector<unsigned char> buf(DOVU_STREAM_BUF_SIZE);
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    while (!stop.load()) {
        bool count = counting.load();
        take_video(mainh, buf, count, main_seen);
        take_video(subh, buf, count, sub_seen);
        pthread_rwlock_rdlock(&a->rwlock_aenc_data_list);
        struct list_head *pos;
        list_for_each(pos, &a->list_head_aenc_data_list) {
            aenc_stream_entry *e = list_entry(pos, aenc_stream_entry, list);
            if (!e->flag) {
                std::memcpy(buf.data(), e->stream.data, e->stream.len);
                e->flag = 1;
            }
        }
        pthread_rwlock_unlock(&a->rwlock_aenc_data_list);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

int main(int argc, char **argv)
{
    int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    if (seconds <= 0)
        seconds = 20;
    pthread_setname_np(pthread_self(), "bench_hold");
    if (tvr_mirel_init_av("tavro_mirel.conf") < 0) {
        std::fprintf(stderr, "media source bring-up failed\n");
        return 1;
    }
    void *mainh = tvr_mirel_venc_start(const_cast<char *>("main"));
    void *subh = tvr_mirel_venc_start(const_cast<char *>("sub"));
    void *audh = tvr_mirel_aenc_start(const_cast<char *>("main"));
    if (!mainh || !subh || !audh) {
        std::fprintf(stderr, "channel start failed\n");
        return 1;
    }
    std::atomic<bool> stop{false}, counting{false};
    Seen main_seen, sub_seen;
    std::thread puller(pull, mainh, subh, std::cref(stop), std::cref(counting), &main_seen,
                       &sub_seen);

    std::this_thread::sleep_for(std::chrono::seconds(2));
    auto t0 = std::chrono::steady_clock::now();
    auto before = thread_ticks();
    counting = true;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    counting = false;
    auto after = thread_ticks();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    long hwm = vmhwm_kb();

    const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    std::map<std::string, double> by_name;
    double total = 0;
    for (const auto &kv : after) {
        long long start = 0;
        auto it = before.find(kv.first);
        if (it != before.end())
            start = it->second.second;
        double cpu = static_cast<double>(kv.second.second - start) / hz;
        by_name[kv.second.first] += cpu;
        total += cpu;
    }
    for (const auto &kv : by_name)
        std::printf("thread %-18s %.3f\n", kv.first.c_str(), kv.second / wall);
    std::printf("total %.3f\n", total / wall);
    std::printf("vmhwm_kb %ld\n", hwm);
    stop = true;
    puller.join();
    for (const auto &ch : {std::make_pair("main", &main_seen), std::make_pair("sub", &sub_seen)})
        std::printf("channel %-4s %.1f kbit/s %.2f fps\n", ch.first,
                    ch.second->bytes * 8.0 / 1000.0 / wall, ch.second->frames / wall);
    std::fflush(stdout);

    tvr_mirel_aenc_release(audh);
    tvr_mirel_venc_release(subh);
    tvr_mirel_venc_release(mainh);
    return 0;
}
