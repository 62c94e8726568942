#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "modem/message.h"
#include "support/cabinet.h"
#include "support/capture.h"

using testutil::cat;

TEST(RadioPump, FramesFromBothPortsReachTheServerWhole)
{
    Cabinet cab(50);
    cab.open_ports();
    ASSERT_TRUE(cab.link_up());
    testutil::Capture console;  // the log lines: LinearFrameWheelFrame
    cab.run(from_device_to_server);

    // Two frames in one read on the lamp side leave one per pass: the second
    // must not wait for further bytes on that port.
    bytes a = lamp_frame(5, 1), b = lamp_frame(5, 2), c = lamp_frame(1, 3);
    cab.ludeng.send(cat({a, b}));
    auto at_server = [&](size_t n) {
        return testutil::wait_for("frames at the server", 3000,
                                  [&] { return cab.server.frames().size() == n; });
    };
    ASSERT_TRUE(at_server(2));

    // Garbage in front, and a frame cut in two pieces on the other port.
    cab.other.send({0x00, 0x55});
    cab.other.send(bytes(c.begin(), c.begin() + 9));
    cab.other.send(bytes(c.begin() + 9, c.end()));
    ASSERT_TRUE(at_server(3));
    // A type-3 frame and a frame with a bad CRC go nowhere.
    bytes bad = lamp_frame(5, 4), d = lamp_frame(5, 6);
    bad.back() ^= 1;
    cab.ludeng.send(cat({lamp_frame(3, 5), bad, d}));
    ASSERT_TRUE(at_server(4));
    cab.stop();
    console.end();

    EXPECT_EQ(cab.server.frames(), (std::vector<bytes>{a, b, c, d}));
    EXPECT_EQ(cab.server.received(), cat({a, b, c, d}));  // nothing else
}

// The SMS thread lists the inbox without pause, each listing answered after
// 2.5 s (so one listing lasts 3 s). A type-2 frame waits 4 s, then its SMS
// must get the modem port as soon as the listing under way ends; a frame on
// the other port waits only for that SMS (its two exchanges, at most 5 s).
// The bounds are in gateway time, stretched by the machine's stalls.
TEST(RadioPump, SmsOfATypeTwoFrameWaitsForOneListingAtMost)
{
    constexpr double listing_s = 3, slack_s = 2;  // a listing more would be 3 s
    Cabinet cab(10);
    cab.open_ports();
    cab.modem.set_listing_delay(2500);
    ASSERT_TRUE(cab.link_up());
    sms_phone_store(&net_fd1, "\"+4915100000\"");
    cab.run(receive_short_message);
    cab.run(from_device_to_server);

    size_t sends = 0;
    for (uint8_t seq = 1; seq <= 3; seq++) {
        SCOPED_TRACE("frame " + std::to_string(seq));
        // Somewhere inside a listing: the SMS thread holds the port.
        std::this_thread::sleep_for(std::chrono::milliseconds(37 * seq));
        const auto t0 = testutil::Clock::now();
        cab.ludeng.send(lamp_frame(2, seq));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a gateway second
        const bytes other = lamp_frame(1, seq);
        cab.other.send(other);
        const double sms_left = 4 + listing_s + slack_s - testutil::gw_since(t0);
        ASSERT_TRUE(testutil::within("the SMS of a type-2 frame", sms_left, [&] {
            auto cmds = cab.modem.commands();
            return std::count_if(cmds.begin(), cmds.end(), [](const std::string &c) {
                       return c.rfind("at+cmgs=", 0) == 0;
                   }) > static_cast<long>(sends);
        }));
        sends++;
        const double left = 4 + listing_s + 5 + slack_s - testutil::gw_since(t0);
        ASSERT_TRUE(testutil::within("the other port's frame at the server", left, [&] {
            auto f = cab.server.frames();
            return std::find(f.begin(), f.end(), other) != f.end();
        }));
    }
    cab.stop();
}
