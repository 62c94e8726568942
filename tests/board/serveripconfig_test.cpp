#include "board/serveripconfig.h"

#include <string>

#include <gtest/gtest.h>

#include "support/testutil.h"

namespace {

struct positional_fixture {
    testutil::BoardGuard guard;
    testutil::TempDir dir;
    std::string file = dir.file("config.txt");
    positional_fixture() { board.config_file = file.c_str(); }
};

// "ip|port" as the positional readers see the file.
std::string lines_of()
{
    char ip[100] = "stale", port[100] = "stale";
    EXPECT_EQ(server_ip_config(ip), 1);
    EXPECT_EQ(server_port_config(port), 1);
    return std::string(ip) + "|" + port;
}

}  // namespace

TEST(PositionalConfig, ReadsLinesOneAndTwo)
{
    positional_fixture fx;
    testutil::write_file(fx.file, "192.0.2.10\n8000\nrest\n");
    EXPECT_EQ(lines_of(), "192.0.2.10|8000");
    testutil::write_file(fx.file, std::string(30, 'a') + "\n8000");
    EXPECT_EQ(lines_of(), std::string(21, 'a') + "|8000");
    testutil::write_file(fx.file, "192.0.2.10\n");
    EXPECT_EQ(lines_of(), "192.0.2.10|");
    testutil::write_file(fx.file, "");
    EXPECT_EQ(lines_of(), "|");
}

TEST(PositionalConfig, SettersOverwriteInPlace)
{
    positional_fixture fx;
    testutil::write_file(fx.file, "192.0.2.10\n8000\n");
    EXPECT_EQ(server_ip_set("198.51.100.200"), 1);
    EXPECT_EQ(testutil::read_file(fx.file), "198.51.100.200\n8000\n");
    // The file never shrinks: the old tail stays as further lines.
    EXPECT_EQ(server_ip_set("10.0.0.1"), 1);
    EXPECT_EQ(testutil::read_file(fx.file), "10.0.0.1\n8000\n\n8000\n");
    EXPECT_EQ(server_port_set("12345"), 1);
    EXPECT_EQ(testutil::read_file(fx.file), "10.0.0.1\n12345\n8000\n");

    EXPECT_EQ(server_ip_set(std::string(99, '1').c_str()), 1);
    EXPECT_EQ(server_port_set(std::string(99, '1').c_str()), 1);
    EXPECT_EQ(testutil::read_file(fx.file), "10.0.0.1\n12345\n8000\n");
    EXPECT_EQ(server_ip_set(std::string(98, '1').c_str()), 1);
    EXPECT_EQ(lines_of(), std::string(21, '1') + "|12345");

    // Unterminated last lines are ended so that line 2 stays line 2.
    testutil::write_file(fx.file, "192.0.2.10\n8000");
    EXPECT_EQ(server_ip_set("192.0.2.1"), 1);
    EXPECT_EQ(testutil::read_file(fx.file), "192.0.2.1\n8000\n");
    testutil::write_file(fx.file, "192.0.2.10");
    EXPECT_EQ(server_port_set("8000"), 1);
    EXPECT_EQ(testutil::read_file(fx.file), "192.0.2.10\n8000\n");
}

TEST(PositionalConfig, MissingFileIsReported)
{
    positional_fixture fx;
    char buf[100] = "stale";
    testing::internal::CaptureStdout();
    EXPECT_EQ(server_ip_config(buf) + server_port_config(buf) + server_ip_set("192.0.2.1") +
                  server_port_set("8000"),
              0);
    fflush(stdout);
    std::string line = "can not open the config.txt\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line + line + line + line);
    EXPECT_STREQ(buf, "stale");
    EXPECT_FALSE(testutil::file_exists(fx.file));
}
