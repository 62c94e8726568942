#include "runtime/connect.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "board/timebase.h"
#include "io/tls.h"
#include "io/wrap.h"
#include "protocol/crc16.h"

namespace {

// Guards sockfd and net_connect_flag changes together with the shutdown and
// the close of the old socket, and every write to the server.
std::mutex link_lock;

// True from start_connector() until the connector has connected (or given
// up because the gateway is stopping).
std::atomic<bool> connector_running{false};

// A link that a thread other than its reader has ended: shut down, not yet
// closed. Set under the link lock; the server pump closes it (-1: none).
std::atomic<int> ended_fd{-1};

// The TLS session of the link on sockfd while TLS is on; nullptr otherwise.
// Read, written and freed only under the link lock.
tls_session *link_tls = nullptr;

// TLS settings from config.txt, read once at start-up (tls_link_setup), and
// what is wrong with them when they cannot be used (empty: nothing).
tls_settings tls_wanted;
char tls_fault[160];

// A handshake or a write waits this long for the server, gateway time: as
// long as a plain write may wait for room (link_socket).
constexpr int TLS_WAIT_MS = 10000;

// Ends the link if it is still the one on sockfd `fd`: link down, the console
// line, the count of `cause`, shutdown (which sends the server its end and
// wakes the server pump out of its wait). False when another thread got there
// first. The caller holds the link lock.
bool link_end_locked(gateway_context *ctx, int fd, gw_counter &cause, const char *line)
{
    if (ctx->net_connect_flag.load() != 1 || ctx->sockfd.load() != fd)
        return false;
    ctx->net_connect_flag.store(0);
    counters_link_changed(gw_seconds());
    counter_add(cause);
    puts(line);
    shutdown(fd, SHUT_RDWR);
    return true;
}

// Closes the socket of an ended link. Only the server pump calls this: no
// other thread reads the socket, so nobody waits on a descriptor that is
// closed, or whose number a later open takes over. The caller holds the link
// lock.
void link_close_locked(gateway_context *ctx, int fd)
{
    if (ctx->sockfd.load() == fd) {
        tls_free(link_tls);
        link_tls = nullptr;
    }
    if (close(fd) == -1)
        puts("close socket error");
    if (ctx->sockfd.load() == fd)
        ctx->sockfd.store(-1);
}

// The end of a link found broken on a thread that may not be its reader: the
// server pump closes it on its next pass.
void link_end(gateway_context *ctx, int fd, gw_counter &cause)
{
    std::lock_guard<std::mutex> hold(link_lock);
    if (link_end_locked(ctx, fd, cause, "socket was closed"))
        ended_fd.store(fd);
}

// A new socket for the link. A server that stops reading must not wedge
// its senders in a write for ever: a write that cannot proceed for 10 s
// fails instead (EAGAIN), and the heartbeat supervisor soon drops the link.
int link_socket()
{
    int fd = Socket(AF_INET, SOCK_STREAM, 0);
    timeval tv = gw_timeval(10, 0);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

// The handshake on a connected socket, when TLS is on. False, with the
// reason on the console and counted, when the settings are unusable (the
// link then stays down: there is no plain fallback) or the server fails
// the checks.
bool tls_handshake(gateway_context *ctx, int fd, tls_session **session)
{
    if (tls_fault[0] != '\0') {
        printf("tls: %s: the link stays down\n", tls_fault);
        counter_add(gw_counters.link.tls_failures);
        return false;
    }
    if (!tls_on() && !tls_start(tls_wanted)) {
        counter_add(gw_counters.link.tls_failures);
        return false;
    }
    const char *name =
        tls_wanted.server_name[0] != '\0' ? tls_wanted.server_name : ctx->server_ip_addr;
    char why[200];
    *session = tls_open(fd, name, gw_poll_ms(TLS_WAIT_MS), why, sizeof why);
    if (*session == nullptr) {
        printf("tls: %s\n", why);
        counter_add(gw_counters.link.tls_failures);
        return false;
    }
    counter_add(gw_counters.link.tls_handshakes);
    return true;
}

// A socket on which connect() failed in a way after which some platforms
// refuse another attempt: start again on a fresh one.
bool socket_unusable(int err)
{
    return err == EINVAL || err == EALREADY || err == EBADF || err == ENOTSOCK;
}

}  // namespace

void start_connector(gateway_context *ctx)
{
    bool idle = false;
    if (!connector_running.compare_exchange_strong(idle, true))
        return;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, connecttoserver, ctx);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        perror("pthread_create ERROR\n");
        exit(1);
    }
}

