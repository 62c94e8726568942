#include "support/testutil.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include "board/timebase.h"
#include "peers/street.h"

namespace testutil {

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/lampgw-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::string source_file(const std::string &relative)
{
    const std::string here = __FILE__;  // <top>/tests/support/testutil.cpp
    return here.substr(0, here.rfind("/tests/")) + "/" + relative;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes all;
    for (const bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

testing::AssertionResult wait_for(const char *what, int timeout_ms,
                                  const std::function<bool()> &pred)
{
    if (::wait_for(pred, timeout_ms))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "waited " << timeout_ms << " ms for " << what;
}

double gw_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count() * time_speedup();
}

namespace {

// Seconds during which some task of the machine waited (the kernel's
// "some" pressure totals; 0 where it does not tell).
double stalls()
{
    double total = 0;
    for (const char *file : {"/proc/pressure/cpu", "/proc/pressure/io", "/proc/pressure/memory"}) {
        std::ifstream in(file);
        std::string word;
        while (in >> word && word.rfind("total=", 0) != 0) {  // the "some" line comes first
        }
        total += word.rfind("total=", 0) == 0 ? std::stod(word.substr(6)) * 1e-6 : 0;
    }
    return total;
}

}  // namespace

testing::AssertionResult within(const char *what, double gw_s, const std::function<bool()> &pred)
{
    const auto t0 = Clock::now();
    const double s0 = stalls();
    bool late = false;
    while (!pred() && !late) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        late = gw_since(t0) > gw_s + (stalls() - s0) * time_speedup() ||
               Clock::now() - t0 > std::chrono::seconds(60);
    }
    return pred() ? testing::AssertionSuccess()
                  : testing::AssertionFailure() << "waited " << gw_since(t0) << " s for " << what;
}

testing::AssertionResult in_order(const std::string &text, const std::vector<std::string> &parts)
{
    size_t at = 0;
    for (const std::string &p : parts) {
        const size_t found = text.find(p, at);
        if (found == std::string::npos)
            return testing::AssertionFailure() << "missing or out of order: " << p << "\n" << text;
        at = found + p.size();
    }
    return testing::AssertionSuccess();
}

BoardGuard::BoardGuard() : saved_(board), saved_speedup_(time_speedup()) {}

BoardGuard::~BoardGuard()
{
    board = saved_;
    time_set_speedup(saved_speedup_);
}

namespace {
std::atomic<CommandRecorder *> recording{nullptr};
}

CommandRecorder::CommandRecorder() : saved_(board.run_command)
{
    recording.store(this);
    board.run_command = record;
}

CommandRecorder::~CommandRecorder()
{
    board.run_command = saved_;
    recording.store(nullptr);
}

int CommandRecorder::record(const char *cmdline)
{
    CommandRecorder *r = recording.load();
    if (r == nullptr)  // a late call: nothing is ever run
        return 0;
    const std::string kept = r->on_command ? r->on_command(cmdline) : cmdline;
    std::lock_guard<std::mutex> hold(r->lock_);
    r->lines_.push_back(kept);
    return 0;
}

std::vector<std::string> CommandRecorder::lines() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return lines_;
}

int CommandRecorder::count(const std::string &line) const
{
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
}

Pty::Pty()
{
    termios raw{};
    cfmakeraw(&raw);
    EXPECT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
}

Pty::~Pty()
{
    close(slave);
    close(master);
}

std::string radio_hex(int fd)
{
    bytes got;
    pollfd p{fd, POLLIN, 0};
    for (uint8_t b; poll(&p, 1, 50) == 1 && read(fd, &b, 1) == 1;)
        got.push_back(b);
    return hex(got);
}

}  // namespace testutil
