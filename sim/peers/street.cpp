#include "peers/street.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "board/board.h"

namespace {

void write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        // send() on sockets: a peer that went away must not raise SIGPIPE.
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK)
            w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN) {
            pollfd pf{fd, POLLOUT, 0};
            poll(&pf, 1, 100);
            continue;
        }
        if (w <= 0)
            return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

}  // namespace

uint16_t modbus_crc(const uint8_t *p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

long process_status(int pid, const char *key)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t n = std::strlen(key);
    while (std::getline(f, line))
        if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':')
            return std::strtol(line.c_str() + n + 1, nullptr, 10);
    return -1;
}

std::string make_run_dir(const char *name)
{
    const char *tmp = std::getenv("TMPDIR");
    for (std::string base : {"/dev/shm", tmp && *tmp ? tmp : "/tmp"}) {
        std::string dir = base + "/" + name + "-XXXXXX";
        if (mkdtemp(dir.data()) != nullptr)
            return dir;
    }
    return {};
}

void remove_tree(const std::string &root)
{
    if (!root.empty())
        nftw(
            root.c_str(),
            [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
}

bool wait_for(const std::function<bool()> &pred, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bytes make_frame(const bytes &body)
{
    bytes f = {0xA3, 0x20, static_cast<uint8_t>(body.size() >> 8),
               static_cast<uint8_t>(body.size())};
    f.insert(f.end(), body.begin(), body.end());
    uint16_t crc = modbus_crc(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc));
    return f;
}

bytes make_frame(const uint8_t addr[6], uint8_t type, uint8_t prefix0, uint8_t prefix1,
                 uint8_t command, const bytes &payload)
{
    bytes body(addr, addr + 6);
    body.insert(body.end(), {type, prefix0, prefix1, command});
    body.insert(body.end(), payload.begin(), payload.end());
    return make_frame(body);
}

bytes radio_frame(const bytes &frame)
{
    bytes r = {frame.at(11), frame.at(12)};
    r.insert(r.end(), frame.begin(), frame.end());
    return r;
}

std::string describe_frame(const bytes &f)
{
    if (f.size() < 14)
        return hex(f);
    char t[80];
    std::snprintf(t, sizeof t, "type %u, command %02X, address %s", f[10], f[13],
                  hex(&f[4], 6).c_str());
    return t;
}

// ---------------------------------------------------------------- serial

SerialPeer::SerialPeer() = default;

SerialPeer::~SerialPeer()
{
    hang_up();
    if (slave_ >= 0)
        close(slave_);
}

bool SerialPeer::start()
{
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        return false;
    termios t;
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    path_ = name;
    reader_ = std::thread([this] { run(); });
    return true;
}

void SerialPeer::run()
{
    uint8_t buf[4096];
    while (!stop_.load()) {
        pollfd pf{master_, POLLIN, 0};
        if (poll(&pf, 1, 20) <= 0)
            continue;
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        take(buf, static_cast<size_t>(n));
    }
}

// Passes a chunk on. While a drain waits for its marker, bytes are held
// back until the marker is among them; what surrounds it goes on in one
// piece and the marker is dropped.
void SerialPeer::take(const uint8_t *p, size_t n)
{
    bytes chunk(p, p + n);
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!marker_.empty()) {
            held_.insert(held_.end(), chunk.begin(), chunk.end());
            auto at = std::search(held_.begin(), held_.end(), marker_.begin(), marker_.end());
            if (at == held_.end())
                return;
            chunk.assign(held_.begin(), at);
            chunk.insert(chunk.end(), at + static_cast<long>(marker_.size()), held_.end());
            held_.clear();
            marker_.clear();
            marker_seen_ = true;
        }
        if (keep_received.load())
            received_.insert(received_.end(), chunk.begin(), chunk.end());
    }
    if (!chunk.empty() && on_bytes)
        on_bytes(chunk);
}

