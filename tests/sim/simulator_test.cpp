#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "drivers/simulator.h"
#include "support/testutil.h"

TEST(Simulator, ParsesScenarioLinesAndRejectsBadOnes)
{
    std::vector<sim_event> ev;
    std::string err;
    ASSERT_TRUE(
        sim_parse_scenario("# comment\n\n"
                           "9 sms +49151  server port set 9000\r\n"
                           "2.5 radio2 frame 0102030405A6 02 0202 01\n"
                           "3 server A3 20 00 00 57 72\n"
                           "3 server 0102030405A6 00 0101 07\n"
                           "1 server-lamp 1 2 80\n"
                           "4 silent on\n"
                           "5 modem-babble off\n",
                           &ev, &err))
        << err;
    ASSERT_EQ(ev.size(), 7u);
    EXPECT_EQ(ev[0].kind, sim_event_kind::server_lamp);  // sorted by time
    EXPECT_EQ(ev[0].level, 80);
    EXPECT_EQ(ev[1].data, make_frame({0x01, 0x02, 0x03, 0x04, 0x05, 0xA6, 0x02, 0x02, 0x02, 0x01}));
    EXPECT_EQ(hex(ev[2].data), "A3 20 00 00 57 72");  // a whole frame is sent as it is
    EXPECT_EQ(ev[3].data.size(), 16u);                // a body is wrapped
    EXPECT_TRUE(ev[4].on);
    EXPECT_EQ(ev[5].kind, sim_event_kind::modem_babble);
    EXPECT_FALSE(ev[5].on);
    EXPECT_EQ(ev[6].sender, "+49151");
    EXPECT_EQ(ev[6].text, "server port set 9000");

    const char *bad[] = {"x drop",         "1",
                         "1 fly",          "1 drop now",
                         "1 lamp1 0",      "1 radio1 A3 2",
                         "1 radio1 zz",    "1 server-lamp 3 1",
                         "1 silent maybe", "1 modem-babble",
                         "1 sms"};
    for (const char *line : bad) {
        EXPECT_FALSE(sim_parse_scenario(std::string("0 drop\n") + line, &ev, &err)) << line;
        EXPECT_EQ(err.compare(0, 7, "line 2:"), 0) << err;
    }
    EXPECT_EQ(sim_percentile({}, 0.5), 0);
    EXPECT_EQ(sim_percentile({4, 1, 3, 2}, 0.5), 2);
    EXPECT_EQ(sim_percentile({4, 1, 3, 2}, 0.99), 4);
}

// The demo scenario, every road through the gateway: each of the gateway's
// own counts agrees with what the street counted.
TEST(Simulator, DemoCountsAgreeWithTheStreet)
{
    testutil::BoardGuard guard;
    std::vector<sim_event> ev;
    std::string err;
    ASSERT_TRUE(sim_load_scenario(testutil::source_file("sim/scenarios/demo.txt"), &ev, &err))
        << err;
    sim_options opt;
    opt.time_scale = 50;
    opt.duration = 80;
    opt.quiet = true;
    sim_counters c;
    EXPECT_EQ(sim_run(opt, ev, &c), 0) << (c.failures.empty() ? "" : c.failures[0]);
    ASSERT_EQ(c.counts.size(), 19u) << c.stats_line;
    for (const count_check &k : c.counts) {
        EXPECT_TRUE(k.ok) << count_check_text(k);
        // The demo takes every road but the silence drop at least once.
        EXPECT_TRUE(k.gateway > 0 || k.keys == "drops_silence") << count_check_text(k);
    }
}

TEST(Simulator, CountChecksHoldTheGatewayWithinItsTolerance)
{
    gw_stats st;
    EXPECT_FALSE(stats_parse("connect success", &st));
    ASSERT_TRUE(stats_parse("gw | stats version=1.0.0 uptime=5 link=up hb_sent=7 a=2 b=x", &st));
    EXPECT_EQ(st.count("version"), 0u);
    EXPECT_EQ(st.count("b"), 0u);
    // keys, street before and after asking, below, above: agrees?
    constexpr bool AGREES = true, DIFFERS = false;
    const struct {
        const char *keys;
        long long before, after, below, above;
        bool ok;
    } rows[] = {{"hb_sent", 7, 7, 0, 0, AGREES},         {"hb_sent", 8, 8, 0, 0, DIFFERS},
                {"hb_sent", 8, 8, 1, 0, AGREES},         {"hb_sent", 5, 6, 0, 0, DIFFERS},
                {"hb_sent", 5, 6, 0, 1, AGREES},         {"hb_sent a", 8, 10, 0, 0, AGREES},
                {"hb_sent nothing", 0, 9, 0, 0, DIFFERS}};
    for (const auto &r : rows) {
        std::vector<count_check> v(1);
        v[0].keys = r.keys;
        v[0].street_before = r.before;
        v[0].street_after = r.after;
        v[0].below = r.below;
        v[0].above = r.above;
        count_checks_run(st, &v);
        EXPECT_EQ(v[0].ok, r.ok) << count_check_text(v[0]);
    }
}

// The server stand-in reads a connection to its end before it takes the
// next one: a gateway that rebuilds its link while the server is busy has
// written its last frames on the old connection. Holding the server thread
// inside on_frame lets the close and the new connect land in one wait.
TEST(Simulator, ServerReadsAnOldConnectionBeforeTheNext)
{
    ServerPeer server;
    std::atomic<int> frames{0};
    std::atomic<bool> hold{true};
    server.on_frame = [&](const bytes &) {
        ++frames;
        for (int ms = 0; hold.load() && ms < 5000; ++ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    ASSERT_TRUE(server.start());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(server.port()));
    const int fd[2] = {socket(AF_INET, SOCK_STREAM, 0), socket(AF_INET, SOCK_STREAM, 0)};
    const bytes f = make_frame({0x01, 0x02, 0x03, 0x04, 0x05, 0xA6, 0x00, 0x01, 0x01, 0x06});
    bytes four;
    for (int i = 0; i < 4; ++i)
        four.insert(four.end(), f.begin(), f.end());
    ASSERT_EQ(connect(fd[0], reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    ASSERT_EQ(send(fd[0], f.data(), f.size(), 0), static_cast<ssize_t>(f.size()));
    ASSERT_TRUE(testutil::wait_for("the first frame", 5000, [&] { return frames.load() == 1; }));
    ASSERT_EQ(send(fd[0], four.data(), four.size(), 0), static_cast<ssize_t>(four.size()));
    close(fd[0]);
    ASSERT_EQ(connect(fd[1], reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    hold.store(false);
    EXPECT_TRUE(testutil::wait_for("the second connection", 5000,
                                   [&] { return server.connections() == 2; }));
    EXPECT_TRUE(server.drain(false, 5000));
    EXPECT_EQ(frames.load(), 5);
    close(fd[1]);
}
