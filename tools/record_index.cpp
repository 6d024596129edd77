/*
 * record_index - lists the footage in a record directory.
 *
 *   record_index [--json] DIR
 *
 * For each record file (the date directories' files and the files at the
 * top: the segment in progress, parked or leftover files) it prints the
 * start, the length, the video and audio frame counts, how the audio
 * covers the video (audio start after the video's, audio end before the
 * video's) and the gap to the next file, all from the files' own indexes;
 * a file without an index is listed as such.  Exit status 0, or 2 when
 * DIR cannot be read.
 */
#include "footage_index.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

bool is_media(const std::string &name)
{
    auto ends = [&](const char *e) {
        size_t n = std::strlen(e);
        return name.size() > n && name.compare(name.size() - n, n, e) == 0;
    };
    return ends(".mp4") || ends(".avi");
}

/* Regular record files of dir (relative names), one level of subdirectories. */
bool list_files(const std::string &root, const std::string &sub, int depth,
                std::vector<std::string> *out)
{
    const std::string path = sub.empty() ? root : root + "/" + sub;
    DIR *d = opendir(path.c_str());
    if (!d)
        return false;
    while (dirent *de = readdir(d)) {
        std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        std::string rel = sub.empty() ? name : sub + "/" + name;
        struct stat st;
        if (lstat((root + "/" + rel).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode) && depth == 0)
            list_files(root, rel, 1, out);
        else if (S_ISREG(st.st_mode) && is_media(name))
            out->push_back(rel);
    }
    closedir(d);
    return true;
}

footage::FileIndex index_of(const std::string &path)
{
    footage::FileIndex fi;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fi.error = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return fi;
    }
    auto rd = [fd](uint64_t off, size_t n, uint8_t *out) {
        size_t got = 0;
        while (got < n) {
            ssize_t r = pread(fd, out + got, n - got, off_t(off + got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            got += size_t(r);
        }
        return true;
    };
    fi = footage::read_index(rd, uint64_t(st.st_size));
    close(fd);
    return fi;
}

int64_t local_to_wall(const footage::NameInfo &n)
{
    struct tm tm = {};
    tm.tm_year = n.year - 1900;
    tm.tm_mon = n.mon - 1;
    tm.tm_mday = n.day;
    tm.tm_hour = n.hour;
    tm.tm_min = n.min;
    tm.tm_sec = n.sec;
    tm.tm_isdst = -1;
    return int64_t(mktime(&tm)) * 1000;
}

} // namespace

int main(int argc, char **argv)
{
    bool json = false;
    const char *dir = nullptr;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--json") == 0)
            json = true;
        else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::printf("usage: record_index [--json] DIR\n"
                        "Lists the record files in DIR and its date directories: start, length,\n"
                        "frames, audio coverage and the gap to the next file, from their indexes.\n");
            return 0;
        } else if (!dir)
            dir = argv[i];
        else {
            std::fprintf(stderr, "record_index: one directory, please\n");
            return 2;
        }
    }
    if (!dir) {
        std::fprintf(stderr, "usage: record_index [--json] DIR\n");
        return 2;
    }
    std::vector<std::string> files;
    if (!list_files(dir, "", 0, &files)) {
        std::fprintf(stderr, "record_index: cannot read %s: %s\n", dir, std::strerror(errno));
        return 2;
    }
    std::sort(files.begin(), files.end());
    std::vector<footage::Entry> entries;
    for (const std::string &rel : files) {
        footage::Entry e;
        e.path = rel;
        e.named = footage::parse_name(rel, &e.name);
        e.index = index_of(std::string(dir) + "/" + rel);
        entries.push_back(e);
    }
    footage::build_listing(&entries, local_to_wall);
    std::fputs(json ? footage::format_json(dir, entries).c_str() : footage::format_text(entries).c_str(),
               stdout);
    return 0;
}
