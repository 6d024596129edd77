/*
 * tvr_record_space.cpp - retention of the record directory (see
 * tvr_record_space.h).
 *
 * THREADS: runs on thread_mux, before each segment; no state.
 */
#include "tvr_record_space.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "ozi_sdk.h"
#include "tvr_log.h"

namespace {

bool all_digits(const std::string &s, size_t from, size_t n)
{
    if (s.size() < from + n)
        return false;
    for (size_t i = from; i < from + n; i++)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

bool ends_with(const std::string &s, const char *e)
{
    const size_t n = strlen(e);
    return s.size() >= n && s.compare(s.size() - n, n, e) == 0;
}

/* "HHMMSS..." of a segment name: the start time that orders a day. */
std::string start_key(const std::string &name)
{
    return name.compare(0, 6, "tavro_") == 0 ? name.substr(6) : name;
}

uint64_t free_bytes(const char *path, bool *ok)
{
    struct statvfs vfs;
    *ok = statvfs(path, &vfs) == 0;
    return *ok ? (uint64_t)vfs.f_bavail * vfs.f_frsize : 0;
}

} // namespace

bool rec_space_is_segment(const std::string &date_dir, const std::string &name)
{
    if (date_dir.size() != 8 || !all_digits(date_dir, 0, 8))
        return false;
    if (!ends_with(name, ".mp4") && !ends_with(name, ".avi"))
        return false;
    const std::string k = start_key(name);
    return all_digits(k, 0, 6) && k.size() > 7 && k[6] == '_' && all_digits(k, 7, 8);
}

std::vector<size_t> rec_space_pick(const std::vector<rec_space_item> &items, uint64_t free_bytes,
                                   uint64_t min_free)
{
    std::vector<size_t> order(items.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&items](size_t a, size_t b) {
        const rec_space_item &x = items[a], &y = items[b];
        if (x.date_dir != y.date_dir)
            return x.date_dir < y.date_dir;
        const std::string kx = start_key(x.name), ky = start_key(y.name);
        return kx != ky ? kx < ky : x.name < y.name;
    });
    std::vector<size_t> out;
    for (size_t i : order) {
        if (free_bytes >= min_free)
            break;
        out.push_back(i);
        free_bytes += items[i].bytes;
    }
    return out;
}

extern "C" int rec_make_room(const char *save_path, uint64_t min_free_mb)
{
    const uint64_t min_free = min_free_mb << 20;
    bool ok;
    uint64_t avail = free_bytes(save_path, &ok);
    if (!ok)
        return -1;
    if (min_free == 0 || avail >= min_free)
        return 0;

    std::vector<rec_space_item> items;
    DIR *top = opendir(save_path);
    if (!top)
        return -1;
    while (struct dirent *de = readdir(top)) {
        const std::string day = de->d_name;
        if (day.size() != 8 || !all_digits(day, 0, 8))
            continue;
        const std::string dir = std::string(save_path) + "/" + day;
        DIR *d = opendir(dir.c_str());
        if (!d)
            continue;
        while (struct dirent *fe = readdir(d)) {
            const std::string name = fe->d_name;
            struct stat st;
            if (!rec_space_is_segment(day, name) || lstat((dir + "/" + name).c_str(), &st) != 0 ||
                !S_ISREG(st.st_mode))
                continue;
            items.push_back({day, name, (uint64_t)st.st_blocks * 512});
        }
        closedir(d);
    }
    closedir(top);

    int deleted = 0;
    std::string last_dir;
    for (size_t i : rec_space_pick(items, avail, min_free)) {
        const rec_space_item &it = items[i];
        const std::string dir = std::string(save_path) + "/" + it.date_dir;
        const std::string path = dir + "/" + it.name;
        if (unlink(path.c_str()) != 0) {
            TVR_LOG(LOG_LEVEL_ERROR, "cannot delete %s: %s\n", path.c_str(), strerror(errno));
            continue;
        }
        deleted++;
        ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL,
                  "retention: deleted %s (%llu KB) to keep %llu MB free\n", path.c_str(),
                  (unsigned long long)(it.bytes >> 10), (unsigned long long)min_free_mb);
        if (!last_dir.empty() && last_dir != dir && rmdir(last_dir.c_str()) == 0)
            ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "retention: removed empty %s\n", last_dir.c_str());
        last_dir = dir;
    }
    if (!last_dir.empty() && rmdir(last_dir.c_str()) == 0)
        ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "retention: removed empty %s\n", last_dir.c_str());
    return deleted;
}
