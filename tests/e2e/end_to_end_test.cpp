// The whole gateway against the simulated street: radio modules with lamps,
// the modem, the server, the GPIO tree and the companion program. Every check
// is on what those peers saw (their transcript lines and counters), never on
// the gateway's own state.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "drivers/simulator.h"
#include "support/capture.h"
#include "support/testutil.h"

namespace {

const uint8_t kLamp1[6] = {0x4C, 0x50, 0x00, 0x01, 0x00, 0x07};  // not one of the simulated lamps
const uint8_t kLamp2[6] = {0x4C, 0x50, 0x00, 0x02, 0x00, 0x07};

size_t count_in(const std::string &log, const std::string &text)
{
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++n;
    return n;
}

struct SimRun {
    int rc = -1;
    sim_counters c;
    std::string log;  // the simulator's transcript: "sim | <peer>: ..." and "gw  | ..."
    size_t count(const std::string &text) const { return count_in(log, text); }
    bool saw(const std::string &text) const { return count(text) > 0; }
};

SimRun simulate(const sim_options &opt, const std::string &scenario)
{
    SimRun r;
    std::vector<sim_event> events;
    std::string err;
    EXPECT_TRUE(sim_parse_scenario(scenario, &events, &err)) << err;
    testutil::Capture transcript;  // the simulator writes it to the stdout it finds
    r.rc = sim_run(opt, events, &r.c);
    r.log = transcript.end();
    return r;
}

std::string failures(const SimRun &r)
{
    std::string s;
    for (auto &f : r.c.failures)
        s += f + "\n";
    return s;
}

// The gateway's own processes of the companion are this test's children
// (the simulator forks them); returns their ids.
std::vector<pid_t> companions()
{
    std::vector<pid_t> out;
    DIR *d = opendir("/proc");
    for (dirent *e = d ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string pid, comm, state;
        pid_t ppid = 0;
        if (stat >> pid >> comm >> state >> ppid && comm == "(zuzize-vid)" && ppid == getpid() &&
            state != "Z")
            out.push_back(static_cast<pid_t>(std::atoi(pid.c_str())));
    }
    if (d)
        closedir(d);
    return out;
}

}  // namespace

