// Crash safety of the configuration rewrites. This binary is linked with
// --wrap for the system calls of a replacement (CMakeLists.txt), so that any
// one of them can be made to fail; unarmed, the wrappers only pass through.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../support/capture.h"  // this binary builds from tests/crash alone
#include "board/board.h"
#include "board/filereplace.h"
#include "board/paraconfig.h"
#include "board/serveripconfig.h"

namespace {

enum call_kind { OPEN, MKTEMP, FCHMOD, WRITE, FSYNC, CLOSE, RENAME, KINDS };

// Call `nth` (from 1) of `kind` fails with `err`; a write with err 0 is a
// short write of at most 3 bytes instead.
struct fault {
    call_kind kind;
    int nth;
    int err;
};

bool armed = false;
int calls[KINDS];
std::vector<fault> faults;

const fault *hit(call_kind kind)
{
    if (!armed)
        return nullptr;
    const int n = ++calls[kind];
    for (const fault &f : faults)
        if (f.kind == kind && f.nth == n)
            return &f;
    return nullptr;
}

int fail_with(int err)
{
    errno = err;
    return -1;
}

}  // namespace

// Each wrapper fails when its call is the one asked for, else calls the
// real function. With 64-bit file offsets on a 32-bit target, open and
// mkostemp are the ...64 symbols.
#define WRAP(type, name, kind, params, args)               \
    type __real_##name params;                             \
    type __wrap_##name params                              \
    {                                                      \
        const fault *f = hit(kind);                        \
        return f ? fail_with(f->err) : __real_##name args; \
    }
#define WRAP_OPEN(name)                                                                    \
    int __real_##name(const char *path, int flags, ...);                                   \
    int __wrap_##name(const char *path, int flags, ...)                                    \
    {                                                                                      \
        va_list ap;                                                                        \
        va_start(ap, flags);                                                               \
        const bool with_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; \
        const int mode = with_mode ? va_arg(ap, int) : 0;                                  \
        va_end(ap);                                                                        \
        const fault *f = hit(OPEN);                                                        \
        return f ? fail_with(f->err) : __real_##name(path, flags, mode);                   \
    }

extern "C" {
WRAP_OPEN(open)
WRAP_OPEN(open64)
WRAP(int, mkostemp, MKTEMP, (char *tmpl, int flags), (tmpl, flags))
WRAP(int, mkostemp64, MKTEMP, (char *tmpl, int flags), (tmpl, flags))
WRAP(int, fchmod, FCHMOD, (int fd, mode_t mode), (fd, mode))
WRAP(int, fsync, FSYNC, (int fd), (fd))
WRAP(int, rename, RENAME, (const char *from, const char *to), (from, to))

ssize_t __real_write(int fd, const void *buf, size_t len);
ssize_t __wrap_write(int fd, const void *buf, size_t len)
{
    const fault *f = hit(WRITE);
    if (f && f->err == 0)
        return __real_write(fd, buf, std::min<size_t>(len, 3));
    return f ? fail_with(f->err) : __real_write(fd, buf, len);
}
int __real_close(int fd);
int __wrap_close(int fd)
{
    const fault *f = hit(CLOSE);
    const int r = __real_close(fd);  // the descriptor is gone either way
    return f ? fail_with(f->err) : r;
}
}

namespace {

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string kOld = "# server\nserver_ip_addr=192.0.2.10\nserver_port_num=8000\n";
const std::string kNew = "server_ip_addr=198.51.100.7\nserver_port_num=8000\n";
// The same change through the line-positional setter.
const std::string kOldLines = "192.0.2.10\n8000\n", kNewLines = "198.51.100.7\n8000\n";

// A fresh directory in memory (/dev/shm) where there is one, else under
// $TMPDIR or /tmp. What a kill or a failed call leaves does not depend on
// the file system, and a rewrite runs many times faster in memory.
struct tmpfs_dir {
    std::string root;
    tmpfs_dir()
    {
        const char *tmp = std::getenv("TMPDIR");
        for (std::string base : {"/dev/shm", tmp && *tmp ? tmp : "/tmp"}) {
            root = base + "/lampgw-crash-XXXXXX";
            if (mkdtemp(root.data()) != nullptr)
                return;
        }
        root.clear();
    }
    ~tmpfs_dir()
    {
        if (!root.empty())
            std::filesystem::remove_all(root);
    }
    const std::string &path() const { return root; }
    std::string file(const std::string &name) const { return root + "/" + name; }
};

size_t entries(const tmpfs_dir &dir)
{
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir.path()), {}));
}

