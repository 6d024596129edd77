/*
 * tvr_record_file.cpp - names, filing and start-up recovery of record files.
 *
 * Layout of the record directory <save_path>:
 *   recording_now_tmp.mp4|.avi (+ the muxer's .moov/.stbl or .idx side files)
 *       the segment in progress; the top level is the recorder's work area
 *   YYYYMMDD/tavro_HHMMSS_<ms>.mp4   finished segments, one directory per day
 *   YYYYMMDD/HHMMSS_<ms>.mp4         recordings repaired at start-up
 *   unfiled_YYYYMMDD_<name>          a finished file whose move into its date
 *                                    directory failed; filed at the next start
 *
 * A finished recording is never replaced: a name already taken gets "_1",
 * "_2", ... before its extension.  Date directories are created in code,
 * without a shell; the record directory itself is never created.
 *
 * THREADS: rec_file_segment runs on thread_mux; the recovery runs on the
 * thread that starts the recorder, before thread_mux exists.  No state.
 */
#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tvr_log.h"
#include "tvr_record.h"

namespace {

bool exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 || errno != ENOENT;
}

/* Splits "name.ext" into stem length and extension (from the last dot). */
size_t stem_len(const char *name)
{
    const char *dot = strrchr(name, '.');
    return dot ? (size_t)(dot - name) : strlen(name);
}

} // namespace

extern "C" const char *rec_mux_ext(int mux_type)
{
    if (mux_type == MUX_TYPE_MP4)
        return ".mp4";
    if (mux_type == MUX_TYPE_AVI)
        return ".avi";
    return nullptr;
}

extern "C" int rec_date_dir_name(char *buf, size_t n, const strm_date *d)
{
    return snprintf(buf, n, "%04d%02d%02d", d->year, d->mon, d->day);
}

extern "C" int rec_final_name(char *buf, size_t n, const strm_date *d, uint64_t ms,
                              int mux_type)
{
    const char *ext = rec_mux_ext(mux_type);
    if (!ext)
        return -1;
    return snprintf(buf, n, "tavro_%02d%02d%02d_%08llu%s", d->hour, d->min, d->sec,
                    (unsigned long long)ms, ext);
}

extern "C" int rec_repaired_name(char *buf, size_t n, const strm_date *d, uint64_t ms,
                                 int mux_type)
{
    const char *ext = rec_mux_ext(mux_type);
    if (!ext)
        return -1;
    return snprintf(buf, n, "%02d%02d%02d_%08llu%s", d->hour, d->min, d->sec,
                    (unsigned long long)ms, ext);
}

extern "C" int rec_tmp_path(char *buf, size_t n, const char *save_path, int mux_type)
{
    const char *ext = rec_mux_ext(mux_type);
    if (!ext)
        return -1;
    return snprintf(buf, n, "%s/" REC_TMP_STEM "%s", save_path, ext);
}

