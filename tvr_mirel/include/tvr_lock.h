/*
 * tvr_lock.h - the daemon's scoped hold of its pthread locks (the frame
 * queues' read-write locks, the channels' mutexes), for its C++ modules;
 * the records that own the locks stay plain C.
 */
#ifndef TVR_LOCK_H
#define TVR_LOCK_H

#include <pthread.h>

namespace tvr {

/* Holds a mutex, or a read-write lock for reading or for writing, from
 * construction to the end of the scope. */
class Lock {
public:
    enum Mode { read, write };

    explicit Lock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    Lock(pthread_rwlock_t *l, Mode mode) : l_(l)
    {
        if (mode == read)
            pthread_rwlock_rdlock(l_);
        else
            pthread_rwlock_wrlock(l_);
    }
    ~Lock()
    {
        if (m_)
            pthread_mutex_unlock(m_);
        else
            pthread_rwlock_unlock(l_);
    }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

    /* The held mutex, for pthread_cond_wait (null for a read-write lock). */
    pthread_mutex_t *get() { return m_; }

private:
    pthread_mutex_t *m_ = nullptr;
    pthread_rwlock_t *l_ = nullptr;
};

} // namespace tvr

#endif /* TVR_LOCK_H */
