#include <gtest/gtest.h>

#include "emu/simulator.h"
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
                           "4 silent on\n",
                           &ev, &err))
        << err;
    ASSERT_EQ(ev.size(), 6u);
    EXPECT_EQ(ev[0].kind, sim_event_kind::server_lamp);  // sorted by time
    EXPECT_EQ(ev[0].level, 80);
    EXPECT_EQ(ev[1].data, make_frame({0x01, 0x02, 0x03, 0x04, 0x05, 0xA6, 0x02, 0x02, 0x02, 0x01}));
    EXPECT_EQ(hex(ev[2].data), "A3 20 00 00 57 72");  // a whole frame is sent as it is
    EXPECT_EQ(ev[3].data.size(), 16u);                // a body is wrapped
    EXPECT_TRUE(ev[4].on);
    EXPECT_EQ(ev[5].sender, "+49151");
    EXPECT_EQ(ev[5].text, "server port set 9000");

    const char *bad[] = {"x drop",         "1",
                         "1 fly",          "1 drop now",
                         "1 lamp1 0",      "1 radio1 A3 2",
                         "1 radio1 zz",    "1 server-lamp 3 1",
                         "1 silent maybe", "1 sms"};
    for (const char *line : bad) {
        EXPECT_FALSE(sim_parse_scenario(std::string("0 drop\n") + line, &ev, &err)) << line;
        EXPECT_EQ(err.compare(0, 7, "line 2:"), 0) << err;
    }
    EXPECT_EQ(sim_percentile({}, 0.5), 0);
    EXPECT_EQ(sim_percentile({4, 1, 3, 2}, 0.5), 2);
    EXPECT_EQ(sim_percentile({4, 1, 3, 2}, 0.99), 4);
}

// The whole street at a high clock speed: frames both ways, an SMS with its
// reply, a link drop and the reconnect, and every check passing.
TEST(Simulator, RunsTheGatewayEndToEnd)
{
    testutil::BoardGuard guard;
    sim_options opt;
    opt.time_scale = 50;
    opt.duration = 20;
    opt.lamps = 2;
    opt.lamp_interval = 5;
    opt.quiet = true;
    std::vector<sim_event> ev;
    std::string err;
    ASSERT_TRUE(sim_parse_scenario("1 server-lamp 2 1\n2 sms +4915 wifi on\n10 drop\n", &ev, &err))
        << err;
    sim_counters c;
    EXPECT_EQ(sim_run(opt, ev, &c), 0);
    EXPECT_TRUE(c.failures.empty());
    EXPECT_GE(c.port[0].at_server, 4);
    EXPECT_GE(c.port[1].at_server, 4);
    EXPECT_EQ(c.port[1].server_sent, 1);
    EXPECT_EQ(c.port[1].at_module, 1);
    EXPECT_EQ(c.port[1].key_windows, 1);
    EXPECT_EQ(c.replies_ok, 1);
    EXPECT_EQ(c.sms_handled, 1);
    EXPECT_EQ(c.server_drops, 1);
    EXPECT_EQ(c.connections, 2);
    EXPECT_FALSE(c.latency_ms.empty());
}

// The demo scenario, every road through the gateway: each of the gateway's
// own counts agrees with what the street counted.
TEST(Simulator, DemoCountsAgreeWithTheStreet)
{
    testutil::BoardGuard guard;
    std::string demo = __FILE__;
    demo = demo.substr(0, demo.rfind("tests/sim/")) + "sim/scenarios/demo.txt";
    std::vector<sim_event> ev;
    std::string err;
    ASSERT_TRUE(sim_load_scenario(demo, &ev, &err)) << err;
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
    EXPECT_EQ(st.count("version") + st.count("b"), 0u);
    // keys, street before and after asking, below, above: agrees?
    const struct {
        const char *keys;
        long long before, after, below, above;
        bool ok;
    } rows[] = {{"hb_sent", 7, 7, 0, 0, true},         {"hb_sent", 8, 8, 0, 0, false},
                {"hb_sent", 8, 8, 1, 0, true},         {"hb_sent", 5, 6, 0, 0, false},
                {"hb_sent", 5, 6, 0, 1, true},         {"hb_sent a", 8, 10, 0, 0, true},
                {"hb_sent nothing", 0, 9, 0, 0, false}};
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