bool SerialPeer::drain(int timeout_ms)
{
    if (master_ < 0 || slave_ < 0)
        return false;
    // High bytes only, none a control character that a line setting could
    // turn into something else; drawn afresh each time.
    static std::atomic<unsigned> serial{0};
    std::mt19937 rng(
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) +
        serial.fetch_add(1));
    bytes mark(16);
    for (uint8_t &b : mark)
        b = static_cast<uint8_t>(0x80 + rng() % 0x7F);
    {
        std::lock_guard<std::mutex> hold(lock_);
        marker_ = mark;
        held_.clear();
        marker_seen_ = false;
    }
    write_all(slave_, mark.data(), mark.size());
    const bool seen = wait_for(
        [this] {
            std::lock_guard<std::mutex> hold(lock_);
            return marker_seen_;
        },
        timeout_ms);
    if (seen)
        return true;
    // The marker never came: what was held back goes on, late.
    bytes rest;
    {
        std::lock_guard<std::mutex> hold(lock_);
        marker_.clear();
        rest.swap(held_);
    }
    if (!rest.empty() && on_bytes)
        on_bytes(rest);
    return false;
}

void SerialPeer::send(const bytes &b)
{
    if (master_ >= 0)
        write_all(master_, b.data(), b.size());
}

bytes SerialPeer::received() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
}

size_t SerialPeer::received_size() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return received_.size();
}

void SerialPeer::hang_up()
{
    stop_.store(true);
    if (reader_.joinable())
        reader_.join();
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

// ---------------------------------------------------------------- server

ServerPeer::ServerPeer() = default;

ServerPeer::~ServerPeer()
{
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
    {
        std::lock_guard<std::mutex> hold(lock_);
        close_conn_locked();
    }
    if (listen_fd_ >= 0)
        close(listen_fd_);
    tls_end();
}

bool ServerPeer::start()
{
    if (!listen_on(0))
        return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

// Listens on 127.0.0.1:port (0: an ephemeral one, stored in port_).
bool ServerPeer::listen_on(int port)
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 4) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    if (port == 0)
        port_ = ntohs(a.sin_port);  // listening again keeps the port
    return true;
}

void ServerPeer::set_refusing(bool refuse)
{
    refuse_.store(refuse);
    if (refuse)
        drop();
}

void ServerPeer::run()
{
    while (!stop_.load()) {
        if (!follow_refusal()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        int conn;
        {
            std::lock_guard<std::mutex> hold(lock_);
            conn = conn_;
        }
        pollfd pf[2] = {{listen_fd_, POLLIN, 0}, {conn, POLLIN, 0}};
        const int ready = poll(pf, 2, 20);
        if (ready == 0)
            quiet_passes_.fetch_add(1);
        if (ready <= 0)
            continue;
        // The current connection before a new one: a gateway that rebuilt
        // its link wrote its last bytes on the old one before connecting.
        if ((pf[0].revents & POLLIN) != 0 && !(conn >= 0 && pf[1].revents != 0))
            accept_next(conn);
        else if (conn >= 0 && pf[1].revents)
            read_from(conn);
    }
}

// Only this thread opens and closes the listening socket once running:
// closed while refusing, opened again on the same port after. False while
// the port cannot be had again.
bool ServerPeer::follow_refusal()
{
    if (refuse_.load() && listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
    } else if (!refuse_.load() && listen_fd_ < 0 && !listen_on(port_)) {
        return false;
    }
    return true;
}

// Accepts a connection; it replaces conn, the current one, if any.
void ServerPeer::accept_next(int conn)
{
    int c = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0)
        return;
    ssl_st *session = nullptr;
    if (tls_ctx_ != nullptr && (session = tls_accept(c)) == nullptr) {
        close(c);
        return;
    }
    int count;
    bool replaced;
    {
        std::lock_guard<std::mutex> hold(lock_);
        // The gateway rebuilt its link before we saw the old one end: it
        // closed that one all the same.
        replaced = conn_ >= 0 && !dropped_;
    }
    if (replaced)
        read_rest(conn);
    {
        std::lock_guard<std::mutex> hold(lock_);
        close_conn_locked();
        conn_ = c;
        ssl_ = session;
        dropped_ = false;
        pending_.clear();
        count = ++connections_;
    }
    if (replaced && on_close)
        on_close();
    if (on_connect)
        on_connect(count);
}