int lowest_free_fd()
{
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

}  // namespace

// Each step of a replacement fails in turn. Before the rename the file stays
// the old one; once renamed it is the new one, and a failed directory flush
// is still a failure, since a power cut could bring the old file back. No
// temporary file or descriptor is left behind in any case.
TEST(ConfigCrash, EveryFailingStepLeavesTheOldOrTheNewFile)
{
    constexpr bool RENAMED = true, KEPT = false;  // the new file in place, or the old one
    const struct {
        std::vector<fault> faults;
        int result;  // of write_conf_value; the positional setter gives 1
        bool renamed;
        const char *report;  // start of the perror line on stderr
    } rows[] = {
        {{}, 0, RENAMED, ""},
        {{{MKTEMP, 1, EACCES}}, 1, KEPT, "create config: "},
        {{{FCHMOD, 1, EPERM}}, 1, KEPT, "fchmod config: "},
        {{{WRITE, 1, ENOSPC}}, 1, KEPT, "write config: "},
        {{{WRITE, 1, 0}}, 0, RENAMED, ""},  // a short write: the rest follows
        {{{WRITE, 1, 0}, {WRITE, 2, 0}, {WRITE, 3, EINTR}}, 0, RENAMED, ""},
        {{{WRITE, 1, 0}, {WRITE, 2, ENOSPC}}, 1, KEPT, "write config: "},
        {{{FSYNC, 1, EIO}}, 1, KEPT, "fsync config: "},
        {{{CLOSE, 1, EIO}}, 1, KEPT, "close config: "},
        {{{RENAME, 1, EXDEV}}, 1, KEPT, "rename config: "},
        {{{OPEN, 1, EMFILE}}, 1, RENAMED, "open config directory: "},
        {{{FSYNC, 2, EIO}}, 1, RENAMED, "fsync config directory: "},
        {{{CLOSE, 2, EIO}}, 0, RENAMED, ""},  // after a good flush nothing is lost
    };
    const tmpfs_dir dir;
    ASSERT_FALSE(dir.path().empty()) << "no temporary directory";
    const std::string f = dir.file("config.txt");
    const char *saved_config = board.config_file;
    board.config_file = f.c_str();
    const int free_fd = lowest_free_fd();
    int row = 0;
    for (const auto &r : rows) {
        for (bool positional : {false, true}) {
            SCOPED_TRACE("row " + std::to_string(row) + (positional ? " positional" : ""));
            write_file(f, positional ? kOldLines : kOld);
            faults = r.faults;
            std::fill(std::begin(calls), std::end(calls), 0);
            testutil::Capture console, perror_lines(stderr);
            armed = true;
            const int result = positional
                                   ? server_ip_set("198.51.100.7")
                                   : write_conf_value("server_ip_addr", "198.51.100.7", f.c_str());
            armed = false;
            const std::string out = console.end(), err = perror_lines.end();

            EXPECT_EQ(result, positional ? 1 : r.result);
            const std::string &old_file = positional ? kOldLines : kOld;
            const std::string &new_file = positional ? kNewLines : kNew;
            EXPECT_EQ(read_file(f), r.renamed ? new_file : old_file);
            EXPECT_EQ(out, positional || r.result != 0 ? "" : kNew);  // echoed on success only
            EXPECT_EQ(err.substr(0, std::string(r.report).size()), r.report) << err;
            for (const fault &x : r.faults)
                EXPECT_GE(calls[x.kind], x.nth) << "fault " << x.kind << " never reached";
            EXPECT_EQ(entries(dir), 1u) << "a temporary file was left";
            EXPECT_EQ(lowest_free_fd(), free_fd) << "a descriptor was left open";
        }
        row++;
    }
    board.config_file = saved_config;
}

