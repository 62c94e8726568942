#include "board/getmacaddr.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <string>

#include <gtest/gtest.h>

#include "support/testutil.h"

TEST(MacAddr, ReadsTheKernelsAddress)
{
    testutil::BoardGuard guard;
    board.net_if = "lo";  // loopback's address is all zero
    char text[14];
    std::memset(text, 'x', sizeof text);
    uint8_t raw[7];
    std::memset(raw, 0xEE, sizeof raw);
    EXPECT_EQ(get_char_macaddr(text), 1);
    EXPECT_EQ(std::string(text, 14), std::string("000000000000\0x", 14));
    EXPECT_EQ(get_int_macaddr(raw), 1);
    EXPECT_EQ(std::string(raw, raw + 7), std::string("\0\0\0\0\0\0\xEE", 7));

    // Every Ethernet interface here: the text is sysfs's address without the
    // colons (lower case, first byte first).
    DIR *dir = opendir("/sys/class/net");
    while (dirent *e = dir ? readdir(dir) : nullptr) {
        std::string name = e->d_name, base = "/sys/class/net/" + name;
        if (testutil::read_file(base + "/type") != "1\n")
            continue;
        std::string want = testutil::read_file(base + "/address");
        want.erase(std::remove_if(want.begin(), want.end(),
                                  [](char c) { return c == ':' || c == '\n'; }),
                   want.end());
        board.net_if = name.c_str();
        ASSERT_EQ(get_char_macaddr(text), 1) << name;
        EXPECT_EQ(std::string(text), want) << name;
    }
    if (dir)
        closedir(dir);
}

TEST(MacAddr, MissingInterfaceLeavesBufferUntouched)
{
    testutil::BoardGuard guard;
    board.net_if = "lampgw-none0";
    char text[13];
    std::memset(text, 'x', sizeof text);
    uint8_t raw[6];
    std::memset(raw, 0xEE, sizeof raw);

    testing::internal::CaptureStdout();
    EXPECT_EQ(get_char_macaddr(text), 0);
    EXPECT_EQ(get_int_macaddr(raw), 0);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "mac ioctl error/nmac ioctl error/n");
    EXPECT_EQ(std::string(text, 13), std::string(13, 'x'));
    EXPECT_EQ(std::string(raw, raw + 6), std::string(6, '\xEE'));
}
