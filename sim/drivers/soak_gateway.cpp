// The gateway process: starting it, reading its console, powering it off,
// and answering a recorded reboot the way the board would.
//
// A recorded "reboot" (the hosted gateway's shell recorder prints it) is a
// power-off: SIGKILL, no chance to tidy up, and a fresh process with the same
// config.txt. Each process is one "life": the soak's per-life counts start
// afresh with it, and what the street sees in its first STARTUP_MIN seconds
// may still be the previous life's.
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "drivers/soak_state.h"

namespace soak {

namespace {

constexpr size_t CONSOLE_KEPT = 12;  // the gateway's last lines, for a broken invariant

// Starts argv with standard output and error into the write end of a pipe;
// nothing else of ours stays open in it.
pid_t spawn_piped(const std::vector<std::string> &args, int *out_fd)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return -1;
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(p[1], 1);
        dup2(p[1], 2);
        for (int k = 3; k < 1024; ++k)
            close(k);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(p[1]);
    if (pid < 0) {
        close(p[0]);
        return -1;
    }
    *out_fd = p[0];
    return pid;
}

double process_cpu(pid_t pid)
{
    clockid_t clk;
    timespec ts;
    if (pid <= 0 || clock_getcpuclockid(pid, &clk) != 0 || clock_gettime(clk, &ts) != 0)
        return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One line of the gateway's console: kept, stamped into --console, and
// watched for a reboot request and the statistics line asked for.
void console_line(state &s, const std::string &line)
{
    std::lock_guard<std::mutex> hold(s.mu);
    s.console.push_back(line);
    if (s.console_file != nullptr)
        std::fprintf(s.console_file, "%.1f %s\n", s.now(), line.c_str());
    if (s.console.size() > CONSOLE_KEPT)
        s.console.pop_front();
    if (line.find("shell: \"reboot\" recorded") != std::string::npos)
        s.reboot_asked = true;
    if (s.stats_wanted && line.compare(0, 6, "stats ") == 0) {
        s.stats_line = line;
        s.stats_wanted = false;
    }
}

// The console reader's thread: until the process's end closes the pipe.
void read_console(state &s, int fd)
{
    char buf[4096];
    std::string part;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n <= 0)
            continue;
        part.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = part.find('\n')) != std::string::npos) {
            const std::string line = part.substr(0, nl);
            part.erase(0, nl + 1);
            console_line(s, line);
        }
    }
}

// After a reboot with a cause: the soak day moves on at a daily reboot, and
// whatever the old process left half done is resolved. mu held.
void begin_new_life(state &s, double t, int cause)
{
    soak_report &r = s.r;
    ++r.restarts[cause];
    if (cause == SOAK_RESTART_DAILY) {
        // The daily reboot closes a soak day; after the last whole one only
        // the fraction of a day asked for is left.
        s.day_start = t;
        if (++s.day >= static_cast<int>(s.opt.days))
            s.total = t + (s.opt.days - s.day) * 86400;
    }
    s.say(std::string("restart: ") + restart_name(cause) + " after " +
          std::to_string(static_cast<long>(t - s.life_start)) + " s up");
    s.fault_over(s.open_window(W_RESTART, 0, true, t), t);
    resolve_reply(s, "the gateway restarted");
    s.awaiting_radio.clear();
    s.type2.clear();
    if (s.vanished)
        end_fault(s, SOAK_FAULT_MODEM_VANISH, t);  // a reboot powers the modem up again
    s.reset_answered = -1;
    s.reset_deleted = false;
    s.admin_known = false;
    s.feeds = 0;
    s.last_feed = -1;
    s.reboot_asked = false;
}

}  // namespace

bool start_gateway(state &s)
{
    remove_tree(s.proc);
    mkdir(s.proc.c_str(), 0755);
    const std::string sc = std::to_string(s.opt.time_scale);
    s.pid = spawn_piped({s.opt.hosted, s.radio1.path(), s.radio2.path(), s.usb1, s.usb2,
                         s.gpio.root(), s.config, sc, sc, s.proc},
                        &s.console_fd);
    if (s.pid < 0)
        return false;
    {
        std::lock_guard<std::mutex> hold(s.mu);
        s.life_start = s.now();
        s.life = life_counts{};
        ++s.life_serial;
        s.gw_pid = s.pid;
        s.feed_pressure = cpu_pressure();
    }
    s.console_reader = std::thread([&s, fd = s.console_fd] { read_console(s, fd); });
    return true;
}

void stop_gateway(state &s)
{
    if (s.pid > 0) {
        s.r.gateway_cpu_seconds += process_cpu(s.pid);
        kill(s.pid, SIGKILL);
        waitpid(s.pid, nullptr, 0);
    }
    s.pid = -1;
    if (s.console_reader.joinable())
        s.console_reader.join();
    if (s.console_fd >= 0)
        close(s.console_fd);
    s.console_fd = -1;
}

// The end of a day is the moment to hold the process's counts against the
// soak's: before the power-off.
void restart_gateway(state &s, double t)
{
    bool daily;
    {
        std::lock_guard<std::mutex> hold(s.mu);
        daily = restart_cause(s, t) == SOAK_RESTART_DAILY;
    }
    if (daily && s.pid > 0)
        check_counters(s, "before its daily reboot");
    stop_gateway(s);
    s.gpio.drain();  // the process's last feeds count to it, not to the next
    std::lock_guard<std::mutex> hold(s.mu);
    const int cause = check_reboot_cause(s, t);
    if (cause < 0)
        return;
    if (cause == SOAK_RESTART_SMS_RESET)
        check_reset_answered(s, t);
    begin_new_life(s, t, cause);
}

bool connected(const state &s)
{
    return s.server[0].connected() || s.server[1].connected();
}

int count_fds(pid_t pid)
{
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

std::string gateway_threads(const state &s)
{
    const std::string task = "/proc/" + std::to_string(s.gw_pid.load()) + "/task";
    std::string out;
    DIR *d = opendir(task.c_str());
    if (d == nullptr)
        return " (gone)";
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream st(task + "/" + e->d_name + "/stat"), wc(task + "/" + e->d_name + "/wchan");
        std::string stat, wchan;
        std::getline(st, stat);
        std::getline(wc, wchan);
        const size_t paren = stat.rfind(')');
        out += std::string(" ") + e->d_name + ":" +
               (paren != std::string::npos && paren + 2 < stat.size() ? stat.substr(paren + 2, 1)
                                                                      : "?") +
               ":" + wchan;
    }
    closedir(d);
    return out;
}

double self_cpu()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

}  // namespace soak