// A process rewriting the file over and over is killed at seeded random
// moments; every time the file is exactly the old or the new content, and
// at most the one temporary of the killed rewrite is left.
TEST(ConfigCrash, KilledRewriteLeavesTheOldOrTheNewFile)
{
    const char *values[] = {"192.0.2.10", "198.51.100.7"};
    const std::string contents[] = {"server_ip_addr=192.0.2.10\nserver_port_num=8000\n",
                                    "server_ip_addr=198.51.100.7\nserver_port_num=8000\n"};
    const tmpfs_dir dir;
    ASSERT_FALSE(dir.path().empty()) << "no temporary directory";
    const std::string f = dir.file("config.txt");
    write_file(f, contents[0]);

    // Time a few rewrites, so that the kills spread over whole ones.
    testutil::Capture console;
    const auto t0 = std::chrono::steady_clock::now();
    constexpr int kTimed = 10;
    for (int i = 0; i < kTimed; i++)
        write_conf_value("server_ip_addr", values[i % 2], f.c_str());
    const auto per_rewrite = (std::chrono::steady_clock::now() - t0) / kTimed;
    console.end();
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<long long> delay_ns(
        0, 2 * std::chrono::duration_cast<std::chrono::nanoseconds>(per_rewrite).count());

    int left_temporary = 0;
    for (int kill_no = 0; kill_no < 1000; kill_no++) {
        int started[2];
        ASSERT_EQ(pipe(started), 0);
        std::fflush(nullptr);  // nothing buffered may be written twice
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            (void)!write(started[1], "s", 1);
            for (int i = kill_no; i < kill_no + 100000; i++)  // bounded if never killed
                write_conf_value("server_ip_addr", values[i % 2], f.c_str());
            _exit(0);
        }
        close(started[1]);
        pollfd p{started[0], POLLIN, 0};
        const bool child_started = poll(&p, 1, 10000) == 1;
        close(started[0]);
        std::this_thread::sleep_for(std::chrono::nanoseconds(delay_ns(rng)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);

        ASSERT_TRUE(child_started) << "waited 10 s for the child to start rewriting";
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended before the kill";
        const std::string now = read_file(f);
        ASSERT_TRUE(now == contents[0] || now == contents[1])
            << "after kill " << kill_no << ": \"" << now << "\"";
        ASSERT_LE(entries(dir), 2u) << "temporaries accumulate after kill " << kill_no;
        left_temporary += entries(dir) == 2;
    }
    std::printf("1000 kills, %d of them left a temporary file\n", left_temporary);
    remove_replace_leftovers(f.c_str());  // what start-up does
    EXPECT_EQ(entries(dir), 1u);
}

// Leftovers are exactly "<file>.tmp-" and six letters or digits beside the
// file; start-up and every rewrite remove them, nothing else.
TEST(ConfigCrash, RemovesOnlyLeftoverTemporaries)
{
    const tmpfs_dir dir;
    ASSERT_FALSE(dir.path().empty()) << "no temporary directory";
    const std::string f = dir.file("config.txt");
    const std::vector<std::string> leftovers = {"config.txt.tmp-a1B2c3", "config.txt.tmp-000000"};
    const std::vector<std::string> kept = {"config.txt.tmp-a1B2c",  "config.txt.tmp-a1B2c34",
                                           "config.txt.tmp-a1_2c3", "config.txt.tmp-",
                                           "config.txt.tmp",        "config.txt.bak",
                                           "other.txt.tmp-a1B2c3",  "xconfig.txt.tmp-a1B2c3"};
    auto present = [&](const std::vector<std::string> &names) {
        std::string s;
        for (const auto &n : names)
            s += access(dir.file(n).c_str(), F_OK) == 0 ? "1" : "0";
        return s;
    };
    write_file(f, kOld);
    for (const auto &n : kept)
        write_file(dir.file(n), "x");

    for (int way = 0; way < 3; way++) {
        SCOPED_TRACE(way);
        for (const auto &n : leftovers)
            write_file(dir.file(n), "x");
        if (way == 0) {
            EXPECT_EQ(remove_replace_leftovers(f.c_str()), 2);
        } else if (way == 1) {  // the gateway names the file relative to its directory
            const auto cwd = std::filesystem::current_path();
            std::filesystem::current_path(dir.path());
            EXPECT_EQ(remove_replace_leftovers("config.txt"), 2);
            std::filesystem::current_path(cwd);
        } else {
            testutil::Capture console;
            const int rc = write_conf_value("server_ip_addr", "198.51.100.7", f.c_str());
            console.end();
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(read_file(f), kNew);
        }
        EXPECT_EQ(present(leftovers), "00");
        EXPECT_EQ(present(kept), "11111111");
    }
}
