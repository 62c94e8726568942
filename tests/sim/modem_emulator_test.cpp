#include <chrono>
#include <string>

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "emu/modem_emulator.h"

namespace {

// Writes cmd to the slave and reads until the answer ends with `until` or
// `ms` pass; returns what arrived.
std::string ask(ModemEmulator &emu, const std::string &cmd, const std::string &until, int ms = 1000)
{
    EXPECT_EQ(write(emu.slave_fd(), cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < until.size() ||
           got.compare(got.size() - until.size(), until.size(), until) != 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{emu.slave_fd(), POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buf[256];
        ssize_t n = read(emu.slave_fd(), buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace

TEST(ModemEmu, ConfiguresListsOnceAndDeletes)
{
    ModemEmulator emu;
    ASSERT_TRUE(emu.start());
    EXPECT_EQ(ask(emu, "AT+CMGF=1\r\n", "OK\r\n"), "\r\nOK\r\n");
    emu.add_sms("+4915100000001", "reset");
    emu.add_sms("+4915100000002", "server port set 9000");
    EXPECT_EQ(
        ask(emu, "AT+CMGL=\"REC UNREAD\"\r", "OK\r\n"),
        "\r\n+CMGL: 1,\"REC UNREAD\",\"+4915100000001\",,\"26/12/06,12:00:00+32\"\r\nreset\r\n"
        "+CMGL: 2,\"REC UNREAD\",\"+4915100000002\",,\"26/12/06,12:00:00+32\"\r\n"
        "server port set 9000\r\n\r\nOK\r\n");
    EXPECT_EQ(ask(emu, "AT+CMGL=\"REC UNREAD\"\r", "OK\r\n"), "\r\nOK\r\n");
    EXPECT_TRUE(emu.inbox()[0].read && emu.inbox()[1].read);

    emu.add_sms("+4915100000003", "x");  // index 3
    EXPECT_EQ(ask(emu, "at+cmgd= 3\r", "\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(ask(emu, "at+cmgd= 3\r", "\r\n"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(ask(emu, "AT+BOGUS\r", "\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(emu.inbox().size(), 2u);
    EXPECT_EQ(emu.commands()[0], "AT+CMGF=1\r\n");
    EXPECT_EQ(emu.commands()[3], "at+cmgd= 3\r");
}

TEST(ModemEmu, SendsSmsAfterPromptAndCtrlZ)
{
    ModemEmulator emu;
    ASSERT_TRUE(emu.start());
    EXPECT_EQ(ask(emu, "at+cmgs=\"+4915100000001\"\r", "> "), "\r\n> ");
    EXPECT_EQ(ask(emu, "ok\x1A\r", "OK\r\n"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    ASSERT_EQ(emu.sent().size(), 1u);
    EXPECT_EQ(emu.sent()[0].number, "\"+4915100000001\"");
    EXPECT_EQ(emu.sent()[0].text, "ok");
    EXPECT_EQ(emu.commands().back(), "ok\x1A\r");
}

TEST(ModemEmu, SilentAnswersNothingAndChunksArriveWhole)
{
    ModemEmulator emu;
    ASSERT_TRUE(emu.start());
    emu.set_silent(true);
    EXPECT_EQ(ask(emu, "AT\r", "\r\n", 150), "");
    EXPECT_TRUE(emu.wait_until([&] { return emu.commands().size() == 1; }, 500));
    emu.set_silent(false);
    emu.set_chunking(3, 5);
    emu.set_version("V9");
    EXPECT_EQ(ask(emu, "AT+GMR\r\n", "OK\r\n"), "\r\nV9\r\n\r\nOK\r\n");
}
