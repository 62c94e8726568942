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
