// The production daemon itself, unmodified, in a cabinet of its own.
//
// The daemon runs in private mount and process namespaces in which its
// board's places are stand-ins: /dev/ttyO1, /dev/ttyO2 and /dev/ttyUSB1 are
// pseudo-terminals of this test, /dev/ttyUSB2 a plain file, /sys/class/gpio a
// FIFO tree and "reboot" a recorder, and /proc lists only the namespace's own
// processes, so the daemon starts and watches a companion of its own whatever
// else runs here. The host's /dev, /sys and reboot stay untouched: the
// namespace gets its own small /dev built in the work directory. The run is in
// real time: start-up takes about 30 s and the first heartbeat follows the
// connection by about 60 s.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <libgen.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "peers/modem_emulator.h"
#include "peers/street.h"
#include "support/testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

// The nine configuration frames of a radio module: net id, breath time 0,
// RF factor 11, bandwidth 7, mode 1, power 7, wake timer 5, serial rate 4,
// then the frequency word.
std::string radio_setup(const std::string &netid_frame, const std::string &frequency_frame)
{
    return netid_frame +
           " AF AF 00 00 AF 80 19 02 00 00 A8 0D 0A AF AF 00 00 AF 80 0D 02 0B 00 A7 0D 0A"
           " AF AF 00 00 AF 80 0F 02 07 00 A5 0D 0A AF AF 00 00 AF 80 11 02 01 00 A1 0D 0A"
           " AF AF 00 00 AF 80 17 02 07 00 AD 0D 0A AF AF 00 00 AF 80 1B 02 05 00 AF 0D 0A"
           " AF AF 00 00 AF 80 09 02 04 00 9C 0D 0A " +
           frequency_frame;
}

const char *find_unshare()
{
    for (const char *p : {"/usr/bin/unshare", "/bin/unshare"})
        if (access(p, X_OK) == 0)
            return p;
    return nullptr;
}

// The namespace's set-up, run by /bin/sh inside it. Every step must succeed,
// and the daemon is started only once "reboot" can reach nothing but the
// recorder, wherever the shell would look for it.
const char *const kEnterScript = R"SH(set -eux
: > "$T/ns-entered"
D="$T/dev"
mkdir -p "$D/pts"
for n in null zero full random urandom tty ptmx; do
  if [ -e "/dev/$n" ]; then : > "$D/$n"; mount --bind "/dev/$n" "$D/$n"; fi
done
mount --bind /dev/pts "$D/pts"
ln -s /proc/self/fd "$D/fd"
for n in ttyO1 ttyO2 ttyUSB1 ttyUSB2; do : > "$D/$n"; done
mount --bind "$PTY_O1" "$D/ttyO1"
mount --bind "$PTY_O2" "$D/ttyO2"
mount --bind "$PTY_MODEM" "$D/ttyUSB1"
# The GPIO tree may live under /dev/shm: bound before /dev is replaced.
if [ -d /sys/class/gpio ]; then
  mount --bind "$GPIO" /sys/class/gpio
else
  mkdir -p "$T/sysclass/gpio"
  mount --bind "$GPIO" "$T/sysclass/gpio"
  mount --rbind "$T/sysclass" /sys/class
fi
mount --rbind "$D" /dev
R="$T/bin/reboot"
for p in /sbin/reboot /usr/sbin/reboot /bin/reboot /usr/bin/reboot; do
  if [ -e "$p" ]; then mount --bind "$R" "$(readlink -f "$p")"; fi
done
[ "$(command -v reboot)" = "$R" ]
for p in /sbin/reboot /usr/sbin/reboot /bin/reboot /usr/bin/reboot; do
  if [ -e "$p" ]; then cmp -s "$p" "$R"; fi
done
cd "$T"
exec "$DAEMON"
)SH";

// Kills the daemon's process group however the test ends; the daemon is the
// first process of its namespace, and the companion goes with it.
struct Daemon {
    pid_t pid = -1;
    int status = 0;
    ~Daemon() { stop(); }
    bool exited()
    {
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid)
            pid = -1;
        return pid < 0;
    }
    void stop()
    {
        if (pid > 0) {
            killpg(pid, SIGKILL);
            waitpid(pid, &status, 0);
            pid = -1;
        }
    }
};

}  // namespace

