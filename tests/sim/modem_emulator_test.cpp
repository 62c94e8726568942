#include <chrono>
#include <string>

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "peers/modem_emulator.h"

// Writes cmd to the slave and reads until the answer ends with `until` or
// the modem stays quiet for `ms`; returns what arrived.
static std::string ask(ModemEmulator &emu, const std::string &cmd, const std::string &until,
                       int ms = 1000)
{
    EXPECT_EQ(write(emu.slave_fd(), cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
    std::string got;
    pollfd pfd{emu.slave_fd(), POLLIN, 0};
    char buf[256];
    for (ssize_t n; (got.size() < until.size() || got.substr(got.size() - until.size()) != until) &&
                    poll(&pfd, 1, ms) == 1 && (n = read(emu.slave_fd(), buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

// What the gateway's SMS tests cannot show: the listing in the modem's own
// format, each message listed once, and the refusals. Sending is checked
// through the gateway by SmsPoll and SmsCommand.
TEST(ModemEmu, ListsOnceRefusesAndKeepsSilence)
{
    ModemEmulator emu;
    ASSERT_TRUE(emu.start());
    emu.add_sms("+4915100000001", "reset");
    emu.add_sms("+4915100000002", "server port set 9000");
    EXPECT_EQ(
        ask(emu, "AT+CMGL=\"REC UNREAD\"\r", "OK\r\n"),
        "\r\n+CMGL: 1,\"REC UNREAD\",\"+4915100000001\",,\"26/12/06,12:00:00+32\"\r\nreset\r\n"
        "+CMGL: 2,\"REC UNREAD\",\"+4915100000002\",,\"26/12/06,12:00:00+32\"\r\n"
        "server port set 9000\r\n\r\nOK\r\n");
    EXPECT_EQ(ask(emu, "AT+CMGL=\"REC UNREAD\"\r", "OK\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(ask(emu, "at+cmgd= 2\r", "\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(ask(emu, "at+cmgd= 2\r", "\r\n"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(ask(emu, "AT+BOGUS\r", "\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(emu.inbox().size(), 1u);

    emu.set_silent(true);
    EXPECT_EQ(ask(emu, "AT\r", "\r\n", 150), "");
    EXPECT_TRUE(emu.wait_until([&] { return emu.commands().size() == 6; }, 500));
    emu.set_silent(false);
    emu.set_chunking(3, 5);  // the answer comes in pieces, yet whole
    emu.set_version("V9");
    EXPECT_EQ(ask(emu, "AT+GMR\r\n", "OK\r\n"), "\r\nV9\r\n\r\nOK\r\n");
    emu.set_chunking(0, 0);
    emu.set_listing_delay(30);  // a slow listing still comes whole, once
    EXPECT_EQ(ask(emu, "AT+CMGL=\"ALL\"\r", "OK\r\n"),
              "\r\n+CMGL: 1,\"REC "
              "READ\",\"+4915100000001\",,\"26/12/06,12:00:00+32\"\r\nreset\r\n\r\nOK\r\n");
}

// The read by index, the SIM's capacity, the failures tests ask for, and
// unsolicited lines that only ever come between answers.
TEST(ModemEmu, ReadsByIndexFillsUpFailsOnDemandAndBabbles)
{
    ModemEmulator emu;
    ASSERT_TRUE(emu.start());
    emu.set_capacity(2);
    EXPECT_EQ(emu.add_sms("+491", "a\r\nOK\r\nb"), 1);
    EXPECT_EQ(emu.add_sms("+492", "x"), 2);
    EXPECT_EQ(emu.add_sms("+493", "y"), 0);
    EXPECT_EQ(emu.refused(), 1);
    const std::string head = "\r\n+CMGR: \"REC UNREAD\",\"+491\",,\"26/12/06,12:00:00+32\"\r\n";
    EXPECT_EQ(ask(emu, "AT+CMGR=1\r", "OK\r\nb\r\n\r\nOK\r\n"),
              head + "a\r\nOK\r\nb\r\n\r\nOK\r\n");
    EXPECT_TRUE(emu.inbox()[0].read);
    EXPECT_EQ(ask(emu, "AT+CMGR=7\r", "\r\n"), "\r\n+CMS ERROR: 321\r\n");

    emu.fail_next_sends(1), emu.fail_next_deletes(1);
    EXPECT_EQ(ask(emu, "AT+CMGS=\"+49\"\r", "\r\n"), "\r\n+CMS ERROR: 500\r\n");
    EXPECT_EQ(ask(emu,
                  "AT+C\x1B"
                  "AT\r",
                  "\r\n"),
              "\r\nOK\r\n");  // ESC drops the line begun
    EXPECT_EQ(ask(emu, "at+cmgd=1\r", "\r\n"), "\r\n+CMS ERROR: 500\r\n");
    EXPECT_EQ(emu.inbox().size(), 2u);
    EXPECT_EQ(ask(emu, "at+cmgd=1\r", "\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(emu.commands().at(3), "\x1B");

    const std::string answer = "\r\n+CSQ: 20,99\r\n\r\nOK\r\n", babble = "\r\n+CREG: 1\r\n";
    std::string got;  // all the modem writes while 20 commands go in, babble taken out
    size_t lines = 0;
    pollfd p{emu.slave_fd(), POLLIN, 0};
    char buf[256];
    auto take = [&](int ms) {
        const ssize_t n = poll(&p, 1, ms) == 1 ? read(emu.slave_fd(), buf, sizeof buf) : 0;
        got.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        for (size_t at; (at = got.find(babble)) != std::string::npos; lines++)
            got.erase(at, babble.size());
        return n > 0;
    };
    emu.set_babble(10);  // gateway ms, here real ms
    for (int i = 0; i < 400 && (i < 30 || got.size() < 20 * answer.size()); i++) {
        EXPECT_EQ(i < 20 ? write(emu.slave_fd(), "AT+CSQ\r", 7) : 7, 7);
        take(10);
    }
    emu.set_babble(0);
    while (take(50)) {
    }
    EXPECT_GE(lines, 5u);
    std::string answers;
    for (int i = 0; i < 20; i++)
        answers += answer;
    EXPECT_EQ(got, answers) << "an unsolicited line inside an answer";
}
