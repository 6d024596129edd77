/*
 * ll_lock.h - the streaming library's scoped hold of a pthread mutex, for
 * its C++ files; the records that own the mutexes stay plain C.  Locking
 * a pthread mutex cannot throw, so a holder is safe under the C interface.
 */
#ifndef LL_LOCK_H
#define LL_LOCK_H

#include <pthread.h>

#ifdef __cplusplus
/* Holds `m` from construction to the end of the scope. */
class ll_lock {
public:
    explicit ll_lock(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~ll_lock() { pthread_mutex_unlock(m_); }
    ll_lock(const ll_lock &) = delete;
    ll_lock &operator=(const ll_lock &) = delete;

private:
    pthread_mutex_t *m_;
};
#endif

#endif /* LL_LOCK_H */
