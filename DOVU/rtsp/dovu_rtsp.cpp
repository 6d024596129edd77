/*
 * dovu_rtsp.cpp - the RTSP server object, its event loop, channels and
 * sessions.
 *
 * THREADS (see dovu_rtsp.h for the locks)
 *   The server thread "rtsp_server" accepts connections, reads and frames
 *   requests (rtsp_request.cpp answers them), frees the sessions that the
 *   video threads retired, closes their connections, and detaches channels
 *   that have no session left.  A video thread pokes wake_fd (an eventfd)
 *   when it retired a session, so the connection closes at once and not at
 *   the next one-second tick.
 *
 *   Control connections belong to the server thread: only it closes them,
 *   and before it does it makes every session that holds the descriptor
 *   forget it (client_fd = -1, under the channel's mutex_session), so a
 *   later connection that gets the same number is never touched.
 */
#include "dovu_rtsp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <set>
#include <vector>
#include <memory>

#include "dovu_internal.h"
#include "ll_config.h"
#include "ll_lock.h"
#include "ll_log.h"
#include "rtsp_auth.h"
#include "rtsp_guard.h"
#include "rtsp_deliver.h"
#include "rtsp_interleave.h"
#include "rtsp_request.h"
#include "rtsp_tcp_out.h"

namespace {

constexpr int kListenBacklog = 60;
constexpr int kWaitMs = 1000;
constexpr size_t kSrcPartMax = 29;
constexpr size_t kChnPartMax = 49;

/* Events one wait hands over; each connection among them gets one read. */
constexpr int kMaxEvents = 64;
/* Received requests that go to the log per second: of one connection,
 * and of all together (a peer may open many connections). */
constexpr uint32_t kReqLogPerSec = 3;
constexpr uint32_t kReqLogAllPerSec = 10;

/* A control connection: pending bytes of a message not yet complete, and
 * the queue everything sent on it goes through. */
struct conn {
    int fd;
    size_t len;
    size_t discard;          /* bytes still to skip of an oversized packet */
    rtsp_tcp_out *out;
    uint64_t last_req_ms;    /* accept or last complete request, monotonic */
    rtsp_rate log_rate;      /* request lines in the log */
    char buf[RTSP_RECV_BUF_SIZE];
};

/* Server-thread state; touched by rtsp_destroy only after the thread ended. */
struct server_state {
    int epfd = -1;
    int listen_fd = -1;
    int spare_fd = -1;       /* given up to accept-and-close when out of descriptors */
    uint64_t last_sweep_ms = 0;
    rtsp_rate refuse_log;    /* lines about refused connections */
    rtsp_rate check_log;     /* channel check lines */
    rtsp_rate req_log;       /* request lines of all connections */
    std::map<int, std::unique_ptr<conn>> conns;
};

uint64_t real_mono_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

rtsp_clock_fn g_clock = real_mono_ms;   /* replaced by tests only (atomic) */

uint64_t mono_ms()
{
    return __atomic_load_n(&g_clock, __ATOMIC_ACQUIRE)();
}

long fd_limit()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return 0;
    return (long)rl.rlim_cur;
}

rtsp_thread_create_fn g_thread_create = pthread_create;   /* replaced by tests only */

server_state *state_of(rtsp_t *rtsp)
{
    return static_cast<server_state *>(rtsp->conns);
}

/* Lines of the event loop's helpers carry the server thread's name, and
 * those of a server's creation the creating call's public name. */
constexpr char kServerThread[] = "rtsp_main";
constexpr char kCreate[] = "rtsp_create";

/* Makes every session of every channel that holds fd forget it.  Such a
 * session can never be reached again (sessions are found by their
 * connection), so it is also marked torn down: the next delivery pass
 * retires it and frees its UDP sockets, rather than the idle sweep 65 s
 * on (a peer that hangs up in a loop would otherwise pile them up). */
void forget_fd(rtsp_t *rtsp, int fd)
{
    struct list_head *pos;
    list_for_each(pos, &rtsp->list_head_chn) {
        rtsp_channel_t *c = list_entry(pos, rtsp_channel_t, list);
        ll_lock lk(&c->mutex_session);
        struct list_head *heads[2] = {&c->list_head_session, &c->list_head_dead};
        for (struct list_head *h : heads) {
            struct list_head *sp;
            list_for_each(sp, h) {
                session_t *s = list_entry(sp, session_t, list);
                if (s->client_fd == fd) {
                    s->client_fd = -1;
                    if (h == &c->list_head_session && s->status <= RTSP_STATUS_PLAY)
                        s->status = RTSP_STATUS_TEARDOWN;
                }
            }
        }
    }
}

/* Closes a control connection of this server, exactly once; a descriptor
 * that is not one of its open connections is left alone. */
