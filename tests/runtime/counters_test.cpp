// The gateway's counters against streams whose every byte is known.
#include <gtest/gtest.h>

#include "support/cabinet.h"
#include "support/capture.h"

using testutil::cat;

namespace {

bytes frame(uint8_t type, uint8_t cmd = 0x01)
{
    return lamp_frame(type, 0, cmd);
}

uint64_t get(const gw_counter &c)
{
    return counter_get(c);
}

testing::AssertionResult reaches(const char *what, const gw_counter &c, uint64_t n)
{
    return testutil::wait_for(what, 10000, [&] { return get(c) >= n; });
}

}  // namespace

// Two lamp frames while the link is down, then ten with 37 garbage bytes
// among them on one port; a setting and a frame of no use on the other.
TEST(Counters, RadioPortsCountEveryByteAndFrameOnce)
{
    Cabinet cab(50);
    cab.open_ports();
    counters_reset(0);
    testutil::Capture console;
    cab.run(from_device_to_server);
    const port_counters &o = gw_counters.port[PORT_OTHER], &l = gw_counters.port[PORT_LUDENG];

    const bytes unsent = cat({frame(1), frame(5)});
    cab.other.send(unsent);
    ASSERT_TRUE(reaches("two frames unsent", o.frames_unsent, 2));
    ASSERT_TRUE(cab.link_up());

    bytes stream;
    const size_t garbage[10] = {3, 4, 3, 4, 3, 4, 3, 4, 3, 6};  // 37, no 0xA3 among them
    for (size_t i = 0; i < 10; i++)
        stream =
            cat({stream, bytes(garbage[i], static_cast<uint8_t>(0x30 + i)), frame(i % 2 ? 1 : 5)});
    cab.other.send(stream);
    const bytes side = cat({frame(0), frame(3)});
    cab.ludeng.send(side);
    ASSERT_TRUE(reaches("ten frames relayed", o.frames_relayed, 10));
    ASSERT_TRUE(reaches("the setting and the type-3 frame", l.frames_ignored, 1));
    ASSERT_TRUE(reaches("the setting", l.frames_handled, 1));
    cab.stop();
    console.end();

    EXPECT_EQ(get(o.bytes_read), unsent.size() + stream.size());
    EXPECT_EQ(get(o.bytes_discarded), 37u);
    EXPECT_EQ(get(o.frames_unsent), 2u);
    EXPECT_EQ(get(o.frames_relayed), 10u);
    const std::pair<const char *, const gw_counter *> none[] = {
        {"other handled", &o.frames_handled},  {"other ignored", &o.frames_ignored},
        {"other overflow", &o.bytes_overflow}, {"ludeng relayed", &l.frames_relayed},
        {"ludeng unsent", &l.frames_unsent},   {"ludeng discarded", &l.bytes_discarded}};
    for (const auto &[name, counter] : none)
        EXPECT_EQ(get(*counter), 0u) << name;
    EXPECT_EQ(get(l.bytes_read), side.size());
    EXPECT_EQ(cab.server.frames().size(), 10u);
    EXPECT_EQ(get(gw_counters.link.connects), 1u);
    EXPECT_GE(get(gw_counters.link.attempts), 1u);
}

// A frame start one byte short of its frame holds the ring nearly full;
// what comes next overflows it. Every byte read is then either lost to the
// overflow or dropped as belonging to no frame.
TEST(Counters, ARingOverflowAccountsForEveryByte)
{
    Cabinet cab(50);
    cab.open_ports();
    counters_reset(0);
    cab.run(from_device_to_server);
    bytes held = {0xA3, 0x20, 0xFF, 0xF9};  // L + 6 = 65535 bytes
    held.resize(65534);
    cab.ludeng.send(held);
    const port_counters &l = gw_counters.port[PORT_LUDENG];
    ASSERT_TRUE(reaches("the held bytes read", l.bytes_read, held.size()));
    cab.ludeng.send(bytes(10000, 0x55));
    ASSERT_TRUE(testutil::wait_for("every byte accounted for", 10000, [&] {
        return get(l.bytes_read) == held.size() + 10000 &&
               get(l.bytes_overflow) + get(l.bytes_discarded) == held.size() + 10000;
    }));
    cab.stop();
    EXPECT_GT(get(l.bytes_overflow), 0u);
}

// Server frames by fate, heartbeat responses, and link drops by cause.
TEST(Counters, ServerFramesAndLinkDropsAreCountedByCause)
{
    Cabinet cab(200);
    cab.open_ports();
    cab.server.answer_heartbeats.store(false);
    ASSERT_TRUE(cab.link_up());
    counters_reset(0);
    testutil::Capture console;
    cab.run(from_server_to_device);
    const server_counters &s = gw_counters.server;
    const link_counters &k = gw_counters.link;

    const bytes in = cat({{0x00, 0x41, 0x55, 0x20, 0x01},  // no frame start among them
                          frame(1),
                          frame(4),
                          frame(5),
                          frame(0, 7),
                          frame(0, 9),
                          frame(3)});
    cab.server.send(in);
    ASSERT_TRUE(reaches("six server frames", s.frames_received, 6));

    // Five heartbeats unanswered, then the server closes the new link.
    ASSERT_TRUE(reaches("a drop for silence", k.drops_silence, 1));
    ASSERT_TRUE(testutil::wait_for("the second link", 10000, [&] {
        return cab.server.connections() == 2 && net_fd1.net_connect_flag.load() == 1;
    }));
    cab.server.drop();
    ASSERT_TRUE(reaches("a drop by the server", k.drops_closed, 1));
    ASSERT_TRUE(reaches("the third link", k.connects, 2));
    ASSERT_TRUE(testutil::wait_for("heartbeats at the server", 10000, [&] {
        return static_cast<int>(get(k.heartbeats_sent)) == cab.server.heartbeats();
    }));
    cab.stop();
    console.end();

    EXPECT_EQ(get(s.bytes_read), in.size());
    EXPECT_EQ(get(s.bytes_discarded), 5u);
    EXPECT_EQ(get(s.frames_to_other), 2u);
    EXPECT_EQ(get(s.frames_to_ludeng), 1u);
    EXPECT_EQ(get(s.frames_commands), 2u);
    EXPECT_EQ(get(s.frames_ignored), 1u);
    EXPECT_EQ(get(k.heartbeats_answered), 1u);
    EXPECT_EQ(get(k.drops_silence), 1u);
    EXPECT_EQ(get(k.drops_write), 0u);
    EXPECT_EQ(cab.other.received_size(), 2 * (frame(1).size() + 2));
}