extern "C" int rec_mkdir_p(const char *path)
{
    char buf[REC_DEST_PATH_LEN];
    const size_t len = strlen(path);
    if (len == 0 || len >= sizeof buf) {
        errno = len ? ENAMETOOLONG : ENOENT;
        return -1;
    }
    memcpy(buf, path, len + 1);
    /* Create each prefix that ends before a '/', then the whole path. */
    for (size_t i = 1; i <= len; i++) {
        if (buf[i] != '/' && buf[i] != '\0')
            continue;
        if (buf[i - 1] == '/')
            continue;
        const char saved = buf[i];
        buf[i] = '\0';
        if (mkdir(buf, 0777) != 0 && errno != EEXIST)
            return -1;
        buf[i] = saved;
    }
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

extern "C" int rec_move_into(const char *src, const char *dir, const char *name, char *dest,
                             size_t n)
{
    if (rec_mkdir_p(dir) != 0)
        return -1;
    if ((size_t)snprintf(dest, n, "%s/%s", dir, name) >= n) {
        errno = ENAMETOOLONG;
        return -1;
    }
    /* Single writer (the recorder), so test-then-rename does not race with
     * another filing; vfat has no hard links to make it atomic. */
    const size_t stem = stem_len(name);
    for (int k = 1; exists(dest); k++) {
        if (k > 999) {
            errno = EEXIST;
            return -1;
        }
        if ((size_t)snprintf(dest, n, "%s/%.*s_%d%s", dir, (int)stem, name, k, name + stem) >= n) {
            errno = ENAMETOOLONG;
            return -1;
        }
    }
    return rename(src, dest);
}

namespace {

/* Moves src to <save_path>/unfiled_<date dir>_<name>. */
int park_unfiled(const char *save_path, const char *src, const char *date_dir, const char *name)
{
    char park_name[REC_DATE_DIR_LEN + REC_FILE_NAME_LEN + 16];
    char dest[REC_DEST_PATH_LEN];
    snprintf(park_name, sizeof park_name, REC_UNFILED_PREFIX "%s_%s", date_dir, name);
    if (rec_move_into(src, save_path, park_name, dest, sizeof dest) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "cannot move %s to %s: %s\n", src, dest, strerror(errno));
        return -1;
    }
    TVR_LOG(LOG_LEVEL_ERROR, "kept %s at the top of the record directory\n", dest);
    return 0;
}

/* Files src under <save_path>/<date dir>/<name>, parking it on failure. */
int file_into_date_dir(const char *save_path, const char *src, const char *date_dir,
                       const char *name)
{
    char dir[REC_DIR_PATH_LEN];
    char dest[REC_DEST_PATH_LEN];
    snprintf(dir, sizeof dir, "%s/%s", save_path, date_dir);
    snprintf(dest, sizeof dest, "%s/%s", dir, name);
    ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "save record file '%s' \n", dest);
    char taken[REC_DEST_PATH_LEN];
    /* Only the date directory is created: a record directory that went
     * away (a card pulled out) is not made again on whatever lies below. */
    struct stat st;
    if (stat(save_path, &st) != 0 || !S_ISDIR(st.st_mode)) {
        TVR_LOG(LOG_LEVEL_ERROR, "record save path %s not exist\n", save_path);
        return -1;
    }
    if (rec_move_into(src, dir, name, taken, sizeof taken) == 0) {
        if (strcmp(taken, dest) != 0)
            TVR_LOG(LOG_LEVEL_NORMAL, "%s exists, saved as %s\n", dest, taken);
        return 0;
    }
    TVR_LOG(LOG_LEVEL_ERROR, "cannot move %s to %s: %s\n", src, dest, strerror(errno));
    return park_unfiled(save_path, src, date_dir, name) == 0 ? 1 : -1;
}

} // namespace

extern "C" int rec_file_segment(const char *save_path, const char *tmp_path, const strm_date *d,
                                uint64_t ms, int mux_type)
{
    char date_dir[REC_DATE_DIR_LEN];
    char name[REC_FILE_NAME_LEN];
    rec_date_dir_name(date_dir, sizeof date_dir, d);
    if (rec_final_name(name, sizeof name, d, ms, mux_type) < 0)
        return -1;
    return file_into_date_dir(save_path, tmp_path, date_dir, name);
}

extern "C" int rec_save_fixed(const char *save_path, const char *pc_file, uint64_t ms,
                              int i_type, time_t start)
{
    strm_date d;
    char date_dir[REC_DATE_DIR_LEN];
    char name[REC_FILE_NAME_LEN];
    char src[REC_DIR_PATH_LEN];
    tvr_date_from_time(&d, start);
    rec_date_dir_name(date_dir, sizeof date_dir, &d);
    rec_repaired_name(name, sizeof name, &d, ms, i_type == 1 ? MUX_TYPE_MP4 : MUX_TYPE_AVI);
    snprintf(src, sizeof src, "%s/%s", save_path, pc_file);
    return file_into_date_dir(save_path, src, date_dir, name) < 0 ? -1 : 0;
}

