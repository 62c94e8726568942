#include "board/getmacaddr.h"

#include <algorithm>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/capture.h"
#include "support/testutil.h"

// A missing interface leaves the buffers alone; loopback's address is all
// zero; an Ethernet interface's text is sysfs's address without the colons.
TEST(MacAddr, ReadsTheKernelsAddress)
{
    testutil::BoardGuard guard;
    char text[15] = "xxxxxxxxxxxxxx";
    uint8_t raw[7] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    auto both = [&] { return std::string(text, 14) + std::string(raw, raw + 7); };
    board.net_if = "lampgw-none0";
    testutil::Capture out;
    const int text_rc = get_char_macaddr(text), raw_rc = get_int_macaddr(raw);
    EXPECT_EQ(out.end(), "mac ioctl error/nmac ioctl error/n");
    EXPECT_EQ(text_rc, 0);
    EXPECT_EQ(raw_rc, 0);
    EXPECT_EQ(both(), std::string(14, 'x') + std::string(7, '\xEE'));
    board.net_if = "lo";
    EXPECT_EQ(get_char_macaddr(text), 1);
    EXPECT_EQ(get_int_macaddr(raw), 1);
    EXPECT_EQ(both(), std::string("000000000000\0x\0\0\0\0\0\0\xEE", 21));
    for (const auto &e : std::filesystem::directory_iterator("/sys/class/net")) {
        std::string name = e.path().filename(), want = testutil::read_file(e.path() / "address");
        want.erase(std::remove(want.begin(), want.end(), ':'), want.end());
        board.net_if = name.c_str();
        if (testutil::read_file(e.path() / "type") != "1\n")
            continue;
        EXPECT_EQ(get_char_macaddr(text) ? text + std::string("\n") : "failed", want) << name;
    }
}
