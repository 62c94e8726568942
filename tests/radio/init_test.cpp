#include "radio/init.h"

#include <chrono>

#include <gtest/gtest.h>

#include "board/timebase.h"
#include "support/capture.h"
#include "support/testutil.h"

using testutil::radio_hex;

TEST(RadioConfig, StartupSequenceSingleCommandsAndFrequencyRange)
{
    testutil::BoardGuard guard;
    time_set_speedup(20);  // a command's second is 50 ms
    testutil::Pty pty;
    const int m = pty.master, s = pty.slave;
    testutil::Capture out;
    auto start = std::chrono::steady_clock::now();
    w433_para_init(s, 1, 0, 450);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));  // 9 + 1 s
    EXPECT_EQ(radio_hex(m),
              "AF AF 00 00 AF 80 15 02 01 00 A5 0D 0A AF AF 00 00 AF 80 19 02 00 00 A8 0D 0A "
              "AF AF 00 00 AF 80 0D 02 0B 00 A7 0D 0A AF AF 00 00 AF 80 0F 02 07 00 A5 0D 0A "
              "AF AF 00 00 AF 80 11 02 01 00 A1 0D 0A AF AF 00 00 AF 80 17 02 07 00 AD 0D 0A "
              "AF AF 00 00 AF 80 1B 02 05 00 AF 0D 0A AF AF 00 00 AF 80 09 02 04 00 9C 0D 0A "
              "AF AF 00 00 AF 80 0B 03 70 80 12 9D 0D 0A");

    int wide = 300;  // passed on as its low byte, 44
    set_w433_netid(s, wide), set_w433_COM_PAUDRATE(s, 3, 0xF1);
    EXPECT_EQ(set_w433_RF_FREQUENCY(s, 419), -1);  // nothing sent
    EXPECT_EQ(set_w433_RF_FREQUENCY(s, 511), -1);
    EXPECT_EQ(set_w433_RF_FREQUENCY(s, 420), 0);
    EXPECT_EQ(set_w433_RF_FREQUENCY(s, 510), 0);
    EXPECT_EQ(
        radio_hex(m),
        "AF AF 00 00 AF 80 15 02 2C 00 D0 0D 0A AF AF 00 00 AF 80 09 02 03 F1 8C 0D 0A "
        "AF AF 00 00 AF 80 0B 03 69 00 11 15 0D 0A AF AF 00 00 AF 80 0B 03 7F 80 15 AF 0D 0A");
    EXPECT_EQ(out.end(),
              "netid=1\nset NETID\nset BREATH TIME\nset RF_FACTOR\n"
              "set RF_BW\nset RF_MODE\nset RF_POWER\nset WAKE_UP_TIME\nset COM_PAUDRATE\nset "
              "RF_FREQUENCY\n"
              "netid=44\nset NETID\nset COM_PAUDRATE\nset RF_FREQUENCY\nset RF_FREQUENCY\n");
}
