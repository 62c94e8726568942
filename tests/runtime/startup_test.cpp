#include <cstring>

#include <gtest/gtest.h>

#include "support/cabinet.h"
#include "support/capture.h"

using testutil::in_order;

static std::string startup_console()
{
    supervision_state sv;
    testutil::Capture out;
    gateway_startup(&net_fd1, &sv);
    std::string console = out.end();
    EXPECT_EQ(sv.passes_left, SUPERVISION_PASSES);
    return console;
}

TEST(Startup, ConfiguresPortsLinesRadiosAndModemInOrder)
{
    Cabinet cab(400);
    std::string out = startup_console();
    std::string port = std::to_string(cab.server.port());
    EXPECT_TRUE(in_order(
        out, {"device id=0102030405A6\n", "server_ip:127.0.0.1\n", "server port num:" + port + "\n",
              "SOFTWAREVERSION start.\n", "netid=5\n", "set RF_FREQUENCY", "netid=1\n",
              "set RF_FREQUENCY", "end config short message env"}));
    EXPECT_EQ(std::memcmp(deviceid, "\x01\x02\x03\x04\x05\xA6", 6), 0);
    EXPECT_EQ(net_fd1.server_port, cab.server.port());
    EXPECT_EQ(out.find("warning:"), std::string::npos) << out;
    EXPECT_EQ(net_fd1.stats_interval, 900);

    // Reset and start-up pulses, both keys released, one watchdog feed. (The
    // radio frames are checked to the byte by RadioConfig, the modem's
    // commands by AtChannel.)
    const board_description &b = board;
    ASSERT_TRUE(testutil::wait_for("a watchdog feed", 2000,
                                   [&] { return cab.gpio.levels(b.gpio_watchdog).size() == 2; }));
    EXPECT_EQ(cab.gpio.levels(b.gpio_modem_reset), (std::vector<int>{0, 1}));
    EXPECT_EQ(cab.gpio.levels(b.gpio_startup_pulse), (std::vector<int>{0, 1}));
    EXPECT_EQ(cab.gpio.levels(b.gpio_key_other), (std::vector<int>{0}));
    EXPECT_EQ(cab.gpio.levels(b.gpio_key_ludeng), (std::vector<int>{0}));
    EXPECT_EQ(cab.gpio.levels(b.gpio_watchdog), (std::vector<int>{1, 0}));
}

// Without config.txt every value is empty. An odd-length device id leaves
// the address as it was (all zero); a value too long is refused, empty.
TEST(Startup, CompletesWithoutConfigAndWithBadValues)
{
    for (bool with_config : {false, true}) {
        Cabinet cab(400, with_config);
        if (with_config)
            testutil::write_file(
                cab.config, "device_id=0102030405A\nserver_ip_addr=" + std::string(25, '1') + "\n");
        std::memset(deviceid, 0, sizeof deviceid);
        const std::string out = startup_console();
        EXPECT_TRUE(
            in_order(out, {with_config ? "device id=0102030405A\n" : "device id=\n", "server_ip:\n",
                           "server port num:0\n", "SOFTWAREVERSION start.\n",
                           with_config ? "netid=5\n" : "netid=0\n"}));
        EXPECT_EQ(out.find("server_ip_addr is too long") != std::string::npos, with_config) << out;
        // Each problem of the file right after the line of its value.
        if (with_config)
            EXPECT_TRUE(in_order(
                out,
                {"device id=0102030405A\nwarning: " + cab.config + ":1: device_id",
                 "hexadecimal digits\nserver_ip:\nwarning: " + cab.config + ":2: server_ip_addr",
                 "server port num:0\nwarning: " + cab.config +
                     ": server_port_num is missing\nwarning: " + cab.config +
                     ": sms_admin_numbers is missing: every sender may command the gateway by SMS "
                     "(an empty sms_admin_numbers= lets nobody)\nSOFTWAREVERSION"}));
        else
            EXPECT_TRUE(in_order(out, {"server port num:0\nwarning: " + cab.config +
                                       ": cannot be read: No such file or directory\n"
                                       "SOFTWAREVERSION"}));
        EXPECT_EQ(std::memcmp(deviceid, "\0\0\0\0\0\0", 6), 0);
    }
}