// Every road through the gateway, both directions, to the byte: on the
// plain link and inside TLS (the server asking for the gateway's certificate).
TEST(EndToEndRoads, EveryTypeInBothDirections)
{
    const bytes up1 = make_frame(kLamp1, 1, 0x01, 0x07, 0x11, {0xDE, 0xAD});
    const bytes up5 = make_frame(kLamp2, 5, 0x02, 0x07, 0x12, {0xBE, 0xEF, 0x00});
    const bytes up3 = make_frame(kLamp2, 3, 0x02, 0x07, 0x13, {});
    const bytes up2 = make_frame(kLamp2, 2, 0x02, 0x07, 0x14, {0x55, 0xAA});
    // A type-0 frame carries a module command whose first byte AB becomes AF.
    const bytes setting = {0xAB, 0xAF, 0x00, 0x00, 0xAF, 0x80, 0x15,
                           0x02, 0x09, 0x00, 0xAD, 0x0D, 0x0A};
    const bytes up0 = make_frame(kLamp1, 0, 0x01, 0x07, 0x15, setting);
    const bytes down1 = make_frame(kLamp1, 1, 0x01, 0x07, 0x21, {0x01});
    const bytes down4 = make_frame(kLamp1, 4, 0x01, 0x07, 0x24, {0x04});
    const bytes down5 = make_frame(kLamp2, 5, 0x02, 0x07, 0x25, {0x05, 0x06});
    const bytes down2 = make_frame(kLamp2, 2, 0x02, 0x07, 0x22, {0x02});
    // The type-2 forward holds the radio pump for the whole SMS exchange,
    // which a loaded machine can stretch past the end of the run: the
    // type-0 frame goes before it.
    const std::string scenario =
        "1 sms +4915100000001 wifi on\n"  // someone for type 2 to reach
        "3 radio1 " +
        hex(up1) + "\n4 radio2 " + hex(up5) + "\n5 radio2 " + hex(up3) + "\n6 server " +
        hex(down1) + "\n9 server " + hex(down4) + "\n12 server " + hex(down5) + "\n15 server " +
        hex(down2) + "\n16 radio1 " + hex(up0) + "\n18 radio2 " + hex(up2) +
        "\n32 server-reset-modem\n";
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "inside TLS" : "plain");
        sim_options opt;
        opt.duration = 45;
        opt.lamps = 0;
        opt.quiet = false;
        opt.tls = tls;
        const SimRun r = simulate(opt, scenario);
        ASSERT_EQ(r.rc, 0) << failures(r) << r.log;
        EXPECT_EQ(r.c.tls_handshakes, tls ? 1 : 0);
        // Up: types 1 and 5 reach the server unchanged; type 3 goes nowhere.
        EXPECT_TRUE(r.saw(": " + hex(up1) + "\n")) << r.log;
        EXPECT_TRUE(r.saw(": " + hex(up5) + "\n")) << r.log;
        EXPECT_FALSE(r.saw("sim | server: <- type 3"));
        EXPECT_EQ(r.c.port[0].at_server, 1);
        EXPECT_EQ(r.c.port[1].at_server, 1);
        // Down: 1 and 4 reach the 434 MHz module, 5 the 450 MHz one, each in
        // radio form inside its key window; type 2 goes nowhere.
        EXPECT_TRUE(r.saw("sim | radio1: <- " + hex(radio_frame(down1)) + " :")) << r.log;
        EXPECT_TRUE(r.saw("sim | radio1: <- " + hex(radio_frame(down4)) + " :")) << r.log;
        EXPECT_TRUE(r.saw("sim | radio2: <- " + hex(radio_frame(down5)) + " :")) << r.log;
        EXPECT_EQ(r.c.port[0].unkeyed, 1);  // only the type-0 echo below is unkeyed
        EXPECT_EQ(r.c.port[1].unkeyed, 0);
        EXPECT_EQ(r.c.port[1].at_module, 1);
        // Type 2 goes to the last SMS sender as hexadecimal text.
        EXPECT_TRUE(r.saw("sms sent to \"+4915100000001\"")) << r.log;
        EXPECT_TRUE(r.saw("text \"" + hex(up2, "") + "\"")) << r.log;
        EXPECT_EQ(r.c.sms_forwarded, 1);
        // Type 0 from a module: its radio form, unkeyed, then the embedded
        // command with AF in front, which sets the 434 MHz module's net id.
        EXPECT_TRUE(r.saw("sim | radio1: <- " + hex(radio_frame(up0)) + " : type 0")) << r.log;
        EXPECT_NE(r.c.port[0].settings.find("net id 9,"), std::string::npos)
            << r.c.port[0].settings;
        EXPECT_NE(r.c.port[1].settings.find("net id 1,"), std::string::npos)
            << r.c.port[1].settings;
        // Type 0, command 3 from the server pulses the modem's reset line.
        EXPECT_EQ(r.c.modem_resets, 1);
    }
}

// Every SMS command is answered "ok"; "reset" reboots; the radio payloads
// reach the 434 MHz module exactly; a text that is no command gets no reply.
TEST(EndToEndSms, EveryCommandAnsweredOk)
{
    // "para set": two prefix bytes and a frame without its CRC.
    bytes framed = make_frame(kLamp1, 1, 0x01, 0x07, 0x31, {0x42});
    bytes para = radio_frame(framed);
    para.resize(para.size() - 2);
    const bytes netid = {0xAF, 0xAF, 0x00, 0x00, 0xAF, 0x80, 0x15,
                         0x02, 0x07, 0x00, 0xAB, 0x0D, 0x0A};
    const char *texts[] = {"server ip set 127.0.0.5",
                           "server port set 6000",
                           "wifi on",
                           "wifi off",
                           "ssid set street",
                           "mgmt set 1",
                           "password set x",
                           "connetct router now",
                           "hello"};
    std::string scenario;
    double at = 1;
    for (const char *t : texts)
        scenario += std::to_string(at += 12) + " sms +4915100000002 " + t + "\n";
    scenario += std::to_string(at += 12) + " sms +4915100000002 para set " + hex(para, "") + "\n";
    scenario += std::to_string(at += 12) + " sms +4915100000002 set netid " + hex(netid, "") + "\n";
    // Last: a reset ends the poll that carries it and holds the next.
    scenario += std::to_string(at += 12) + " sms +4915100000002 reset\n";
    sim_options opt;
    opt.duration = at + 20;
    opt.time_scale = 40;
    opt.lamps = 0;
    const SimRun r = simulate(opt, scenario);
    ASSERT_EQ(r.rc, 0) << failures(r) << r.log;

    EXPECT_EQ(r.c.sms_in, 12);
    EXPECT_EQ(r.c.sms_handled, 12);
    EXPECT_EQ(r.c.replies_ok, 11);  // all but "hello"
    EXPECT_EQ(r.c.reboots, 1);
    EXPECT_TRUE(r.saw("gw  | please input correct command"));
    EXPECT_TRUE(r.saw("sim | radio1: <- " + hex(radio_frame(framed)) + " :")) << r.log;
    EXPECT_NE(r.c.port[0].settings.find("net id 7,"), std::string::npos) << r.c.port[0].settings;
    EXPECT_EQ(r.c.port[0].unkeyed, 0);  // both payloads inside the key window
}

