/*
 * ozi_mux.h - internal controls of the container muxer (ozi_mux.cpp).
 *
 * The muxer's operations themselves are declared in ozi_sdk.h; this header
 * only adds what tests and benchmarks of the muxer need.
 */
#ifndef OZI_MUX_H
#define OZI_MUX_H

#include <stdint.h>
#include <sys/types.h>
#include <sys/uio.h>

/* Every file operation of the muxer, and the clock that paces its syncs.
 * The system's table is the default; tests install their own to stage
 * crashes and power cuts, benchmarks to count bytes and syncs.  Functions
 * follow the POSIX calls of the same names (-1 and errno on failure);
 * now_ms is a monotonic clock in ms.  The calls come from the caller's
 * thread and from the handles' sync threads ("mux_sync"). */
struct ozi_mux_io {
    int (*open)(const char *path, int flags, mode_t mode);
    ssize_t (*pwrite)(int fd, const void *buf, size_t n, off_t off);
    ssize_t (*pwritev)(int fd, const struct iovec *iov, int cnt, off_t off);
    ssize_t (*pread)(int fd, void *buf, size_t n, off_t off);
    int (*ftruncate)(int fd, off_t len);
    int (*fdatasync)(int fd);
    int (*close)(int fd);
    int (*unlink)(const char *path);
    int64_t (*now_ms)(void);
    /* Reserves storage for [off, off + len) without changing the file's
     * size or content (fallocate with FALLOC_FL_KEEP_SIZE). */
    int (*reserve)(int fd, off_t off, off_t len);
};

/* Installs an I/O table (null: the system's) and returns the previous one.
 * Swap it only while no muxer handle is in use. */
const ozi_mux_io *ozi_mux_set_io(const ozi_mux_io *table);

/* Sets how often the stored samples are synced to storage and named in the
 * journal, in ms (default 750; 0 after every sample).
 * Returns the previous value. */
int64_t ozi_mux_set_journal_interval(int64_t ms);

/* Waits until the handle's sync thread has done (or failed) the sync work
 * handed to it so far: with a journal interval of 0, everything stored.
 * Tests use it to look at the files at a known point.  0, or -1 for an
 * unknown handle. */
int ozi_mux_wait_synced(int handle);

#endif /* OZI_MUX_H */
