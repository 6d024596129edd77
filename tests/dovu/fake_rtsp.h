/* Records calls to the RTSP server's create/destroy for the registry tests. */
#ifndef DOVU_TEST_FAKE_RTSP_H
#define DOVU_TEST_FAKE_RTSP_H

#include <cstdint>
#include <string>
#include <vector>

struct fake_rtsp_state {
    int create_calls = 0;
    int destroy_calls = 0;
    int32_t last_conf_handle = -100;
    void *last_destroyed = nullptr;
};

extern fake_rtsp_state fake_rtsp;

/* Ordered record of calls into the stand-ins ("rtsp_destroy", "exit:a", ...),
 * shared with the fake sources of the registry tests. */
extern std::vector<std::string> fake_events;

#endif
