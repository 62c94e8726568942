#include <gtest/gtest.h>

#include "runtime/cabinet.h"

namespace {

const uint8_t lamp[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};

bytes lamp_frame(uint8_t type, uint8_t seq)
{
    return make_frame(lamp, type, 0x07, 0x08, 0x01,
                      {seq, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
}

bytes cat(const bytes &a, const bytes &b)
{
    bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

}  // namespace

TEST(RadioPump, FramesFromBothPortsReachTheServerWhole)
{
    Cabinet cab(50);
    cab.open_ports();
    ASSERT_TRUE(cab.link_up());
    testing::internal::CaptureStdout();
    cab.run(from_device_to_server);

    // Two frames in one read on the lamp side leave one per pass: the second
    // must not wait for further bytes on that port.
    bytes a = lamp_frame(5, 1), b = lamp_frame(5, 2), c = lamp_frame(1, 3);
    cab.ludeng.send(cat(a, b));
    ASSERT_TRUE(wait_for([&] { return cab.server.frames().size() == 2; }, 3000));

    // Garbage in front, and a frame cut in two pieces on the other port.
    cab.other.send({0x00, 0x55});
    cab.other.send(bytes(c.begin(), c.begin() + 9));
    cab.other.send(bytes(c.begin() + 9, c.end()));
    ASSERT_TRUE(wait_for([&] { return cab.server.frames().size() == 3; }, 3000));
    // A type-3 frame and a frame with a bad CRC go nowhere.
    bytes bad = lamp_frame(5, 4), d = lamp_frame(5, 6);
    bad.back() ^= 1;
    cab.ludeng.send(cat(cat(lamp_frame(3, 5), bad), d));
    ASSERT_TRUE(wait_for([&] { return cab.server.frames().size() == 4; }, 3000));
    gateway_stopping.store(true);
    for (auto &t : cab.threads)
        t.join();
    cab.threads.clear();
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(cab.server.frames(), (std::vector<bytes>{a, b, c, d}));
    EXPECT_EQ(cab.server.received(), cat(cat(cat(a, b), c), d));
    // The log line shows the frame without its radio prefix.
    std::string dump = hex(a);
    for (auto &ch : dump)
        if (ch == ' ')
            ch = '-';
    std::string line = "from device:" + dump + "\n";
    EXPECT_NE(out.find(line), std::string::npos) << out;
}

TEST(ServerPump, FramesForTheLampsGoOutKeyedInRadioForm)
{
    Cabinet cab(50);
    cab.open_ports();
    ASSERT_TRUE(cab.link_up());
    cab.run(from_server_to_device);

    bytes to_lamps = lamp_frame(5, 1), to_other = lamp_frame(4, 2);
    cab.server.send(cat(to_lamps, to_other));
    bytes radio_lamps = cat({0x07, 0x08}, to_lamps), radio_other = cat({0x07, 0x08}, to_other);
    ASSERT_TRUE(wait_for(
        [&] { return cab.ludeng.received() == radio_lamps && cab.other.received() == radio_other; },
        5000));
    ASSERT_TRUE(wait_for([&] { return cab.gpio.levels(117).size() == 2; }, 3000));
    EXPECT_EQ(cab.gpio.levels(7), (std::vector<int>{1, 0}));
    EXPECT_EQ(cab.gpio.levels(117), (std::vector<int>{1, 0}));

    // Command 3 resets the modem: line 115 low, then high.
    cab.server.send(make_frame(lamp, 0, 1, 1, 3, {}));
    ASSERT_TRUE(wait_for([&] { return cab.gpio.levels(115) == std::vector<int>{0, 1}; }, 3000));
}

TEST(Heartbeat, AnsweredKeepsTheLinkUnansweredRebuildsIt)
{
    Cabinet cab(200);
    for (int i = 0; i < 6; ++i)
        deviceid[i] = lamp[i];
    ASSERT_TRUE(cab.link_up());
    testing::internal::CaptureStdout();
    cab.run(from_server_to_device);

    // A pass lasts a (scaled) second on an idle link: a heartbeat a minute.
    ASSERT_TRUE(wait_for([&] { return cab.server.heartbeats() >= 7; }, 20000));
    EXPECT_EQ(cab.server.connections(), 1);
    bytes hb = cab.server.frames().front();
    EXPECT_EQ(hb, make_frame(lamp, 0, 0x01, 0x01, 0x06,
                             {0x85, 0x01, 0xC6, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01}));

    // Five unanswered heartbeats: the sixth supervisor call drops the link
    // and a new connector builds another.
    cab.server.answer_heartbeats.store(false);
    ASSERT_TRUE(wait_for([&] { return cab.server.connections() == 2; }, 30000));
    ASSERT_TRUE(wait_for([&] { return net_fd1.net_connect_flag.load() == 1; }, 3000));
    gateway_stopping.store(true);
    for (auto &t : cab.threads)
        t.join();
    cab.threads.clear();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("not receiver heartbeat response socket was closed\n"), std::string::npos);
    EXPECT_NE(out.find("reiceive server heartbeat response\n"), std::string::npos);
}
