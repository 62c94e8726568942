#include "board/log.h"

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string logged(const char *label, const uint8_t *data, int len)
{
    testing::internal::CaptureStdout();
    outputlogmessage(label, data, len);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(HexDumpLog, LineFormat)
{
    const uint8_t data[] = {0x01, 0xAB, 0x10, 0xFF};
    EXPECT_EQ(logged("shortmessage:", data, 3), "shortmessage:01-AB-10\n");
    EXPECT_EQ(logged("from device:", data + 3, 1), "from device:FF\n");
    // No data is read for an empty or negative length.
    EXPECT_EQ(logged("set netid:", nullptr, 0), "set netid:\n");
    EXPECT_EQ(logged("set netid:", nullptr, -1), "set netid:\n");
}

TEST(HexDumpLog, ConcurrentLinesStayWhole)
{
    constexpr int kThreads = 4, kLines = 300;
    uint8_t data[32];
    for (int i = 0; i < 32; ++i)
        data[i] = static_cast<uint8_t>(i * 37);
    const char *labels[kThreads] = {"t0:", "t1:", "t2:", "t3:"};
    std::set<std::string> whole;
    for (const char *l : labels)
        whole.insert(logged(l, data, 32));

    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (const char *l : labels)
        threads.emplace_back([&data, l] {
            for (int i = 0; i < kLines; ++i)
                outputlogmessage(l, data, 32);
        });
    for (auto &th : threads)
        th.join();
    std::fflush(stdout);
    std::istringstream out(testing::internal::GetCapturedStdout());
    int count = 0;
    for (std::string line; std::getline(out, line); ++count)
        ASSERT_EQ(whole.count(line + "\n"), 1u) << "torn line: " << line;
    EXPECT_EQ(count, kThreads * kLines);
}