// Reads what conn holds; closes it at its end.
void ServerPeer::read_from(int conn)
{
    uint8_t buf[4096];
    bool was_dropped;
    {
        std::lock_guard<std::mutex> hold(lock_);
        was_dropped = dropped_;
    }
    // A dropped connection may still deliver what the gateway wrote after
    // the shutdown; it is closed unread.
    ssize_t n = was_dropped ? 0 : conn_read(conn, buf, sizeof buf);
    if (n > 0) {
        handle(bytes(buf, buf + n));
        return;
    }
    if (n == -2)
        return;
    bool closed = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (conn_ == conn) {
            close_conn_locked();
            dropped_ = false;
            closed = true;
        }
    }
    // A connection we dropped ourselves is not the gateway's close.
    if (closed && !was_dropped && on_close)
        on_close();
}

void ServerPeer::read_rest(int conn)
{
    uint8_t buf[4096];
    ssize_t n;
    while ((n = tls_ctx_ != nullptr ? conn_read(conn, buf, sizeof buf)
                                    : recv(conn, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        handle(bytes(buf, buf + n));
}

bool ServerPeer::drain(bool to_the_end, int timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    auto left_ms = [&end] {
        return static_cast<int>(
            std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                       end - std::chrono::steady_clock::now())
                                       .count()));
    };
    if (to_the_end && !wait_for([this] { return !connected_or_dropped(); }, left_ms()))
        return false;
    // A wait that finds nothing begun after this point: everything that had
    // arrived before it is handled.
    const unsigned from = quiet_passes_.load();
    return wait_for([this, from] { return quiet_passes_.load() >= from + 2; }, left_ms());
}

void ServerPeer::handle(const bytes &chunk)
{
    std::vector<bytes> found;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (keep_records.load())
            received_.insert(received_.end(), chunk.begin(), chunk.end());
        pending_.insert(pending_.end(), chunk.begin(), chunk.end());
        // Cut whole, CRC-valid frames from the front; skip bytes that
        // cannot start one.
        size_t i = 0;
        while (i + 6 <= pending_.size()) {
            if (pending_[i] != 0xA3 || pending_[i + 1] != 0x20) {
                ++i;
                continue;
            }
            size_t n = (static_cast<size_t>(pending_[i + 2]) << 8 | pending_[i + 3]) + 6;
            if (i + n > pending_.size())
                break;
            uint16_t crc = modbus_crc(&pending_[i], n - 2);
            if (pending_[i + n - 2] != (crc >> 8) || pending_[i + n - 1] != (crc & 0xFF)) {
                ++i;
                continue;
            }
            found.emplace_back(pending_.begin() + static_cast<long>(i),
                               pending_.begin() + static_cast<long>(i + n));
            i += n;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(i));
        for (auto &f : found) {
            if (keep_records.load())
                frames_.push_back(f);
            if (f.size() >= 14 && f[10] == 0 && f[13] == 6)
                ++heartbeats_;
        }
    }
    for (auto &f : found) {
        if (on_frame)
            on_frame(f);
        if (f.size() >= 14 && f[10] == 0 && f[13] == 6 && answer_heartbeats.load())
            send(make_frame(&f[4], 0, 0x01, 0x01, 7, {}));
    }
}

void ServerPeer::send(const bytes &b)
{
    std::lock_guard<std::mutex> one_sender(send_lock_);
    send_locked(b);
}

void ServerPeer::send_locked(const bytes &b)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (conn_ >= 0 && !dropped_)
        conn_write_locked(b.data(), b.size());
}

void ServerPeer::conn_write_locked(const uint8_t *p, size_t n)
{
    if (ssl_ != nullptr)
        tls_write_locked(p, n);
    else
        write_all(conn_, p, n);
}