namespace {

uint32_t be32(const unsigned char *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
uint32_t le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

bool read_at(FILE *f, uint64_t off, void *buf, size_t n)
{
    return fseeko(f, (off_t)off, SEEK_SET) == 0 && fread(buf, 1, n, f) == n;
}

/* MP4: a whole moov box among the top-level boxes; its mvhd gives the
 * length and the creation time (the recording's start). */
bool mp4_index(FILE *f, uint64_t size, uint64_t *ms, time_t *start)
{
    unsigned char h[16];
    for (uint64_t pos = 0; pos + 8 <= size;) {
        if (!read_at(f, pos, h, 8))
            return false;
        uint64_t box = be32(h), head = 8;
        if (box == 1) {
            if (!read_at(f, pos + 8, h + 8, 8))
                return false;
            box = (uint64_t)be32(h + 8) << 32 | be32(h + 12);
            head = 16;
        }
        if (box < head || box > size - pos)
            return false;  /* size 0 (mdat still open) or cut short */
        if (memcmp(h + 4, "moov", 4) == 0) {
            unsigned char m[40];
            if (box < head + 8 + 32 || !read_at(f, pos + head, m, sizeof m) ||
                memcmp(m + 4, "mvhd", 4) != 0)
                return false;
            const unsigned char *v = m + 8;
            uint64_t created, scale, dur;
            if (v[0] == 1) {
                created = (uint64_t)be32(v + 4) << 32 | be32(v + 8);
                scale = be32(v + 20);
                dur = (uint64_t)be32(v + 24) << 32 | be32(v + 28);
            } else {
                created = be32(v + 4);
                scale = be32(v + 12);
                dur = be32(v + 16);
            }
            if (scale == 0)
                return false;
            *ms = dur * 1000 / scale;
            const uint64_t mac_epoch = 2082844800u; /* 1904 to 1970, s */
            *start = created > mac_epoch ? (time_t)(created - mac_epoch) : 0;
            return true;
        }
        pos += box;
    }
    return false;
}

/* AVI: an idx1 chunk after the movi list; avih gives frame time and count. */
bool avi_index(FILE *f, uint64_t size, uint64_t *ms)
{
    unsigned char h[12 + 8 + 8 + 16];
    if (!read_at(f, 0, h, sizeof h) || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "AVI ", 4) != 0 ||
        memcmp(h + 24, "avih", 4) != 0)
        return false;
    const uint64_t usec = le32(h + 32);
    unsigned char t[4];
    if (!read_at(f, 32 + 16, t, 4))
        return false;
    const uint64_t frames = le32(t);
    for (uint64_t pos = 12; pos + 8 <= size;) {
        if (!read_at(f, pos, h, 8))
            return false;
        const uint64_t len = le32(h + 4);
        if (memcmp(h, "idx1", 4) == 0) {
            if (pos + 8 + len > size)
                return false;
            *ms = frames * usec / 1000;
            return true;
        }
        if (len == 0 || pos + 8 + len > size)
            return false;  /* movi still open, or cut short */
        pos += 8 + len + (len & 1);
    }
    return false;
}

} // namespace

extern "C" int rec_indexed_length(FILE *f, int mux_type, uint64_t *ms, time_t *start)
{
    struct stat st;
    if (!f || fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    *start = 0;
    bool ok = mux_type == MUX_TYPE_MP4 ? mp4_index(f, (uint64_t)st.st_size, ms, start)
                                       : avi_index(f, (uint64_t)st.st_size, ms);
    if (!ok)
        return -1;
    /* Without a start in the index: it began its length before it was
     * last written. */
    if (*start == 0)
        *start = st.st_mtime - (time_t)(*ms / 1000);
    return 0;
}

namespace {

const char *const mux_ext[MUX_NODE_NUM] = {"", ".idx", ".moov", ".stbl"};

/* "unfiled_YYYYMMDD_<name>": moves <name> into YYYYMMDD.  Anything that
 * does not parse is left alone; it is a finished recording either way. */
void refile_unfiled(const char *save_path, const char *entry)
{
    const char *p = entry + strlen(REC_UNFILED_PREFIX);
    for (int i = 0; i < 8; i++)
        if (p[i] < '0' || p[i] > '9')
            return;
    if (p[8] != '_' || p[9] == '\0')
        return;
    char date_dir[9];
    memcpy(date_dir, p, 8);
    date_dir[8] = '\0';
    char src[REC_DEST_PATH_LEN];
    snprintf(src, sizeof src, "%s/%s", save_path, entry);
    char dir[REC_DIR_PATH_LEN];
    char dest[REC_DEST_PATH_LEN];
    snprintf(dir, sizeof dir, "%s/%s", save_path, date_dir);
    ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "save record file '%s/%s' \n", dir, p + 9);
    if (rec_move_into(src, dir, p + 9, dest, sizeof dest) != 0)
        TVR_LOG(LOG_LEVEL_ERROR, "cannot move %s to %s: %s\n", src, dir, strerror(errno));
}

} // namespace

/* Repairs one interrupted recording, files a finished one, and deletes
 * only what has no index and cannot be repaired. */