// The link: heartbeats answered, five unanswered and the rebuild, then a
// server that closes the connection and the rebuild through the broken pipe.
TEST(EndToEndLink, HeartbeatSilenceAndServerClose)
{
    sim_options opt;
    opt.duration = 760;
    opt.time_scale = 100;
    opt.lamps = 1;
    opt.lamp_interval = 30;
    const SimRun r = simulate(opt, "150 silent on\n500 silent off\n620 drop\n");
    ASSERT_EQ(r.rc, 0) << failures(r) << r.log;

    const bytes beat = make_frame(bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0xA6, 0x00, 0x01, 0x01, 0x06,
                                        0x85, 0x01, 0xC6, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01});
    EXPECT_TRUE(r.saw("sim | server: <- heartbeat " + hex(beat) + ", answered")) << r.log;
    // Two answered (60, 120 s), then five left unanswered; the sixth
    // supervisor call (~480 s) closes the link and builds a new one. Its
    // heartbeat may already go out on the new link, still unanswered.
    const std::string silent =
        r.log.substr(0, r.log.find("gateway connected again (connection 2)"));
    EXPECT_EQ(r.count("<- heartbeat " + hex(beat) + ","),
              r.count("<- heartbeat"));  // every one exact
    EXPECT_EQ(count_in(silent, "heartbeat " + hex(beat) + ", left unanswered"), 5u) << r.log;
    // The gateway's lines reach the transcript through a pipe and may land
    // after the server's own lines about the same moment, so this one is
    // counted over the whole run: the silence rebuilds the link only once.
    EXPECT_EQ(r.count("gw  | not receiver heartbeat response socket was closed"), 1u) << r.log;
    // The server's own close is noticed at the next write: broken pipe.
    EXPECT_EQ(r.c.server_drops, 1) << r.log;
    EXPECT_TRUE(r.saw("gw  | socket was closed")) << r.log;
    EXPECT_EQ(r.c.connections, 3);
    EXPECT_EQ(r.c.gateway_closes, 1);  // the silence only; the drop was the server's
    EXPECT_GE(r.c.heartbeats_answered, 4);
}

// A modem that babbles for ten gateway minutes while type-2 frames ask for
// SMS (sim/scenarios/babble.txt): the radio pump never waits on the modem,
// so the lamp frames of both ports still reach the server in under a second
// of gateway time (the median; latencies are taken in real time, scaled).
TEST(EndToEndModem, BabblingModemLeavesTheRadiosAlone)
{
    std::string path = __FILE__;
    path = path.substr(0, path.rfind("tests/e2e/")) + "sim/scenarios/babble.txt";
    std::vector<sim_event> events;
    std::string err;
    ASSERT_TRUE(sim_load_scenario(path, &events, &err)) << err;
    sim_options opt;
    opt.time_scale = 50;
    opt.duration = 660;
    opt.lamps = 2;
    opt.quiet = true;
    SimRun r;
    testutil::Capture transcript;
    r.rc = sim_run(opt, events, &r.c);
    transcript.end();
    EXPECT_EQ(r.rc, 0) << failures(r);
    for (const auto &p : r.c.port)
        EXPECT_GE(p.at_server, 100);
    EXPECT_LT(sim_percentile(r.c.latency_ms, 0.5) * opt.time_scale / 1000, 1.0)
        << r.c.latency_ms.size() << " frames";
}

