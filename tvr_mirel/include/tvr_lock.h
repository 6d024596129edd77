/*
 * tvr_lock.h - scoped holders of the daemon's pthread locks (the frame
 * queues' read-write locks, the channels' mutexes), for its C++ modules;
 * the records that own the locks stay plain C.
 */
#ifndef TVR_LOCK_H
#define TVR_LOCK_H

#include <pthread.h>

namespace tvr {

class ReadLock {
public:
    explicit ReadLock(pthread_rwlock_t *l) : l_(l) { pthread_rwlock_rdlock(l_); }
    ~ReadLock() { pthread_rwlock_unlock(l_); }
    ReadLock(const ReadLock &) = delete;
    ReadLock &operator=(const ReadLock &) = delete;

private:
    pthread_rwlock_t *l_;
};

class WriteLock {
public:
    explicit WriteLock(pthread_rwlock_t *l) : l_(l) { pthread_rwlock_wrlock(l_); }
    ~WriteLock() { pthread_rwlock_unlock(l_); }
    WriteLock(const WriteLock &) = delete;
    WriteLock &operator=(const WriteLock &) = delete;

private:
    pthread_rwlock_t *l_;
};

/* A held mutex; get() gives it to pthread_cond_wait. */
class MutexLock {
public:
    explicit MutexLock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~MutexLock() { pthread_mutex_unlock(m_); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;
    pthread_mutex_t *get() { return m_; }

private:
    pthread_mutex_t *m_;
};

} // namespace tvr

#endif /* TVR_LOCK_H */