// The cabinet around the daemon: its stand-ins, the work directory with
// config.txt, the reboot recorder and the namespace script; then the daemon,
// its console in a file.
class SystemTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for private namespaces";
        if ((unshare_cmd = find_unshare()) == nullptr)
            GTEST_SKIP() << "needs unshare(1) for private namespaces";
        ASSERT_TRUE(other.start());
        ASSERT_TRUE(ludeng.start());
        ASSERT_TRUE(modem.start());
        ASSERT_TRUE(server.start());
        ASSERT_FALSE(gpio.root().empty());
        testutil::write_file(dir.file("config.txt"), "server_ip_addr=127.0.0.1\nserver_port_num=" +
                                                         std::to_string(server.port()) +
                                                         "\ndevice_id=0102030405A6\n");
        ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0755), 0);
        const std::string recorder = dir.file("bin/reboot");
        testutil::write_file(recorder, "#!/bin/sh\necho \"reboot $*\" >> '" + T + "/reboot.log'\n");
        ASSERT_EQ(chmod(recorder.c_str(), 0755), 0);
        testutil::write_file(dir.file("enter.sh"), kEnterScript);
        ASSERT_NO_FATAL_FAILURE(launch());
    }

    // Everything the child needs is built before fork: it only execs.
    void launch()
    {
        std::string companion_dir = LAMPGW_ZUZIZE_VID;
        companion_dir = dirname(companion_dir.data());
        std::vector<std::string> env = {
            "PATH=" + T + "/bin:" + companion_dir + ":/usr/sbin:/usr/bin:/sbin:/bin",
            "T=" + T,
            "PTY_O1=" + other.path(),
            "PTY_O2=" + ludeng.path(),
            "PTY_MODEM=" + modem.slave_path(),
            "GPIO=" + gpio.root(),
            std::string("DAEMON=") + LAMPGW_DAEMON,
        };
        std::vector<char *> envp;
        envp.reserve(env.size() + 1);
        for (auto &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string script = dir.file("enter.sh");
        int console = open(console_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(console, 0);
        ASSERT_GE(null_in, 0);
        launched = Clock::now();
        gw.pid = fork();
        ASSERT_GE(gw.pid, 0);
        if (gw.pid == 0) {
            setpgid(0, 0);
            dup2(null_in, 0);
            dup2(console, 1);
            dup2(console, 2);
            for (int fd = 3; fd < 1024; ++fd)  // the test's pty masters and FIFOs stay here
                close(fd);
            execle(unshare_cmd, "unshare", "--mount", "--propagation", "private", "--pid", "--fork",
                   "--mount-proc", "/bin/sh", script.c_str(), static_cast<char *>(nullptr),
                   envp.data());
            _exit(127);
        }
        setpgid(gw.pid, gw.pid);  // either side may win the race; both set it
        close(console);
        close(null_in);
    }

    std::string log() const { return testutil::read_file(console_path); }
    bool in_log(const std::string &text) const { return log().find(text) != std::string::npos; }
    // A wait whose failure shows the daemon's console.
    testing::AssertionResult waited(const char *what, int ms, const std::function<bool()> &pred)
    {
        testing::AssertionResult r = testutil::wait_for(what, ms, pred);
        return r ? r : r << "\n" << log();
    }

    const char *unshare_cmd = nullptr;
    testutil::TempDir dir;
    const std::string T = dir.path(), console_path = dir.file("console.log");
    SerialPeer other, ludeng;
    ModemEmulator modem;
    ServerPeer server;
    GpioTree gpio{board_gpio_lines()};
    Daemon gw;
    Clock::time_point launched;
};

static double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

TEST_F(SystemTest, ProductionBinary)
{
    // Start-up lines, in order.
    ASSERT_TRUE(waited("start-up", 20000,
                       [&] { return gw.exited() || in_log("SOFTWAREVERSION start.\n"); }));
    if (gw.exited() && !testutil::file_exists(dir.file("ns-entered")))
        GTEST_SKIP() << "cannot create private namespaces here: " << log();
    ASSERT_FALSE(gw.exited()) << "namespace set-up failed, status " << gw.status << "\n" << log();
    ASSERT_TRUE(testutil::in_order(
        log(),
        {"device id=0102030405A6\n", "server_ip:127.0.0.1\n",
         "server port num:" + std::to_string(server.port()) + "\n", "SOFTWAREVERSION start.\n"}));

    // Both radio modules get their nine configuration frames, nothing more.
    const std::string setup_other = radio_setup("AF AF 00 00 AF 80 15 02 05 00 A9 0D 0A",
                                                "AF AF 00 00 AF 80 0B 03 6C 80 12 99 0D 0A");
    const std::string setup_ludeng = radio_setup("AF AF 00 00 AF 80 15 02 01 00 A5 0D 0A",
                                                 "AF AF 00 00 AF 80 0B 03 70 80 12 9D 0D 0A");
    const size_t setup_size = 118;
    ASSERT_TRUE(
        waited("the radio set-up", 45000, [&] { return ludeng.received_size() >= setup_size; }));
    EXPECT_EQ(hex(other.received()), setup_other);
    EXPECT_EQ(hex(ludeng.received()), setup_ludeng);
    ASSERT_TRUE(waited("the link", 20000, [&] { return server.connected(); }));
    const auto linked = Clock::now();

    // A lamp's type-5 frame reaches the server byte for byte.
    const uint8_t lamp[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    const bytes up = make_frame(lamp, 5, 0x12, 0x34, 0x21, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    ludeng.send(up);
    ASSERT_TRUE(waited("the lamp's frame", 5000, [&] { return !server.frames().empty(); }));
    EXPECT_EQ(hex(server.frames().front()), hex(up));

    // A server's type-5 frame reaches the lamp module in radio form, keyed.
    const bytes down = make_frame(lamp, 5, 0x56, 0x78, 0x22, {9, 8, 7, 6, 5, 4, 3, 2, 1});
    server.send(down);
    ASSERT_TRUE(waited("the server's frame", 5000,
                       [&] { return ludeng.received_size() >= setup_size + 27; }));
    const bytes lamp_side = ludeng.received();
    EXPECT_EQ(hex(bytes(lamp_side.begin() + static_cast<long>(setup_size), lamp_side.end())),
              hex(radio_frame(down)));
    EXPECT_TRUE(testutil::wait_for("the key window", 3000, [&] {
        return gpio.levels(board.gpio_key_ludeng) == std::vector<int>{0, 1, 0};
    }));

    // The first heartbeat, about a minute after the link came up; the
    // server's answer is acknowledged on the console.
    ASSERT_TRUE(waited("a heartbeat", 75000, [&] { return server.heartbeats() >= 1; }));
    const double heartbeat_after = seconds_since(linked);
    EXPECT_GT(heartbeat_after, 50.0);
    EXPECT_LT(heartbeat_after, 70.0);
    bytes heartbeat_body;
    ASSERT_TRUE(
        parse_hex("01 02 03 04 05 A6 00 01 01 06 85 01 C6 00 00 00 00 01 01", &heartbeat_body));
    const std::vector<bytes> frames = server.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(hex(frames[1]), hex(make_frame(heartbeat_body)));
    EXPECT_TRUE(waited("the answer acknowledged", 3000,
                       [&] { return in_log("reiceive server heartbeat response"); }));

    // The supervision loop fed the watchdog every 20 s and asked for no reboot.
    const std::vector<int> feeds = gpio.levels(board.gpio_watchdog);
    EXPECT_GE(feeds.size(), 6u);
    for (size_t i = 0; i < feeds.size(); ++i)
        EXPECT_EQ(feeds[i], i % 2 == 0 ? 1 : 0) << "watchdog level " << i;
    EXPECT_FALSE(testutil::file_exists(dir.file("reboot.log")));
    EXPECT_FALSE(gw.exited());
    gw.stop();
    std::printf("system test: %.0f s in all\n", seconds_since(launched));
}
