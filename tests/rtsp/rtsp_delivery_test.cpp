// The delivery pass's sweep, on channels built by hand: which sessions a
// packet retires, and that a retired session waits in the graveyard for
// the server thread instead of being freed under it.
#include <gtest/gtest.h>

#include <cstring>

#include "rtsp_rtp.h"
#include "rtsp_test_util.h"

namespace {

size_t count(const struct list_head *head)
{
    size_t n = 0;
    for (const struct list_head *p = head->next; p != head; p = p->next)
        n++;
    return n;
}

class Delivery : public ::testing::Test {
protected:
    void SetUp() override
    {
        rtsp_ = fake_rtsp_new(31100);
        chn_ = fake_channel_add(rtsp_, "cam/main", true);
        memset(&pkt_, 0, sizeof(pkt_));
        pkt_.header = chn_->video_rtp_pkt.header;
    }
    void TearDown() override { fake_rtsp_free(rtsp_); }
    session_t *add(int fd, rtsp_status st, uint64_t last_access)
    {
        session_t *s = rtsp_channel_add_session(chn_, fd);
        s->status = st;
        s->tm_last_access = last_access;
        return s;
    }
    rtsp_t *rtsp_ = nullptr;
    rtsp_channel_t *chn_ = nullptr;
    rtp_packet pkt_;
};

TEST_F(Delivery, SweepRetiresTornDownFailedAndIdleSessions)
{
    const uint64_t now = rtsp_now_sec();
    session_t *fresh = add(3, RTSP_STATUS_SETUP, now);
    session_t *at65 = add(4, RTSP_STATUS_OPTION, now - 65);
    add(5, RTSP_STATUS_PLAY, now - 67);       // idle while playing
    add(6, RTSP_STATUS_TEARDOWN, now);
    add(7, RTSP_STATUS_ERROR, now);
    ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    EXPECT_EQ(count(&chn_->list_head_session), 2u);
    EXPECT_EQ(count(&chn_->list_head_dead), 3u);
    EXPECT_EQ(rtsp_find_session(chn_, 3), fresh);
    EXPECT_EQ(rtsp_find_session(chn_, 4), at65) << "65 s idle is still alive";
    EXPECT_EQ(rtsp_find_session(chn_, 5), nullptr);
    rtsp_reap_sessions(rtsp_, chn_);
    EXPECT_EQ(count(&chn_->list_head_dead), 0u);
}

TEST_F(Delivery, PlayingSessionWithoutTransportOrPeerGetsNothingAndStays)
{
    const uint64_t now = rtsp_now_sec();
    session_t *s = add(9, RTSP_STATUS_PLAY, now);   // PLAY without SETUP
    ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    s->rtp_trans_type = TRANS_RTP_AVP;              // set up, but fd 9 is no socket
    s->video_rtp_udp_fd = 0;
    ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    EXPECT_EQ(rtsp_find_session(chn_, 9), s);
    EXPECT_EQ(s->status, RTSP_STATUS_PLAY);
}

TEST_F(Delivery, BadArguments)
{
    EXPECT_EQ(rtsp_send_rtp_packet(nullptr, &pkt_, 10), -1);
    EXPECT_EQ(rtsp_send_rtp_packet(chn_, nullptr, 10), -1);
    EXPECT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 0), -1);
    EXPECT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, RTP_PAYLOAD_BUF_SIZE + 1), -1);
}

TEST_F(Delivery, KeyFrameReleasesWaitingPlayers)
{
    session_t *playing = add(3, RTSP_STATUS_PLAY, rtsp_now_sec());
    playing->rtp_trans_type = TRANS_RTP_AVP;
    session_t *setup = add(4, RTSP_STATUS_SETUP, rtsp_now_sec());
    setup->rtp_trans_type = TRANS_RTP_AVP;
    const uint8_t p_frame[] = {0, 0, 0, 1, 0x41, 1, 2, 3};
    const uint8_t idr[] = {0, 0, 0, 1, 0x65, 1, 2, 3};
    rtsp_process_video_frame(chn_, p_frame, sizeof(p_frame), 40);
    EXPECT_EQ(playing->wait_key, 1);
    rtsp_process_video_frame(chn_, idr, sizeof(idr), 80);
    EXPECT_EQ(playing->wait_key, 0);
    EXPECT_EQ(setup->wait_key, 1) << "only players start at this key frame";
    EXPECT_EQ(chn_->video_rtp_pkt.header.seq, 2);
}

}  // namespace