void *connecttoserver(void *arg)
{
    gateway_context *ctx = static_cast<gateway_context *>(arg);
    connector_running.store(true);

    int fd = link_socket();
    {
        // A connector runs only once an ended link is closed; an end still
        // recorded is one from before a reset of the context, and must not
        // make the server pump close this socket, which may have its number.
        std::lock_guard<std::mutex> hold(link_lock);
        ctx->sockfd.store(fd);
        ended_fd.store(-1);
    }

    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(ctx->server_port & 0xFFFF));
    // Text that is not a dotted address leaves 0.0.0.0.
    (void)inet_pton(AF_INET, ctx->server_ip_addr, &addr.sin_addr);

    tls_session *session = nullptr;
    for (;;) {
        printf("connecting %s:%d\n", ctx->server_ip_addr, ctx->server_port);
        fflush(stdout);
        counter_add(gw_counters.link.attempts);
        int err = 0;
        if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 ||
            errno == EISCONN) {
            if (!tls_wanted.enabled || tls_handshake(ctx, fd, &session))
                break;
            err = EINVAL;  // the refused connection is closed, a fresh socket tries again
        } else {
            err = errno;
        }
        gw_sleep(1);
        // Until it has connected, the socket is the connector's alone: the
        // server pump reads only while the link is up.
        if (gateway_stopping.load()) {
            std::lock_guard<std::mutex> hold(link_lock);
            close(fd);
            ctx->sockfd.store(-1);
            connector_running.store(false);
            return nullptr;
        }
        if (socket_unusable(err)) {
            int fresh = link_socket();
            std::lock_guard<std::mutex> hold(link_lock);
            close(fd);
            fd = fresh;
            ctx->sockfd.store(fd);
        }
    }

    puts("connect success");
    // The link goes up and the connector counts as ended in one step: a link
    // that breaks at once can always start the next connector.
    std::lock_guard<std::mutex> hold(link_lock);
    // A link closed from outside (a test's or the simulator's stop) leaves
    // its session behind; the gateway's own closes have freed theirs.
    tls_free(link_tls);
    link_tls = session;
    ctx->net_connect_flag.store(1);
    counter_add(gw_counters.link.connects);
    counters_link_changed(gw_seconds());
    connector_running.store(false);
    return nullptr;
}

void sigterm(int)
{
    link_end(&net_fd1, net_fd1.sockfd.load(), gw_counters.link.drops_write);
}

ssize_t server_write(gateway_context *ctx, const void *buf, size_t len)
{
    std::lock_guard<std::mutex> hold(link_lock);
    if (ctx->net_connect_flag.load() != 1)
        return -1;
    const int fd = ctx->sockfd.load();
    const ssize_t n = link_tls != nullptr ? tls_write(link_tls, buf, len, gw_poll_ms(TLS_WAIT_MS))
                                          : Write(fd, buf, len);
    if (n == -1 && errno == EPIPE) {
        if (link_end_locked(ctx, fd, gw_counters.link.drops_write, "socket was closed"))
            ended_fd.store(fd);
        errno = EPIPE;
    }
    return n;
}

void server_closed(gateway_context *ctx, int fd)
{
    link_end(ctx, fd, gw_counters.link.drops_closed);
}