extern "C" int rec_recover_file(const char *save_path, const char *name, int type, rec_fix_fn fix)
{
    char path[MUX_NODE_NUM][REC_DEST_PATH_LEN];
    FILE *f[MUX_NODE_NUM] = {nullptr, nullptr, nullptr, nullptr};
    const int nodes_avi[] = {MUX_NODE_RECORD, MUX_NODE_AVI_IDX};
    const int nodes_mp4[] = {MUX_NODE_RECORD, MUX_NODE_MP4_MOOV, MUX_NODE_MP4_STBL};
    const int *nodes = type == MUX_TYPE_AVI ? nodes_avi : nodes_mp4;
    const int count = type == MUX_TYPE_AVI ? 2 : 3;

    char record_path[REC_DEST_PATH_LEN];
    snprintf(record_path, sizeof record_path, "%s/%s", save_path, name);
    bool all_open = true;
    for (int i = 0; i < count; i++) {
        const int node = nodes[i];
        snprintf(path[node], REC_DEST_PATH_LEN, "%s%s", record_path, mux_ext[node]);
        f[node] = fopen(path[node], node == MUX_NODE_RECORD ? "rb+" : "rb");
        if (!f[node]) {
            all_open = false;
            break;
        }
    }

    struct mux_fileinfo info;
    info.total_ms = 0;
    int fixed = -1;
    time_t start = 0;
    /* A file that already carries its index (stopped, or repaired before,
     * but never filed) needs no repair and is never deleted. */
    uint64_t indexed_ms = 0;
    bool indexed = f[MUX_NODE_RECORD] &&
                   rec_indexed_length(f[MUX_NODE_RECORD], type, &indexed_ms, &start) == 0 &&
                   indexed_ms > 0;
    if (all_open && !indexed) {
        fixed = fix(f[MUX_NODE_RECORD], f[MUX_NODE_AVI_IDX], f[MUX_NODE_MP4_MOOV],
                    f[MUX_NODE_MP4_STBL], (enum ozi_mux_type)type, &info);
        /* The repair dates the file with the recording's start; the name of
         * the temporary file carries no time.  Read before anything of ours
         * could touch the file. */
        struct stat st;
        if (fixed == 0 && fstat(fileno(f[MUX_NODE_RECORD]), &st) == 0)
            start = st.st_mtime;
        else if (fixed == 0)
            start = time(nullptr);
    }
    for (int node = 0; node < MUX_NODE_NUM; node++) {
        if (f[node]) {
            fflush(f[node]);
            fclose(f[node]);
        }
    }

    bool keep_record = false;
    int rc = 0;
    if (indexed) {
        strm_date d;
        tvr_date_from_time(&d, start);
        ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "%s carries its index, filed\n", record_path);
        keep_record = true;
        rc = rec_file_segment(save_path, record_path, &d, indexed_ms, type) < 0 ? -1 : 0;
    } else if (fixed == 0 && info.total_ms != 0) {
        /* A repaired file that cannot be moved stays in place rather than
         * being deleted; the recorder will not write over it. */
        if (rec_save_fixed(save_path, name, info.total_ms, type == MUX_TYPE_MP4 ? 1 : 0, start) != 0) {
            keep_record = true;
            rc = -1;
        }
    } else if (f[MUX_NODE_RECORD]) {
        TVR_LOG(LOG_LEVEL_ERROR, "%s has no index and cannot be repaired, deleted\n", record_path);
    }
    for (int node = 0; node < MUX_NODE_NUM; node++) {
        if (!f[node] || (node == MUX_NODE_RECORD && keep_record))
            continue;
        remove(path[node]);
    }
    return rc;
}

namespace {

bool is_regular(const char *save_path, const struct dirent *de)
{
    if (de->d_type == DT_REG)
        return true;
    if (de->d_type != DT_UNKNOWN)
        return false;
    char path[REC_DEST_PATH_LEN];
    snprintf(path, sizeof path, "%s/%s", save_path, de->d_name);
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

extern "C" int rec_recover_dir(const char *save_path, rec_fix_fn fix)
{
    struct dirent **list = nullptr;
    /* Sorted by name, a record file comes before its side files. */
    const int n = scandir(save_path, &list, nullptr, alphasort);
    if (n < 0)
        return 0;
    for (int i = 0; i < n; i++) {
        const struct dirent *de = list[i];
        const char *name = de->d_name;
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && is_regular(save_path, de)) {
            if (strncmp(name, REC_UNFILED_PREFIX, strlen(REC_UNFILED_PREFIX)) == 0)
                refile_unfiled(save_path, name);
            else if (strstr(name, ".avi"))
                rec_recover_file(save_path, name, MUX_TYPE_AVI, fix);
            else if (strstr(name, ".mp4"))
                rec_recover_file(save_path, name, MUX_TYPE_MP4, fix);
        }
        free(list[i]);
    }
    free(list);
    return 0;
}

extern "C" int rec_clear_tmp_path(const char *save_path, int mux_type, rec_fix_fn fix)
{
    char path[REC_TMP_PATH_LEN];
    if (rec_tmp_path(path, sizeof path, save_path, mux_type) < 0 ||
        strlen(path) <= strlen(save_path) + 1)
        return -1;
    struct stat st;
    if (lstat(path, &st) != 0)
        return 0;  /* free; side files alone are written over by the muxer */
    TVR_LOG(LOG_LEVEL_ERROR, "%s found before a new segment, repairing or filing it\n", path);
    if (S_ISREG(st.st_mode))
        rec_recover_file(save_path, path + strlen(save_path) + 1, mux_type, fix);
    return lstat(path, &st) == 0 ? -1 : 0;
}
