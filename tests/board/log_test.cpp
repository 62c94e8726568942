#include "board/log.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "peers/hex.h"
#include "support/capture.h"

static std::string logged(const char *label, const uint8_t *data, int len)
{
    testutil::Capture out;
    outputlogmessage(label, data, len);
    return out.end();
}

TEST(HexDumpLog, LineFormat)
{
    const uint8_t data[] = {0x01, 0xAB, 0x10, 0xFF};
    EXPECT_EQ(logged("shortmessage:", data, 3), "shortmessage:01-AB-10\n");
    EXPECT_EQ(logged("from device:", data + 3, 1), "from device:FF\n");
    EXPECT_EQ(logged("set netid:", nullptr, 0), "set netid:\n");
    EXPECT_EQ(logged("x:", nullptr, -1), "x:\n");
    // Long frames are written in slices; the joins must not show.
    for (int len : {255, 256, 257, 513}) {
        bytes big(static_cast<size_t>(len));
        for (int i = 0; i < len; ++i)
            big[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7);
        EXPECT_EQ(logged("L:", big.data(), len), "L:" + hex(big, "-") + "\n") << len;
    }
}

// Four threads log 300 lines each at once; every line must come out whole.
TEST(HexDumpLog, ConcurrentLinesStayWhole)
{
    const uint8_t data[32] = {0xA3, 0x20};
    const std::string hex = logged(":", data, 32);
    testutil::Capture capture;
    std::vector<std::thread> threads;
    for (const char *label : {"t0:", "t1:", "t2:", "t3:"})
        threads.emplace_back([&data, label] {
            for (int i = 0; i < 300; ++i)
                outputlogmessage(label, data, 32);
        });
    for (auto &th : threads)
        th.join();
    const std::string out = capture.end();
    ASSERT_EQ(out.size(), 4 * 300 * (hex.size() + 2));
    for (size_t at = 0; at < out.size(); at += hex.size() + 2)
        ASSERT_EQ(out.substr(at, 1) + out.substr(at + 2, hex.size()), "t" + hex) << at;
}