void close_ended_link(gateway_context *ctx)
{
    if (ended_fd.load() < 0)
        return;
    {
        std::lock_guard<std::mutex> hold(link_lock);
        const int fd = ended_fd.exchange(-1);
        // Only the link that was ended, and only while it is still down.
        if (fd < 0 || ctx->sockfd.load() != fd || ctx->net_connect_flag.load() == 1)
            return;
        link_close_locked(ctx, fd);
    }
    gw_sleep(1);
    start_connector(ctx);
}

bool tls_link_setup(const char *config_file)
{
    tls_fault[0] = '\0';
    if (!tls_settings_read(config_file, &tls_wanted, tls_fault, sizeof tls_fault)) {
        printf("tls: %s: the link stays down\n", tls_fault);
        tls_wanted.enabled = true;  // no plain fallback for a half-made setting
        return false;
    }
    if (tls_wanted.enabled)
        printf("tls: on, trusting %s\n", tls_wanted.ca_file);
    return !tls_wanted.enabled || tls_start(tls_wanted);
}

bool tls_link_on()
{
    return tls_wanted.enabled;
}

ssize_t server_read_tls(gateway_context *ctx, int fd, void *buf, size_t size, int timeout_s)
{
    bool waiting = true;
    {
        std::lock_guard<std::mutex> hold(link_lock);
        waiting = link_tls == nullptr || !tls_pending(link_tls);
    }
    if (waiting) {
        pollfd p = {fd, POLLIN, 0};
        if (fd < 0 || poll(&p, 1, gw_poll_ms(1000 * timeout_s)) <= 0)
            return 0;
    }
    std::lock_guard<std::mutex> hold(link_lock);
    if (link_tls == nullptr || ctx->sockfd.load() != fd || ctx->net_connect_flag.load() != 1)
        return 0;
    char why[160];
    const ssize_t n = tls_read(link_tls, buf, size, why, sizeof why);
    if (n < 0 && why[0] != '\0') {
        printf("tls: %s\n", why);
        counter_add(gw_counters.link.tls_failures);
    }
    return n;
}

void heartbeat_fill(uint8_t *heartbeat, const uint8_t *addr)
{
    static const uint8_t head[] = {FRAME_START0, FRAME_START1, 0x00,
                                   HEARTBEAT_LEN - FRAME_OVERHEAD};
    // Type 0, radio prefix 01 01, command 6, then the payload's first bytes.
    static const uint8_t body[] = {0x00, 0x01, 0x01, 0x06, 0x85, 0x01, 0xC6};
    std::memset(heartbeat, 0, HEARTBEAT_BUF_SIZE);
    std::memcpy(heartbeat, head, sizeof head);
    std::memcpy(heartbeat + FRAME_ADDR_AT, addr, FRAME_ADDR_LEN);
    std::memcpy(heartbeat + FRAME_TYPE_AT, body, sizeof body);
    heartbeat[21] = 0x01;
    heartbeat[22] = 0x01;
}

int heartbeatprocess(gateway_context *ctx, uint8_t *heartbeat, int *heartbeat_miss_count)
{
    if (ctx->net_connect_flag.load() != 1)
        return 0;

    frame_seal(heartbeat, HEARTBEAT_LEN - FRAME_CRC_LEN);

    if (*heartbeat_miss_count > 4) {
        // The supervisor runs on the server pump, the socket's reader: it
        // closes the link itself and starts the connector at once.
        bool dropped;
        {
            std::lock_guard<std::mutex> hold(link_lock);
            const int fd = ctx->sockfd.load();
            dropped = link_end_locked(ctx, fd, gw_counters.link.drops_silence,
                                      "not receiver heartbeat response socket was closed");
            if (dropped)
                link_close_locked(ctx, fd);
        }
        if (dropped)
            start_connector(ctx);
        *heartbeat_miss_count = 0;
    }

    if (ctx->net_connect_flag.load() == 1) {
        if (server_write(ctx, heartbeat, HEARTBEAT_LEN) == HEARTBEAT_LEN)
            counter_add(gw_counters.link.heartbeats_sent);
        ++*heartbeat_miss_count;
    }
    return 0;
}
