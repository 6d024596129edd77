#include "fake_rtsp.h"

#include "dovu_rtsp.h"

fake_rtsp_state fake_rtsp;
std::vector<std::string> fake_events;

// Never used as a server: only its address is handed out.
static rtsp_t server;

extern "C" rtsp_t *rtsp_create(int32_t conf_handle)
{
    fake_rtsp.create_calls++;
    fake_rtsp.last_conf_handle = conf_handle;
    fake_events.push_back("rtsp_create");
    return &server;
}

extern "C" void rtsp_destroy(rtsp_t *rtsp)
{
    fake_rtsp.destroy_calls++;
    fake_rtsp.last_destroyed = rtsp;
    fake_events.push_back("rtsp_destroy");
}
