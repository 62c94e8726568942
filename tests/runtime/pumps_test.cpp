#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "modem/message.h"
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
    cab.stop();
    testing::internal::GetCapturedStdout();  // the log lines: LinearFrameWheelFrame

    EXPECT_EQ(cab.server.frames(), (std::vector<bytes>{a, b, c, d}));
    EXPECT_EQ(cab.server.received(), cat(cat(cat(a, b), c), d));  // nothing else
}

// The SMS thread lists the inbox without pause, each listing answered after
// 2.5 s (so one listing lasts 3 s). A type-2 frame waits 4 s, then its SMS
// must get the modem port as soon as the listing under way ends; a frame on
// the other port waits only for that SMS (its two exchanges, at most 5 s).
TEST(RadioPump, SmsOfATypeTwoFrameWaitsForOneListingAtMost)
{
    constexpr unsigned speedup = 10;              // 2 s of slack are 200 ms of real time
    constexpr double listing_s = 3, slack_s = 2;  // a listing more would be 3 s
    Cabinet cab(speedup);
    cab.open_ports();
    cab.modem.set_listing_delay(2500);
    ASSERT_TRUE(cab.link_up());
    sms_phone_store(&net_fd1, "\"+4915100000\"");
    cab.run(receive_short_message);
    cab.run(from_device_to_server);

    using clock = std::chrono::steady_clock;
    auto gw_seconds = [](clock::time_point since) {
        return std::chrono::duration<double>(clock::now() - since).count() * speedup;
    };
    size_t sends = 0;
    for (uint8_t seq = 1; seq <= 3; seq++) {
        // Somewhere inside a listing: the SMS thread holds the port.
        std::this_thread::sleep_for(std::chrono::milliseconds(37 * seq));
        const auto t0 = clock::now();
        cab.ludeng.send(lamp_frame(2, seq));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 / speedup));
        const bytes other = lamp_frame(1, seq);
        cab.other.send(other);
        ASSERT_TRUE(testutil::wait_for("the SMS of a type-2 frame", 20000, [&] {
            auto cmds = cab.modem.commands();
            return std::count_if(cmds.begin(), cmds.end(), [](const std::string &c) {
                       return c.rfind("at+cmgs=", 0) == 0;
                   }) > static_cast<long>(sends);
        }));
        sends++;
        EXPECT_LE(gw_seconds(t0), 4 + listing_s + slack_s) << "frame " << int(seq);
        ASSERT_TRUE(testutil::wait_for("the other port's frame at the server", 20000, [&] {
            auto f = cab.server.frames();
            return std::find(f.begin(), f.end(), other) != f.end();
        }));
        EXPECT_LE(gw_seconds(t0), 4 + listing_s + 5 + slack_s) << "frame " << int(seq);
    }
    cab.stop();
}
