/*
 * ozi_vibe_init when the handle cannot be allocated: this program supplies
 * its own malloc (which the library's calls resolve to) and fails the
 * handle-sized request once.  Built only without sanitizers, which bring
 * their own allocator.
 */
#include <gtest/gtest.h>

#include <cstddef>

#include "vibe_internal.h"
#include "support/log_capture.h"

extern "C" void *__libc_malloc(size_t size);

namespace {
bool fail_handle_alloc = false;
}

extern "C" void *malloc(size_t size)
{
    if (fail_handle_alloc && size == sizeof(vibe_handle_t)) {
        fail_handle_alloc = false;
        return nullptr;
    }
    return __libc_malloc(size);
}

namespace {

TEST(VibeAlloc, InitReportsAllocationFailure)
{
    tvrtest::LogCapture capture;
    fail_handle_alloc = true;
    vibe_handle_t *h = ozi_vibe_init();
    fail_handle_alloc = false;
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(capture.take(), "memory allocation failed!\n");

    h = ozi_vibe_init(); /* the next allocation succeeds */
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ozi_vibe_destroy(h), 0);
}

} // namespace
