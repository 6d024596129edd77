/*
 * tvr_lock.h - scoped holders of the frame queues' read-write locks, for
 * the daemon's C++ modules (the queue records themselves stay plain C).
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

} // namespace tvr

#endif /* TVR_LOCK_H */