void close_conn(rtsp_t *rtsp, int fd)
{
    server_state *st = state_of(rtsp);
    if (!st)
        return;
    auto it = st->conns.find(fd);
    if (it == st->conns.end())
        return;
    forget_fd(rtsp, fd);
    if (st->epfd >= 0)
        epoll_ctl(st->epfd, EPOLL_CTL_DEL, fd, nullptr);
    /* No media thread writes to the descriptor past this point. */
    rtsp_tcp_out_close(it->second->out);
    rtsp_tcp_out_unref(it->second->out);
    close(fd);
    st->conns.erase(it);
}

void set_thread_name(pthread_t th, const char *prefix, const char *name)
{
    /* Thread names hold 15 characters; a longer name is cut. */
    char buf[16];
    size_t n = 0;
    for (const char *p : {prefix, name})
        for (; *p && n < sizeof(buf) - 1; p++)
            buf[n++] = *p;
    buf[n] = '\0';
    pthread_setname_np(th, buf);
}

/* ---- event loop -------------------------------------------------------- */

int open_listener(rtsp_t *rtsp)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LL_LOG(LOG_LEVEL_ERROR, kServerThread, "socket failed : %s", strerror(errno));
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons((uint16_t)rtsp->port);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) != 0) {
        LL_LOG(LOG_LEVEL_ERROR, kServerThread, "bind failed : %s", strerror(errno));
        close(fd);
        return -1;
    }
    if (listen(fd, kListenBacklog) != 0) {
        LL_LOG(LOG_LEVEL_ERROR, kServerThread, "listen failed : %s", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

/* Logs a refused connection, a few lines a second at most. */
void log_refused(server_state *st, const char *why)
{
    if (!rtsp_rate_allow(&st->refuse_log, mono_ms(), 2))
        return;
    uint32_t more = rtsp_rate_take_dropped(&st->refuse_log);
    if (more)
        LL_LOG(LOG_LEVEL_WARNING, kServerThread, "connection refused: %s (%u more not logged)\n",
               why, more);
    else
        LL_LOG(LOG_LEVEL_WARNING, kServerThread, "connection refused: %s\n", why);
}

/* Out of descriptors: the pending connection is taken with the spare
 * descriptor and closed, so it leaves the backlog instead of waking the
 * loop for ever. */
void shed_one(server_state *st)
{
    if (st->spare_fd >= 0) {
        close(st->spare_fd);
        st->spare_fd = -1;
    }
    int cfd = accept4(st->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (cfd >= 0)
        close(cfd);
    st->spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    log_refused(st, "out of descriptors");
}

/* Adopts cfd as a control connection; false (cfd closed) when it cannot. */
bool adopt_conn(rtsp_t *rtsp, int cfd)
{
    server_state *st = state_of(rtsp);
    if (rtsp->max_conns > 0 && st->conns.size() >= (size_t)rtsp->max_conns) {
        close(cfd);
        log_refused(st, "connection limit");
        return false;
    }
    if (!rtsp_fd_admit(cfd, fd_limit(), rtsp->fd_reserve)) {
        close(cfd);
        log_refused(st, "descriptor reserve");
        return false;
    }
    /* Level-triggered: a connection that still has bytes after its one
     * read per event comes back in the next wait, after the others. */
    if (st->epfd >= 0) {
        struct epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = cfd;
        if (epoll_ctl(st->epfd, EPOLL_CTL_ADD, cfd, &ev) != 0) {
            close(cfd);
            return false;
        }
    }
    std::unique_ptr<conn> c(new (std::nothrow) conn);
    rtsp_tcp_out *out =
        c ? rtsp_tcp_out_new(cfd, RTSP_TCP_OUT_LIMIT, st->epfd, EPOLLIN | EPOLLRDHUP) : nullptr;
    if (!out) {
        if (st->epfd >= 0)
            epoll_ctl(st->epfd, EPOLL_CTL_DEL, cfd, nullptr);
        close(cfd);
        return false;
    }
    c->fd = cfd;
    c->len = 0;
    c->discard = 0;
    c->out = out;
    c->last_req_ms = mono_ms();
    memset(&c->log_rate, 0, sizeof(c->log_rate));
    st->conns[cfd] = std::move(c);
    return true;
}

void accept_all(rtsp_t *rtsp)
{
    server_state *st = state_of(rtsp);
    for (;;) {
        int cfd = accept4(st->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (cfd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE) {
                shed_one(st);
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                LL_LOG(LOG_LEVEL_ERROR, kServerThread, "accept failed : %s", strerror(errno));
            return;
        }
        adopt_conn(rtsp, cfd);
    }
}

/* Logs one received request, escaped and cut, within the connection's
 * budget of lines; tells the request handler whether its own lines for
 * this request may go out too. */
void log_request(server_state *st, conn *c, const char *req, size_t n)
{
    uint64_t now = mono_ms();
    bool ok = rtsp_rate_allow(&c->log_rate, now, kReqLogPerSec) &&
              rtsp_rate_allow(&st->req_log, now, kReqLogAllPerSec);
    rtsp_request_set_verbose(ok);
    if (!ok || ll_get_log_level() > LOG_LEVEL_DEBUG)
        return;
    char text[RTSP_LOG_ESCAPED_SIZE];
    rtsp_log_escape(req, n, text, sizeof(text));
    /* Requests left out of the log since the last line: this connection's
     * (the server-wide count goes to the next line of any connection). */
    uint32_t more = rtsp_rate_take_dropped(&c->log_rate) + rtsp_rate_take_dropped(&st->req_log);
    if (more)
        LL_LOG(LOG_LEVEL_DEBUG, kServerThread,
               "receive fd %d, %zu bytes (%u requests not logged): %s\n", c->fd, n, more, text);
    else
        LL_LOG(LOG_LEVEL_DEBUG, kServerThread, "receive fd %d, %zu bytes: %s\n", c->fd, n, text);
}

/* Drops the consumed head of c's buffer. */
void consume(conn *c, size_t used)
{
    memmove(c->buf, c->buf + used, c->len - used);
    c->len -= used;
}

/* Hands every complete message in c's buffer on: requests to the request
 * handler, interleaved packets from the client (its RTCP) to
 * rtsp_handle_interleaved.  An interleaved packet larger than the buffer is
 * skipped as its bytes arrive.  false when the connection must be closed
 * (a request too large or malformed). */
bool dispatch_requests(rtsp_t *rtsp, conn *c)
{
    for (;;) {
        if (c->discard > 0) {
            size_t d = c->discard < c->len ? c->discard : c->len;
            consume(c, d);
            c->discard -= d;
            if (c->discard > 0)
                return true;
        }
        rtsp_msg m;
        int r = rtsp_next_message(c->buf, c->len, RTSP_RECV_BUF_SIZE - 1, &m);
        if (r < 0) {
            if (rtsp_rate_allow(&c->log_rate, mono_ms(), kReqLogPerSec))
                LL_LOG(LOG_LEVEL_WARNING, kServerThread,
                       "request too large or malformed on fd %d\n", c->fd);
            return false;
        }
        if (r == 0) {
            if (m.skip)
                consume(c, m.skip);
            return true;
        }
        if (m.kind == RTSP_MSG_INTERLEAVED) {
            if (m.len > RTSP_RECV_BUF_SIZE - 1) {
                c->discard = m.skip + m.len;
                continue;
            }
            if (c->len - m.skip < m.len) {
                consume(c, m.skip);
                return true;
            }
            rtsp_handle_interleaved(rtsp, c->fd, m.channel,
                                    reinterpret_cast<const uint8_t *>(c->buf) + m.skip +
                                        RTSP_ILV_HEADER_SIZE,
                                    m.len - RTSP_ILV_HEADER_SIZE);
            consume(c, m.skip + m.len);
            continue;
        }
        char req[RTSP_RECV_BUF_SIZE];
        memcpy(req, c->buf + m.skip, m.len);
        req[m.len] = '\0';
        consume(c, m.skip + m.len);
        c->last_req_ms = mono_ms();
        log_request(state_of(rtsp), c, req, m.len);
        if (m.len > 3)
            rtsp_handle_packet(rtsp, c->fd, req, (int)m.len);
    }
}

/* One read per event: a connection that pipelines requests gets a
 * buffer's worth handled, then waits for the others' turn.  false when
 * the connection is to be closed: end of stream, a read error or an
 * oversized request. */
bool read_conn(rtsp_t *rtsp, conn *c)
{
    size_t room = RTSP_RECV_BUF_SIZE - 1 - c->len;
    if (room == 0)
        return false;   /* dispatch_requests would have framed it by now */
    ssize_t r;
    do {
        r = recv(c->fd, c->buf + c->len, room, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK;
    if (r == 0)
        return false;
    c->len += (size_t)r;
    return dispatch_requests(rtsp, c);
}

/* Handles one event set of connection fd; false when it was closed. */
bool handle_conn_event(rtsp_t *rtsp, int fd, uint32_t events)
{
    server_state *st = state_of(rtsp);
    auto it = st->conns.find(fd);
    if (it == st->conns.end())
        return false;
    bool keep = true;
    if (events & EPOLLOUT)
        keep = rtsp_tcp_out_flush(it->second->out) == 0;
    if (keep && (events & EPOLLIN))
        keep = read_conn(rtsp, it->second.get());
    /* A peer that half-closed after its requests is served first: the
     * hang-up closes the connection once its bytes are read. */
    if (keep && (events & (EPOLLHUP | EPOLLERR)))
        keep = false;
    if (keep && (events & EPOLLRDHUP) && !(events & EPOLLIN))
        keep = false;
    if (!keep)
        close_conn(rtsp, fd);
    return keep;
}

/* Closes connections that hold no session and made no complete request
 * for conn_idle_ms.  Runs at most once a second. */
void sweep_idle(rtsp_t *rtsp)
{
    server_state *st = state_of(rtsp);
    uint64_t now = mono_ms();
    if (rtsp->conn_idle_ms <= 0 || now < st->last_sweep_ms + 1000)
        return;
    st->last_sweep_ms = now;
    std::vector<int> idle;
    for (auto &kv : st->conns)
        if (now >= kv.second->last_req_ms + (uint64_t)rtsp->conn_idle_ms)
            idle.push_back(kv.first);
    if (idle.empty())
        return;
    std::set<int> held;
    struct list_head *pos;
    list_for_each(pos, &rtsp->list_head_chn) {
        rtsp_channel_t *c = list_entry(pos, rtsp_channel_t, list);
        ll_lock lk(&c->mutex_session);
        struct list_head *sp;
        list_for_each(sp, &c->list_head_session)
            held.insert(list_entry(sp, session_t, list)->client_fd);
    }
    for (int fd : idle)
        if (!held.count(fd))
            close_conn(rtsp, fd);
}

/* Frees retired sessions and detaches channels without sessions. */
void channel_check(rtsp_t *rtsp)
{
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &rtsp->list_head_chn) {
        rtsp_channel_t *c = list_entry(pos, rtsp_channel_t, list);
        rtsp_reap_sessions(rtsp, c);
        bool empty;
        rtsp_status first = RTSP_STATUS_DEFAULT;
        {
            ll_lock lk(&c->mutex_session);
            empty = list_empty(&c->list_head_session);
            if (!empty)
                first = list_first_entry(&c->list_head_session, session_t, list)->status;
        }
        int running = __atomic_load_n(&c->is_running, __ATOMIC_ACQUIRE);
        /* A few a second at most: the check runs after every event. */
        if (!empty && rtsp_rate_allow(&state_of(rtsp)->check_log, mono_ms(), 2))
            LL_LOG(LOG_LEVEL_DEBUG, kServerThread,
                   "rtsp channel [ %s ] is created, live status:%d\n", c->chn_name, running);
        if (empty || (!running && first > RTSP_STATUS_PLAY)) {
            LL_LOG(LOG_LEVEL_DEBUG, kServerThread,
                   "to detach rtsp channel [ %s ], live status:%d\n", c->chn_name, running);
            rtsp_detach_channel(rtsp, c);
        }
    }
}

bool add_to_epoll(int epfd, int fd, uint32_t events)
{
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = events;
    ev.data.fd = fd;
    return epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void event_loop(rtsp_t *rtsp)
{
    server_state *st = state_of(rtsp);
    while (__atomic_load_n(&rtsp->is_running, __ATOMIC_ACQUIRE)) {
        struct epoll_event evs[kMaxEvents];
        int n = epoll_wait(st->epfd, evs, kMaxEvents, kWaitMs);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            LL_LOG(LOG_LEVEL_ERROR, kServerThread, "epoll_wait failed : %s", strerror(errno));
            return;
        }
        for (int i = 0; i < n; i++) {
            const struct epoll_event &ev = evs[i];
            if (ev.data.fd == st->listen_fd) {
                accept_all(rtsp);
            } else if (ev.data.fd == rtsp->wake_fd) {
                uint64_t v;
                ssize_t r = read(rtsp->wake_fd, &v, sizeof(v));
                (void)r;
            } else {
                /* A connection closed by an earlier event of this batch
                 * is no longer in the table and is skipped. */
                handle_conn_event(rtsp, ev.data.fd, ev.events);
            }
        }
        channel_check(rtsp);
        sweep_idle(rtsp);
    }
}

}  // namespace

extern "C" {

int rtsp__conn_open(rtsp_t *rtsp, int fd)
{
    if (!rtsp || fd <= 0)
        return -1;
    if (!rtsp->conns)
        rtsp->conns = new server_state;
    return adopt_conn(rtsp, fd) ? 0 : -1;
}

int rtsp__conn_event(rtsp_t *rtsp, int fd, uint32_t events)
{
    if (!rtsp || !rtsp->conns)
        return 0;
    return handle_conn_event(rtsp, fd, events) ? 1 : 0;
}

void rtsp__conns_close(rtsp_t *rtsp)
{
    if (!rtsp || !rtsp->conns)
        return;
    server_state *st = state_of(rtsp);
    while (!st->conns.empty())
        close_conn(rtsp, st->conns.begin()->first);
    delete st;
    rtsp->conns = nullptr;
}

void rtsp__set_clock(rtsp_clock_fn fn)
{
    __atomic_store_n(&g_clock, fn ? fn : real_mono_ms, __ATOMIC_RELEASE);
}

uint64_t rtsp_mono_ms(void)
{
    return mono_ms();
}

void rtsp__set_thread_create(rtsp_thread_create_fn fn)
{
    g_thread_create = fn ? fn : pthread_create;
}

uint64_t rtsp_now_sec(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (uint64_t)tv.tv_sec;
}

struct rtsp_tcp_out *rtsp_conn_out(rtsp_t *rtsp, int fd)
{
    server_state *st = rtsp ? state_of(rtsp) : nullptr;
    if (!st)
        return nullptr;
    auto it = st->conns.find(fd);
    return it == st->conns.end() ? nullptr : it->second->out;
}

void *rtsp_main(void *arg)
{
    rtsp_t *rtsp = static_cast<rtsp_t *>(arg);
    if (!rtsp)
        return nullptr;
    signal(SIGPIPE, SIG_IGN);
    server_state *st = state_of(rtsp);
    st->epfd = epoll_create1(EPOLL_CLOEXEC);
    st->spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (st->epfd >= 0) {
        st->listen_fd = open_listener(rtsp);
        if (st->listen_fd >= 0) {
            if (add_to_epoll(st->epfd, st->listen_fd, EPOLLIN | EPOLLRDHUP | EPOLLET) &&
                add_to_epoll(st->epfd, rtsp->wake_fd, EPOLLIN)) {
                __atomic_store_n(&rtsp->listening, 1, __ATOMIC_RELEASE);
                event_loop(rtsp);
            } else {
                LL_LOG(LOG_LEVEL_ERROR, kServerThread, "epoll_ctl failed : %s", strerror(errno));
            }
        }
    }
    /* Connections left open are closed here, once, so no session holds a
     * descriptor past the server's end. */
    while (!st->conns.empty())
        close_conn(rtsp, st->conns.begin()->first);
    if (st->epfd >= 0)
        close(st->epfd);
    if (st->listen_fd >= 0)
        close(st->listen_fd);
    if (st->spare_fd >= 0)
        close(st->spare_fd);
    st->epfd = st->listen_fd = st->spare_fd = -1;
    __atomic_store_n(&rtsp->listening, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&rtsp->is_running, 0, __ATOMIC_RELEASE);
    return nullptr;
}

rtsp_t *rtsp_create_on_port(int32_t conf_handle, int32_t port)
{
    /* Descriptor 0 means "none" to a session, and the request handler
     * refuses it: a program started with standard streams closed must not
     * hand those numbers to connections or RTP sockets. */
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR);

    rtsp_t *rtsp = static_cast<rtsp_t *>(calloc(1, sizeof(rtsp_t)));
    if (!rtsp) {
        LL_LOG(LOG_LEVEL_ERROR, kCreate, "malloc rtsp failed");
        return nullptr;
    }
    char buf[20];
    memset(buf, 0, sizeof(buf));
    ll_get_config_key_value(conf_handle, "RTSP", "port", buf);
    rtsp->port = atoi(buf);
    ll_get_config_key_value(conf_handle, "RTSP", "max_idle_time", buf);
    rtsp->max_idle_tm = atoi(buf);
    if (port > 0)
        rtsp->port = port;
    if (rtsp->port == 0)
        rtsp->port = DOVU_RTSP_PORT;
    if (rtsp->max_idle_tm == 0)
        rtsp->max_idle_tm = 180;
    rtsp->rtp_port_base = RTSP_RTP_PORT_BASE;
    rtsp->max_conns = DOVU_RTSP_MAX_CONN;
    /* The environment may raise or lower the cap (a bench of many players). */
    const char *cap = getenv("DOVU_RTSP_MAX_CONN");
    if (cap && atoi(cap) > 0)
        rtsp->max_conns = atoi(cap);
    rtsp->conn_idle_ms = RTSP_CONN_IDLE_MS;
    rtsp->fd_reserve = RTSP_FD_RESERVE;
    /* Digest authentication when the credentials file is there; the
     * environment may name another file (tests, a field set-up). */
    const char *cred = getenv("DOVU_RTSP_CREDENTIALS");
    if (!cred || !*cred)
        cred = DOVU_RTSP_CREDENTIALS;
    rtsp->auth = rtsp_auth_load(cred);
    if (rtsp->auth)
        ll_printf(LOG_LEVEL_INFO, "[%s]rtsp requests need credentials of realm \"%s\" (%s)\n",
                  ll_getCurrentTimeStr(), rtsp_auth_realm(static_cast<rtsp_auth *>(rtsp->auth)), cred);
    else if (*cred)
        ll_printf(LOG_LEVEL_WARNING, "[%s]no valid credentials in %s: rtsp without authentication\n",
                  ll_getCurrentTimeStr(), cred);

    if (pthread_mutex_init(&rtsp->mutex_chn, nullptr) != 0) {
        LL_LOG(LOG_LEVEL_ERROR, kCreate, "pthread_mutex_init failed : %s", strerror(errno));
        rtsp_auth_free(static_cast<rtsp_auth *>(rtsp->auth));
        free(rtsp);
        return nullptr;
    }
    rtsp->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    server_state *st = new (std::nothrow) server_state;
    if (rtsp->wake_fd < 0 || !st) {
        LL_LOG(LOG_LEVEL_ERROR, kCreate, "eventfd failed : %s", strerror(errno));
        if (rtsp->wake_fd >= 0)
            close(rtsp->wake_fd);
        delete st;
        pthread_mutex_destroy(&rtsp->mutex_chn);
        rtsp_auth_free(static_cast<rtsp_auth *>(rtsp->auth));
        free(rtsp);
        return nullptr;
    }
    rtsp->conns = st;
    INIT_LIST_HEAD(&rtsp->list_head_chn);
    rtsp->is_running = 1;
    int err = g_thread_create(&rtsp->main_th, nullptr, rtsp_main, rtsp);
    if (err != 0) {
        LL_LOG(LOG_LEVEL_ERROR, kCreate, "pthread_create failed : %s", strerror(err));
        close(rtsp->wake_fd);
        delete st;
        pthread_mutex_destroy(&rtsp->mutex_chn);
        rtsp_auth_free(static_cast<rtsp_auth *>(rtsp->auth));
        free(rtsp);
        return nullptr;
    }
    set_thread_name(rtsp->main_th, "rtsp_server", "");
    char what[32];
    snprintf(what, sizeof(what), "on port %d", rtsp->port);
    ll_printf(LOG_LEVEL_INFO, "[%s]create rtsp server %s success", ll_getCurrentTimeStr(), what);
    return rtsp;
}

rtsp_t *rtsp_create(int32_t conf_handle)
{
    return rtsp_create_on_port(conf_handle, 0);
}

void rtsp_destroy(rtsp_t *rtsp)
{
    if (!rtsp)
        return;
    __atomic_store_n(&rtsp->is_running, 0, __ATOMIC_RELEASE);
    uint64_t one = 1;   /* end the wait now rather than at its one-second tick */
    ssize_t w = write(rtsp->wake_fd, &one, sizeof(one));
    (void)w;
    pthread_join(rtsp->main_th, nullptr);
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &rtsp->list_head_chn)
        rtsp_detach_channel(rtsp, list_entry(pos, rtsp_channel_t, list));
    delete state_of(rtsp);
    rtsp_auth_free(static_cast<rtsp_auth *>(rtsp->auth));
    close(rtsp->wake_fd);
    pthread_mutex_destroy(&rtsp->mutex_chn);
    free(rtsp);
}

/* ---- channels ------------------------------------------------------------ */

rtsp_channel_t *rtsp_find_channel(rtsp_t *rtsp, const char *chn_name)
{
    if (!rtsp || !chn_name || !*chn_name)
        return nullptr;
    struct list_head *pos;
    list_for_each(pos, &rtsp->list_head_chn) {
        rtsp_channel_t *c = list_entry(pos, rtsp_channel_t, list);
        if (strcmp(c->chn_name, chn_name) == 0)
            return c;
    }
    return nullptr;
}

void rtsp_channel_init(rtsp_channel_t *p_chn, rtsp_t *rtsp, const char *name)
{
    snprintf(p_chn->chn_name, sizeof(p_chn->chn_name), "%s", name);
    p_chn->rtsp = rtsp;
    rtp_header *h = &p_chn->video_rtp_pkt.header;
    h->rtp_version = 2;
    h->padding = 0;
    h->extention = 0;
    h->csrc_count = 0;
    h->marker = 0;
    h->payload_type = PAYLOAD_RTP_H264;
    h->seq = 0;
    h->ts = 0;
    /* The template's address: fixed for the channel's life and distinct
     * between live channels. */
    h->ssrc = (uint32_t)(uintptr_t)&p_chn->video_rtp_pkt;
    p_chn->audio_rtp_pkt = p_chn->video_rtp_pkt;
    p_chn->audio_rtp_pkt.header.ssrc = (uint32_t)(uintptr_t)&p_chn->audio_rtp_pkt;
    p_chn->audio_rtp_pkt.header.payload_type = PAYLOAD_RTP_AAC;
    INIT_LIST_HEAD(&p_chn->list_head_session);
    INIT_LIST_HEAD(&p_chn->list_head_dead);
    pthread_mutex_init(&p_chn->mutex_session, nullptr);
    pthread_cond_init(&p_chn->cond_sends, nullptr);
}

rtsp_channel_t *rtsp_add_channel(rtsp_t *rtsp, const char *s_chn_name)
{
    if (!rtsp || !s_chn_name || !*s_chn_name)
        return nullptr;
    char src_part[kSrcPartMax + 1];
    char chn_part[kChnPartMax + 1];
    const char *slash = strchr(s_chn_name, '/');
    size_t src_len = slash ? (size_t)(slash - s_chn_name) : 0;
    const char *chn = slash ? slash + 1 : s_chn_name;
    if (src_len > kSrcPartMax || strlen(chn) > kChnPartMax ||
        strlen(s_chn_name) >= sizeof(((rtsp_channel_t *)nullptr)->chn_name))
        return nullptr;
    memcpy(src_part, s_chn_name, src_len);
    src_part[src_len] = '\0';
    snprintf(chn_part, sizeof(chn_part), "%s", chn);

    rtsp_channel_t *p_chn = static_cast<rtsp_channel_t *>(calloc(1, sizeof(rtsp_channel_t)));
    if (!p_chn) {
        LL_LOG(LOG_LEVEL_ERROR, __func__, "malloc channel for %s failed\n", s_chn_name);
        return nullptr;
    }
    /* Video starts with the channel, audio when a session sets its track
     * up (or now, for a source without video). */
    p_chn->src = dovu_start_medium(src_part, chn_part, 0, &p_chn->src_vhandle);
    if (p_chn->src && !p_chn->src_vhandle)
        dovu_start_medium(src_part, chn_part, 1, &p_chn->src_ahandle);
    if (!p_chn->src || (!p_chn->src_vhandle && !p_chn->src_ahandle)) {
        LL_LOG(LOG_LEVEL_ERROR, __func__, "start avstream failed\n");
        free(p_chn);
        return nullptr;
    }
    dovu_get_stream_info(p_chn->src, chn_part, &p_chn->audio_info, &p_chn->video_info);
    rtsp_channel_init(p_chn, rtsp, s_chn_name);
    snprintf(p_chn->src_name, sizeof(p_chn->src_name), "%s", src_part);
    snprintf(p_chn->src_chn, sizeof(p_chn->src_chn), "%s", chn_part);

    if (p_chn->src_vhandle) {
        if (g_thread_create(&p_chn->video_th, nullptr, rtsp_chn_video_main, p_chn) != 0) {
            /* The stream started above would otherwise stay started. */
            dovu_release_avstream(p_chn->src, p_chn->src_vhandle, p_chn->src_ahandle);
            pthread_mutex_destroy(&p_chn->mutex_session);
            pthread_cond_destroy(&p_chn->cond_sends);
            free(p_chn);
            return nullptr;
        }
        p_chn->has_video_th = 1;
        set_thread_name(p_chn->video_th, "rtsp_v_", chn_part);
    }
    {
        ll_lock lk(&rtsp->mutex_chn);
        list_add_tail(&p_chn->list, &rtsp->list_head_chn);
    }
    ll_printf(LOG_LEVEL_INFO, "[%s]create rtsp channel [ %s ] success!\n", ll_getCurrentTimeStr(),
              p_chn->chn_name);
    return p_chn;
}

void rtsp_detach_channel(rtsp_t *rtsp, rtsp_channel_t *p_chn)
{
    if (!rtsp || !p_chn)
        return;
    __atomic_store_n(&p_chn->quit, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&p_chn->is_running, 0, __ATOMIC_RELEASE);
    /* The audio thread reads has_video_th: both end before either flag
     * changes. */
    if (p_chn->has_video_th)
        pthread_join(p_chn->video_th, nullptr);
    if (p_chn->has_audio_th)
        pthread_join(p_chn->audio_th, nullptr);
    p_chn->has_video_th = 0;
    p_chn->has_audio_th = 0;
    /* From here no other thread touches the channel. */
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &p_chn->list_head_session)
        rtsp_detach_session(p_chn, list_entry(pos, session_t, list));
    rtsp_reap_sessions(rtsp, p_chn);
    rtsp_channel_release_media(p_chn);
    {
        ll_lock lk(&rtsp->mutex_chn);
        list_del(&p_chn->list);
    }
    dovu_release_avstream(p_chn->src, p_chn->src_vhandle, p_chn->src_ahandle);
    pthread_mutex_destroy(&p_chn->mutex_session);
    pthread_cond_destroy(&p_chn->cond_sends);
    ll_printf(LOG_LEVEL_INFO, "[%s]-------------------detach rtsp channel [ %s ]!------------------\n",
              ll_getCurrentTimeStr(), p_chn->chn_name);
    free(p_chn);
}

int rtsp_channel_has_audio(const rtsp_channel_t *p_chn)
{
    return p_chn && p_chn->audio_info.type == AUDIO_TYPE_AAC &&
           p_chn->audio_info.sample_rate > 0 && p_chn->audio_info.channel > 0;
}

int rtsp_channel_start_audio(rtsp_channel_t *p_chn)
{
    if (!p_chn || !rtsp_channel_has_audio(p_chn))
        return 0;
    if (p_chn->has_audio_th)
        return 1;
    if (!p_chn->src_ahandle) {
        void *h = nullptr;
        void *src = dovu_start_medium(p_chn->src_name, p_chn->src_chn, 1, &h);
        if (src != p_chn->src) {
            /* The source was replaced since the channel started. */
            dovu_release_medium(src, 1, h);
            return 0;
        }
        if (!h)
            return 0;
        p_chn->src_ahandle = h;
    }
    if (g_thread_create(&p_chn->audio_th, nullptr, rtsp_chn_audio_main, p_chn) != 0) {
        LL_LOG(LOG_LEVEL_ERROR, __func__, "audio thread of [ %s ] not started\n", p_chn->chn_name);
        return 0;
    }
    p_chn->has_audio_th = 1;
    set_thread_name(p_chn->audio_th, "rtsp_a_", p_chn->src_chn);
    return 1;
}

/* ---- sessions ------------------------------------------------------------ */

session_t *rtsp_channel_add_session(rtsp_channel_t *p_chn, int cfd)
{
    if (!p_chn || cfd < 0)
        return nullptr;
    session_t *ses = static_cast<session_t *>(calloc(1, sizeof(session_t)));
    if (!ses) {
        LL_LOG(LOG_LEVEL_ERROR, __func__, "malloc session for channel %s failed\n",
               p_chn->chn_name);
        return nullptr;
    }
    uint64_t now = rtsp_now_sec();
    ses->client_fd = cfd;
    ses->session_id = cfd > 0 ? (int32_t)(now % (uint64_t)cfd) : 0;
    /* A session that never sends another request is still swept 65 s on. */
    ses->tm_last_access = now;
    /* The parameter sets travel in the stream, before every IDR picture: a
     * player that starts mid-picture-group could decode nothing until the
     * next one, so its video starts with a key frame. */
    ses->wait_key = 1;
    {
        ll_lock lk(&p_chn->mutex_session);
        list_add_tail(&ses->list, &p_chn->list_head_session);
    }
    LL_LOG(LOG_LEVEL_DEBUG, __func__, "add new session, fd %d of channel [ %s ]\n", cfd,
           p_chn->chn_name);
    return ses;
}

session_t *rtsp_find_session(rtsp_channel_t *channel, int cfd)
{
    if (!channel)
        return nullptr;
    ll_lock lk(&channel->mutex_session);
    struct list_head *pos;
    list_for_each(pos, &channel->list_head_session) {
        session_t *s = list_entry(pos, session_t, list);
        if (s->client_fd == cfd)
            return s;
    }
    return nullptr;
}

void rtsp_detach_session(rtsp_channel_t *p_chn, session_t *ses)
{
    if (!p_chn || !ses)
        return;
    bool moved = false;
    {
        ll_lock lk(&p_chn->mutex_session);
        struct list_head *pos;
        list_for_each(pos, &p_chn->list_head_session) {
            if (pos == &ses->list) {
                list_del(&ses->list);
                list_add_tail(&ses->list, &p_chn->list_head_dead);
                moved = true;
                break;
            }
        }
    }
    if (moved && p_chn->rtsp && p_chn->rtsp->wake_fd > 0) {
        uint64_t one = 1;
        ssize_t r = write(p_chn->rtsp->wake_fd, &one, sizeof(one));
        (void)r;
    }
}

void rtsp_reap_sessions(rtsp_t *rtsp, rtsp_channel_t *p_chn)
{
    if (!p_chn)
        return;
    struct list_head dead;
    INIT_LIST_HEAD(&dead);
    {
        ll_lock lk(&p_chn->mutex_session);
        if (list_empty(&p_chn->list_head_dead))
            return;
        /* Splice the graveyard into the local list. */
        dead.next = p_chn->list_head_dead.next;
        dead.prev = p_chn->list_head_dead.prev;
        dead.next->prev = &dead;
        dead.prev->next = &dead;
        INIT_LIST_HEAD(&p_chn->list_head_dead);
    }
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &dead) {
        session_t *s = list_entry(pos, session_t, list);
        list_del(&s->list);
        int fd = s->client_fd;   /* no other thread sees it any more */
        if (rtsp && fd > 0)
            close_conn(rtsp, fd);
        rtsp_tcp_out_unref(s->tcp_out);
        s->tcp_out = nullptr;
        int32_t *udp[4] = {&s->audio_rtcp_udp_fd, &s->audio_rtp_udp_fd, &s->video_rtcp_udp_fd,
                           &s->video_rtp_udp_fd};
        for (int32_t *u : udp)
            if (*u > 0)
                close(*u);
        LL_LOG(LOG_LEVEL_DEBUG, "rtsp_detach_session", "detach session fd %d of channel [ %s ]\n",
               fd, p_chn->chn_name);
        free(s);
    }
}

rtsp_status rtsp_session_get_status(rtsp_channel_t *p_chn, session_t *ses)
{
    ll_lock lk(&p_chn->mutex_session);
    return ses->status;
}

void rtsp_session_set_status(rtsp_channel_t *p_chn, session_t *ses, rtsp_status st)
{
    ll_lock lk(&p_chn->mutex_session);
    ses->status = st;
}

}  // extern "C"
