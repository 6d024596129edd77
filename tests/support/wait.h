/*
 * wait.h - waiting in tests for a condition to come true, never for a
 * guessed stretch of wall-clock time.
 */
#ifndef TVRTEST_WAIT_H
#define TVRTEST_WAIT_H

#include <chrono>
#include <functional>
#include <thread>

namespace tvrtest {

/* Checks `pred` every 5 ms for up to `ms` milliseconds; true as soon as it
 * holds.  It is checked once more at the end, so a condition that comes
 * true just as time runs out still counts.  The bound only catches a
 * condition that never comes. */
inline bool wait_until(const std::function<bool()> &pred, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

} // namespace tvrtest

#endif /* TVRTEST_WAIT_H */
