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
    cab.stop();
    testing::internal::GetCapturedStdout();  // the log lines: LinearFrameWheelFrame

    EXPECT_EQ(cab.server.frames(), (std::vector<bytes>{a, b, c, d}));
    EXPECT_EQ(cab.server.received(), cat(cat(cat(a, b), c), d));  // nothing else
}