void ServerPeer::send_pieces(const bytes &b, size_t piece, int gap_us)
{
    piece = piece == 0 ? 1 : piece;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (conn_ < 0 || dropped_)
            return;
        int one = 1;  // each write its own segment
        setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    std::lock_guard<std::mutex> one_sender(send_lock_);
    for (size_t at = 0; at < b.size(); at += piece) {
        if (at > 0 && gap_us > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
        send_locked(bytes(b.begin() + static_cast<long>(at),
                          b.begin() + static_cast<long>(std::min(b.size(), at + piece))));
    }
}

void ServerPeer::drop()
{
    // Only shut the connection down: the peer thread may be reading it, and
    // closes it itself when the read sees the end.
    std::lock_guard<std::mutex> hold(lock_);
    if (conn_ >= 0 && !dropped_) {
        close_notify_locked();
        shutdown(conn_, SHUT_RDWR);
        dropped_ = true;
    }
}

int ServerPeer::connections() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return connections_;
}

bool ServerPeer::connected() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return conn_ >= 0 && !dropped_;
}

bool ServerPeer::connected_or_dropped() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return conn_ >= 0;
}

bytes ServerPeer::received() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
}

std::vector<bytes> ServerPeer::frames() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return frames_;
}

int ServerPeer::heartbeats() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return heartbeats_;
}

// ---------------------------------------------------------------- gpio

std::vector<int> board_gpio_lines()
{
    return {board.gpio_modem_reset, board.gpio_key_other, board.gpio_startup_pulse,
            board.gpio_key_ludeng, board.gpio_watchdog};
}

GpioTree::GpioTree(const std::vector<int> &lines)
{
    root_ = make_run_dir("lampgw-gpio");
    if (root_.empty())
        return;
    for (const char *f : {"/export", "/unexport"})
        close(open((root_ + f).c_str(), O_WRONLY | O_CREAT, 0644));
    for (int line : lines) {
        std::string dir = root_ + "/gpio" + std::to_string(line);
        mkdir(dir.c_str(), 0755);
        close(open((dir + "/direction").c_str(), O_WRONLY | O_CREAT, 0644));
        std::string value = dir + "/value";
        mkfifo(value.c_str(), 0644);
        // Held open for reading and writing, so the gateway's opens never
        // block and the FIFO never reports end of file between writes.
        int fd = open(value.c_str(), O_RDWR | O_NONBLOCK);
        fifos_.emplace_back(line, fd);
    }
    thread_ = std::thread([this] { run(); });
}

GpioTree::~GpioTree()
{
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
    for (auto &f : fifos_)
        close(f.second);
    remove_tree(root_);
}

void GpioTree::run()
{
    std::vector<pollfd> pf;
    for (auto &f : fifos_)
        pf.push_back({f.second, POLLIN, 0});
    std::vector<bool> ready(fifos_.size());
    while (!stop_.load()) {
        if (poll(pf.data(), pf.size(), 20) <= 0)
            continue;
        for (size_t i = 0; i < pf.size(); ++i)
            ready[i] = (pf[i].revents & POLLIN) != 0;
        read_fifos(ready);
    }
}

void GpioTree::drain()
{
    read_fifos(std::vector<bool>(fifos_.size(), true));
}

// Reads the FIFOs marked ready (non-blocking) and reports every whole level.
void GpioTree::read_fifos(const std::vector<bool> &ready)
{
    std::lock_guard<std::mutex> one_reader(read_lock_);
    partial_.resize(fifos_.size());
    char buf[256];
    for (size_t i = 0; i < fifos_.size(); ++i) {
        if (!ready[i])
            continue;
        ssize_t n;
        while ((n = read(fifos_[i].second, buf, sizeof buf)) > 0) {
            partial_[i].append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = partial_[i].find('\n')) != std::string::npos) {
                gpio_event e{fifos_[i].first, std::atoi(partial_[i].substr(0, nl).c_str()),
                             std::chrono::steady_clock::now()};
                partial_[i].erase(0, nl + 1);
                if (keep_events.load()) {
                    std::lock_guard<std::mutex> hold(lock_);
                    events_.push_back(e);
                }
                if (on_event)
                    on_event(e);
            }
        }
    }
}

std::vector<gpio_event> GpioTree::events() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return events_;
}

std::vector<int> GpioTree::levels(int line) const
{
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<int> out;
    for (auto &e : events_)
        if (e.line == line)
            out.push_back(e.level);
    return out;
}

int GpioTree::level(int line) const
{
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = events_.rbegin(); it != events_.rend(); ++it)
        if (it->line == line)
            return it->level;
    return -1;
}
