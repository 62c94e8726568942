// The parts of a load run: frames and their times, ser2net's clients, the
// hosted gateways with their streets, child processes.
#include "drivers/load_street.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "drivers/simulator.h"

namespace {

const char *const DEVICE_ID = "0102030405A6";

// Takes the load frames out of what ser2net relayed; the rest of pending
// stays for the next read.
void take_relayed(load_state &st, bytes &pending)
{
    size_t i = 0;
    while (i + LOAD_FRAME_BYTES <= pending.size()) {
        const uint8_t *p = &pending[i];
        if (p[0] == 0xA3 && p[1] == 0x20 && p[2] == 0 && p[3] == LOAD_FRAME_BYTES - 6 &&
            p[14] == LOAD_MARK) {
            st.arrived(LOAD_SER2NET, p, LOAD_FRAME_BYTES, load_now_ns());
            i += LOAD_FRAME_BYTES;
        } else {
            ++i;
        }
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(i));
}

}  // namespace

int64_t load_now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               load_clock::now().time_since_epoch())
        .count();
}

void stream_times::init(size_t n)
{
    cap = n;
    sent.reset(new std::atomic<int64_t>[n]);
    got.reset(new std::atomic<int64_t>[n]);
    for (size_t i = 0; i < n; ++i)
        sent[i] = got[i] = 0;
}

bytes load_state::frame(int phase, int port, uint32_t seq)
{
    const uint8_t addr[6] = {0x4C, 0x50, 0x00, static_cast<uint8_t>(port + 1), 0x00, 0x01};
    return make_frame(addr, port == 0 ? 1 : 5, static_cast<uint8_t>(port + 1), 0x01, 0x01,
                      {LOAD_MARK, static_cast<uint8_t>(phase), static_cast<uint8_t>(port),
                       static_cast<uint8_t>(seq >> 24), static_cast<uint8_t>(seq >> 16),
                       static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq), 0x00, 0x00});
}

void load_state::arrived(int d, const uint8_t *f, size_t n, int64_t at)
{
    if (n != LOAD_FRAME_BYTES || f[14] != LOAD_MARK || f[15] >= LOAD_PHASES || f[16] > 1)
        return;
    const uint32_t seq = static_cast<uint32_t>(f[17]) << 24 | static_cast<uint32_t>(f[18]) << 16 |
                         static_cast<uint32_t>(f[19]) << 8 | f[20];
    stream_times &t = times[d][f[15]][f[16]];
    if (seq < t.cap && t.got[seq].exchange(at) == 0)
        ++delivered[d];
}

bool relay_client::connect_to(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    // ser2net needs a moment to open its listening sockets.
    return wait_for(
        [&] {
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
                return true;
            if (fd >= 0)
                close(fd);
            fd = -1;
            return false;
        },
        5000);
}

void relay_client::start(load_state &st)
{
    reader = std::thread([this, &st] {
        bytes pending;
        uint8_t buf[4096];
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            pending.insert(pending.end(), buf, buf + n);
            take_relayed(st, pending);
        }
    });
}

void relay_client::stop()
{
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
    if (reader.joinable())
        reader.join();
    if (fd >= 0)
        close(fd);
    fd = -1;
}

pid_t load_spawn(const std::vector<std::string> &args, const std::string &log)
{
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null_fd = open("/dev/null", O_RDONLY);
    if (fd >= 0 && null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(fd, 1);
        dup2(fd, 2);
    }
    for (int k = 3; k < 4096; ++k)
        close(k);
    execv(argv[0], argv.data());
    _exit(127);
}

void load_stop_child(pid_t pid, int sig)
{
    if (pid <= 0)
        return;
    kill(pid, sig);
    waitpid(pid, nullptr, 0);
}

double load_process_cpu(pid_t pid)
{
    clockid_t clk;
    timespec ts;
    if (pid <= 0 || clock_getcpuclockid(pid, &clk) != 0 || clock_gettime(clk, &ts) != 0)
        return -1;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int load_free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

std::string load_find_ser2net(const std::string &given)
{
    if (!given.empty())
        return access(given.c_str(), X_OK) == 0 ? given : "";
    std::string path = "/usr/sbin:/usr/bin:/sbin:/bin";
    if (const char *p = std::getenv("PATH"))
        path = path + ":" + p;
    for (size_t at = 0; at <= path.size();) {
        size_t end = std::min(path.find(':', at), path.size());
        std::string exe = path.substr(at, end - at) + "/ser2net";
        if (end > at && access(exe.c_str(), X_OK) == 0)
            return exe;
        at = end + 1;
    }
    return "";
}

load_latency load_summarise(const stream_times *const *t, int n)
{
    load_latency l;
    std::vector<double> ms;
    for (int k = 0; k < n; ++k)
        for (size_t i = 0; i < t[k]->cap; ++i) {
            const int64_t s = t[k]->sent[i].load(), g = t[k]->got[i].load();
            l.sent += s != 0;
            l.received += s != 0 && g != 0;
            if (s != 0 && g != 0)
                ms.push_back(static_cast<double>(g - s) / 1e6);
        }
    l.median_ms = sim_percentile(ms, 0.5);
    l.p99_ms = sim_percentile(ms, 0.99);
    return l;
}

bool hosted_street::start(load_state &st, int d, const std::string &exe, const std::string &dir,
                          const std::string &name, const test_certs *certs, std::string *why)
{
    server.on_frame = [&st, d](const bytes &f) {
        st.arrived(d, f.data(), f.size(), load_now_ns());
    };
    if (certs != nullptr && !server.use_tls(street_server_tls(*certs), why))
        return false;
    if (!radio[0].start() || !radio[1].start() || !modem.start() || !server.start() ||
        gpio.root().empty()) {
        *why = "its street could not be set up";
        return false;
    }
    const std::string config = dir + "/" + name + "-config.txt",
                      watch = dir + "/" + name + "-ttyUSB2";
    {
        std::ofstream f(config);
        f << "server_ip_addr=127.0.0.1\nserver_port_num=" << server.port()
          << "\ndevice_id=" << DEVICE_ID << "\n";
        if (certs != nullptr)
            f << certs->gateway_keys();
        std::ofstream w(watch);
    }
    log = dir + "/" + name + ".log";
    pid = load_spawn({exe, radio[0].path(), radio[1].path(), modem.slave_path(), watch, gpio.root(),
                      config, "20"},
                     log);
    if (pid <= 0)
        *why = "it could not be started";
    return pid > 0;
}

bool hosted_street::settled()
{
    if (!exited && pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) {
        exited = true;
        pid = -1;
    }
    return exited || pid <= 0 || server.connected();
}

std::string hosted_street::not_connected(const std::string &exe) const
{
    std::ifstream f(log);
    std::string line, tls;
    while (std::getline(f, line))
        if (line.find("tls: ") != std::string::npos)
            tls = line.substr(0, 160);
    const std::string what = exe + (exited ? " ended before connecting" : " did not connect");
    return tls.empty() ? what : what + " (" + tls + ")";
}
