#include "board/serveripconfig.h"

#include <string>

#include <gtest/gtest.h>

#include "support/capture.h"
#include "support/testutil.h"

// "ip result|port result|ip|port" as the positional readers see the file.
static std::string lines_of()
{
    char ip[100] = "stale", port[100] = "stale";
    const int ip_rc = server_ip_config(ip), port_rc = server_port_config(port);
    return std::to_string(ip_rc) + "|" + std::to_string(port_rc) + "|" + ip + "|" + port;
}

// The setters overwrite in place, so the file never shrinks; a line 1 that
// ends the file gets a line feed. Text over 98 characters is not written.
TEST(PositionalConfig, ReadsAndOverwritesLinesOneAndTwo)
{
    testutil::BoardGuard guard;
    testutil::TempDir dir;
    const std::string f = dir.file("config.txt"), none = dir.file("none");
    board.config_file = f.c_str();
    testutil::write_file(f, "192.0.2.10");
    EXPECT_EQ(server_port_set("8000"), 1);
    EXPECT_EQ(server_port_set(std::string(99, '1').c_str()), 1);
    EXPECT_EQ(server_ip_set("198.51.100.200"), 1);
    EXPECT_EQ(server_ip_set("10.0.0.1"), 1);
    EXPECT_EQ(testutil::read_file(f), "10.0.0.1\n8000\n\n8000\n");
    EXPECT_EQ(server_ip_set(std::string(98, '1').c_str()), 1);
    EXPECT_EQ(lines_of(), "1|1|" + std::string(21, '1') + "|8000");  // shown cut to 21

    board.config_file = none.c_str();
    testutil::Capture out;
    const std::string none_read = lines_of();
    const int ip_rc = server_ip_set("1"), port_rc = server_port_set("2");
    const std::string l = "can not open the config.txt\n";
    EXPECT_EQ(out.end(), l + l + l + l);
    EXPECT_EQ(none_read, "0|0|stale|stale");
    EXPECT_EQ(ip_rc, 0);
    EXPECT_EQ(port_rc, 0);
}
