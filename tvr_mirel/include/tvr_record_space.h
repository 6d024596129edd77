/*
 * tvr_record_space.h - retention: keeps free space on the record file
 * system by deleting the oldest finished segments.
 *
 * Finished segments live in date directories "YYYYMMDD" under the record
 * directory.  Before each new segment the recorder asks for room; when the
 * file system has less free space than the configured minimum, the oldest
 * segments go first: the oldest date directory, and in it the earliest
 * start time, until the estimate of the freed space reaches the minimum.
 * The newest finished segment is always kept.
 * A date directory left empty is removed.  Nothing at the top of the
 * record directory is touched (the segment in progress, parked segments).
 */
#ifndef TVR_RECORD_SPACE_H
#define TVR_RECORD_SPACE_H

#include <stdint.h>

#ifdef __cplusplus
#include <string>
#include <vector>

/* A finished segment that retention may delete. */
struct rec_space_item {
    std::string date_dir;  /* "YYYYMMDD" */
    std::string name;      /* "tavro_HHMMSS_<ms>.mp4", "HHMMSS_<ms>.avi", ... */
    uint64_t bytes;        /* space its deletion frees */
};

/* True for a name retention manages: a record file name in a date
 * directory ("[tavro_]HHMMSS_<ms>[_k].mp4|.avi"). */
bool rec_space_is_segment(const std::string &date_dir, const std::string &name);

/* Indices into `items` of the segments to delete, oldest first, so that
 * free_bytes plus what they free reaches min_free; when that is not
 * enough, all but the newest (which is never deleted).  Pure. */
std::vector<size_t> rec_space_pick(const std::vector<rec_space_item> &items, uint64_t free_bytes,
                                   uint64_t min_free);

extern "C" {
#endif

/* Deletes the oldest finished segments of save_path while its file system
 * has less than min_free_mb MB free (0 disables), logging each deletion and
 * removing date directories left empty.  Returns the number of files
 * deleted, or -1 when the free space cannot be read. */
int rec_make_room(const char *save_path, uint64_t min_free_mb);

#ifdef __cplusplus
}
#endif

#endif /* TVR_RECORD_SPACE_H */
