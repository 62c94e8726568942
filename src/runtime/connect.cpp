#include "runtime/connect.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "board/timebase.h"
#include "io/wrap.h"
#include "protocol/crc16.h"

namespace {

// Guards sockfd and net_connect_flag changes together with the close of the
// old socket, and every write to the server.
std::mutex link_lock;

// True from start_connector() until the connector has connected (or given
// up because the gateway is stopping).
std::atomic<bool> connector_running{false};

// Takes the link down if it is still the one on sockfd `fd`. Returns false
// when another thread got there first.
bool link_down_locked(gateway_context *ctx, int fd)
{
    if (ctx->net_connect_flag.load() != 1 || ctx->sockfd.load() != fd)
        return false;
    ctx->net_connect_flag.store(0);
    counters_link_changed(gw_seconds());
    return true;
}

// sigterm's steps for the link that broke on descriptor fd; `cause` counts
// why.
void link_recover(gateway_context *ctx, int fd, gw_counter &cause)
{
    {
        std::lock_guard<std::mutex> hold(link_lock);
        if (!link_down_locked(ctx, fd))
            return;
        counter_add(cause);
        puts("socket was closed");
        if (close(fd) == -1)
            puts("close socket error");
    }
    gw_sleep(1);
    start_connector(ctx);
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
        std::lock_guard<std::mutex> hold(link_lock);
        ctx->sockfd.store(fd);
    }

    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(ctx->server_port & 0xFFFF));
    // Text that is not a dotted address leaves 0.0.0.0.
    (void)inet_pton(AF_INET, ctx->server_ip_addr, &addr.sin_addr);

    for (;;) {
        printf("connecting %s:%d\n", ctx->server_ip_addr, ctx->server_port);
        fflush(stdout);
        counter_add(gw_counters.link.attempts);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 ||
            errno == EISCONN)
            break;
        int err = errno;
        gw_sleep(1);
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
    {
        std::lock_guard<std::mutex> hold(link_lock);
        ctx->net_connect_flag.store(1);
        counter_add(gw_counters.link.connects);
        counters_link_changed(gw_seconds());
    }
    connector_running.store(false);
    return nullptr;
}

void sigterm(int)
{
    link_recover(&net_fd1, net_fd1.sockfd.load(), gw_counters.link.drops_write);
}

ssize_t server_write(gateway_context *ctx, const void *buf, size_t len)
{
    int fd;
    ssize_t n;
    {
        std::lock_guard<std::mutex> hold(link_lock);
        if (ctx->net_connect_flag.load() != 1)
            return -1;
        fd = ctx->sockfd.load();
        n = Write(fd, buf, len);
        if (n != -1 || errno != EPIPE)
            return n;
    }
    link_recover(ctx, fd, gw_counters.link.drops_write);
    errno = EPIPE;
    return -1;
}

void server_closed(gateway_context *ctx, int fd)
{
    link_recover(ctx, fd, gw_counters.link.drops_closed);
}

void heartbeat_fill(uint8_t *heartbeat, const uint8_t *addr)
{
    static const uint8_t head[] = {0xA3, 0x20, 0x00, 0x13};
    static const uint8_t body[] = {0x00, 0x01, 0x01, 0x06, 0x85, 0x01, 0xC6};
    std::memset(heartbeat, 0, 100);
    std::memcpy(heartbeat, head, sizeof head);
    std::memcpy(heartbeat + 4, addr, 6);
    std::memcpy(heartbeat + 10, body, sizeof body);
    heartbeat[21] = 0x01;
    heartbeat[22] = 0x01;
}

int heartbeatprocess(gateway_context *ctx, uint8_t *heartbeat, int *heartbeat_miss_count)
{
    if (ctx->net_connect_flag.load() != 1)
        return 0;

    uint16_t crc = crc16(heartbeat, 23);
    heartbeat[23] = static_cast<uint8_t>(crc & 0xFF);
    heartbeat[24] = static_cast<uint8_t>(crc >> 8);

    if (*heartbeat_miss_count > 4) {
        bool dropped;
        {
            std::lock_guard<std::mutex> hold(link_lock);
            int fd = ctx->sockfd.load();
            dropped = link_down_locked(ctx, fd);
            if (dropped) {
                counter_add(gw_counters.link.drops_silence);
                puts("not receiver heartbeat response socket was closed");
                close(fd);
            }
        }
        if (dropped)
            start_connector(ctx);
        *heartbeat_miss_count = 0;
    }

    if (ctx->net_connect_flag.load() == 1) {
        if (server_write(ctx, heartbeat, 25) == 25)
            counter_add(gw_counters.link.heartbeats_sent);
        ++*heartbeat_miss_count;
    }
    return 0;
}
