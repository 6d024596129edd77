/*
 * ozi_handles.h - the small-integer handle tables of the host encoders.
 *
 * A handle is an index into a fixed table of shared objects.  The table's
 * own mutex is held only to put, look up or take out an entry; callers
 * lock the object itself afterwards, so the two locks are never nested.
 * A looked-up object stays alive (shared_ptr) even if another thread
 * closes the handle meanwhile.
 */
#ifndef OZI_HANDLES_H
#define OZI_HANDLES_H

#include <memory>
#include <mutex>

namespace ozi {

template <typename T, int N>
class HandleTable {
public:
    /* Stores obj in the first free slot; its handle, or -1 when full. */
    int put(std::shared_ptr<T> obj)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < N; i++) {
            if (!slots_[i]) {
                slots_[i] = std::move(obj);
                return i;
            }
        }
        return -1;
    }

    /* The object of `handle`, or null. */
    std::shared_ptr<T> get(int handle)
    {
        if (handle < 0 || handle >= N)
            return nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        return slots_[handle];
    }

    /* Removes and returns the object of `handle` (null if none). */
    std::shared_ptr<T> take(int handle)
    {
        std::shared_ptr<T> obj;
        if (handle < 0 || handle >= N)
            return obj;
        std::lock_guard<std::mutex> lock(mutex_);
        obj.swap(slots_[handle]);
        return obj;
    }

private:
    std::mutex mutex_;               /* guards slots_ */
    std::shared_ptr<T> slots_[N];
};

} // namespace ozi

#endif /* OZI_HANDLES_H */