// A simulated day of supervision in seconds: the watchdog is fed every pass
// and the daily reboot follows the 4320th pass.
TEST(EndToEndSupervision, OneDay)
{
    sim_options opt;
    opt.time_scale = 20000;
    // Passes also spend real time in the process scan, as much as the
    // machine takes: the day ends on the gateway's own reboot request, and
    // the duration (fifty days, 216 s of real time) only bounds the run.
    opt.duration = 4320000;
    opt.until_reboot = true;
    opt.lamps = 0;
    opt.quiet = true;
    const SimRun r = simulate(opt, "");
    ASSERT_EQ(r.rc, 0) << failures(r);
    // One feed at start-up and one per pass; once the day is over the loop
    // only asks for the reboot, so no feed beyond the 4320th pass.
    EXPECT_EQ(r.c.watchdog_feeds, 4321);
    EXPECT_GE(r.c.reboots, 1);
}

// The companion keeps dying: the tenth change of its process id asks for a
// reboot. Then the modem's nodes vanish: two reboots per pass.
TEST(EndToEndSupervision, CompanionChangesAndVanishedModem)
{
    sim_options opt;
    opt.time_scale = 200;  // a pass: 100 ms real
    opt.duration = 960;
    opt.lamps = 0;
    opt.companion = LAMPGW_ZUZIZE_VID;
    std::atomic<int> feeds{0}, kills{0};
    opt.on_line = [&feeds](const std::string &line) {
        feeds += line.find("watchdog fed") != std::string::npos;
    };
    std::atomic<bool> done{false};
    // Kills each companion the gateway started once a whole pass has seen
    // it: two feeds after the killer first saw it (each pass feeds, then
    // looks at the processes). Nine kills and the first sighting make ten
    // changes.
    std::thread killer([&] {
        std::map<pid_t, int> seen;  // the feeds when first seen
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            for (pid_t pid : companions()) {
                const int first = seen.emplace(pid, feeds.load()).first->second;
                if (kills.load() < 9 && feeds.load() >= first + 2 && kill(pid, SIGKILL) == 0) {
                    waitpid(pid, nullptr, 0);
                    ++kills;
                }
            }
        }
    });
    const SimRun r = simulate(opt, "900 modem-vanish\n");
    done.store(true);
    killer.join();
    ASSERT_EQ(r.rc, 0) << failures(r) << r.log;
    EXPECT_EQ(kills.load(), 9);
    EXPECT_EQ(r.c.companion_starts, 10);
    const size_t vanish = r.log.find("device nodes vanish");
    ASSERT_NE(vanish, std::string::npos);
    EXPECT_EQ(count_in(r.log.substr(0, vanish), "\"reboot\" requested"), 1u) << r.log;
    const size_t late = count_in(r.log.substr(vanish), "\"reboot\" requested");
    EXPECT_GE(late, 2u);
    EXPECT_EQ(late % 2, 0u);
}

// Both radio lines at their real rate (9600 baud, 960 bytes/s) for 10 real
// seconds: 48 lamps of 20-byte status frames per port, each every real
// second. Not one frame may be lost on the way to the server.
TEST(EndToEndFlood, BothPortsAtLineRate)
{
    sim_options opt;
    opt.time_scale = 10;
    opt.duration = 100;  // 10 s real
    opt.lamps = 48;
    opt.lamp_interval = 10;  // 1 s real
    opt.quiet = true;
    const SimRun r = simulate(opt, "");
    ASSERT_EQ(r.rc, 0) << failures(r);
    for (const auto &p : r.c.port) {
        EXPECT_GE(p.lamp_frames, 450);
        EXPECT_EQ(p.at_server, p.lamp_frames);
    }
    EXPECT_LT(sim_percentile(r.c.latency_ms, 0.99), 1000.0);
}
