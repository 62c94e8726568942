#include "modem/message.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <sys/poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "board/configcheck.h"
#include "board/timebase.h"
#include "peers/modem_emulator.h"
#include "peers/street.h"
#include "protocol/protocol.h"
#include "runtime/main.h"
#include "support/capture.h"
#include "support/testutil.h"

using Strings = std::vector<std::string>;
using testutil::Capture;
using testutil::Clock;
using testutil::gw_since;
using testutil::within;

namespace {

const char ADMIN[] = "+4915100000001", STRANGER[] = "+4915100000666";
const std::string CONF =
    "server_ip_addr=192.0.2.10\nserver_port_num=8000\ndevice_id=0102030405A6\n";

// The modem emulator, config.txt, the GPIO tree and the 434 MHz port; the
// counters and the forward queue start empty. Each shell command is recorded
// with the number of SMS the modem had sent by then ("reboot@1": after the
// first reply).
struct Rig {
    testutil::BoardGuard guard;  // restores board and clock last
    testutil::TempDir dir;
    testutil::CommandRecorder shell;
    ModemEmulator emu;
    testutil::Pty radio;
    gateway_context ctx{};
    std::string conf = dir.file("config.txt");
    int fd = emu.start() ? emu.slave_fd() : -1;
    sms_rules rules{};
    explicit Rig(unsigned speedup = 5)  // the modem's 3 s time-outs: 600 ms
    {
        time_set_speedup(speedup);
        mkdir(dir.file("gpio" + std::to_string(board.gpio_key_other)).c_str(), 0755);
        shell.on_command = [this](const std::string &line) {
            return line + "@" + std::to_string(emu.sent().size());
        };
        board.config_file = conf.c_str(), board.gpio_root = dir.path().c_str();
        ctx.gsm_fd = fd, ctx.w433_other_fd = radio.slave;
        configure("sms_admin_numbers=" + std::string(ADMIN) + "\n");
        counters_reset(gw_seconds()), sms_forward_reset(), gateway_stopping = false;
    }
    void configure(const std::string &sms_lines)
    {
        testutil::write_file(conf, CONF + sms_lines);
        sms_rules_load(conf.c_str(), &rules);
    }
    uint64_t count(const gw_counter &c) const { return counter_get(c); }
    std::vector<uint64_t> counts(std::initializer_list<const gw_counter *> cs) const
    {
        std::vector<uint64_t> v;
        for (const gw_counter *c : cs)
            v.push_back(counter_get(*c));
        return v;
    }
};

const sms_counters &sms = gw_counters.sms;

}  // namespace

// An answer ends on its final result code, or on the prompt when asked for;
// a final code with more behind it, a bare prompt or nothing at all wait
// for the time-out. What does not fit is read and dropped.
TEST(AtChannel, AnswerEndsOnFinalCodeOrPromptKeepingWhatFits)
{
    testutil::BoardGuard guard;
    time_set_speedup(3);  // the 3 s time-out: 1 s, ample for a second piece 30 ms later
    enum Wait { FOR_CODE, FOR_PROMPT };
    enum Port { OPEN, CLOSED, GONE };  // the descriptor closed; the modem's side gone
    const struct {
        const char *first, *second;
        Wait wait;
        at_end end;
        int lines;
        Port port = OPEN;
    } rows[] = {
        {"\r\nOK\r\n", "", FOR_CODE, AT_OK, 1},
        {"\r\n+CREG: 1\r\n", "\r\n+CMS ERROR: 500\r\n", FOR_CODE, AT_ERROR, 1},  // unsolicited
        {"\r\n+CSQ: 5,99\r\n", "\r\nOK\r\n", FOR_CODE, AT_OK, 2},                // in two pieces
        {"\r\nOK\r\nreset\r\n", "", FOR_CODE, AT_QUIET, 2},  // an "OK" with more behind it
        {"\r\n> ", "", FOR_PROMPT, AT_PROMPT, 0},
        {"", "", FOR_CODE, AT_QUIET, 0},  // silent modem
        {"", "", FOR_CODE, AT_QUIET, 0, CLOSED},
        {"", "", FOR_CODE, AT_QUIET, 0, GONE},
    };
    for (const auto &r : rows) {
        testutil::Pty fake;
        const bool gone = r.port == GONE;
        if (gone)
            close(fake.master), fake.master = -1;  // the slave sees a hang-up
        char buf[40];                              // 'x': not touched
        std::memset(buf, 'x', sizeof buf);
        EXPECT_GE(gone ? 0 : write(fake.master, r.first, std::strlen(r.first)), 0);
        std::thread modem([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            EXPECT_GE(gone ? 0 : write(fake.master, r.second, std::strlen(r.second)), 0);
        });
        const bool cmd = r.port != OPEN;  // the write fails, and is reported
        Capture out;
        const auto t0 = Clock::now();
        const at_answer a = at_exchange(r.port == CLOSED ? -1 : fake.slave, cmd ? "AT\r" : nullptr,
                                        buf, sizeof buf, 3, r.wait == FOR_PROMPT);
        // A port that is gone still takes the whole wait: callers that try
        // again at once are paced by it instead of spinning.
        if (gone) {
            EXPECT_GE(gw_since(t0), 3);
        }
        EXPECT_EQ(out.end(), cmd ? "write device /dev/ttyUSB1 error\n" : "");
        modem.join();
        std::string want = std::string(r.first) + r.second;
        want.resize(std::max<size_t>(want.size(), 4), '\0'), want.resize(sizeof buf, 'x');
        EXPECT_EQ(std::string(buf, sizeof buf), want) << r.first << r.second;
        EXPECT_EQ(a.end, r.end) << r.first << r.second;
        EXPECT_EQ(a.lines, r.lines) << r.first << r.second;
    }

    testutil::Pty fake;  // an answer longer than the buffer
    const std::string flood = std::string(3000, 'a') + "\r\nOK\r\n";
    ASSERT_EQ(write(fake.master, flood.data(), flood.size()), static_cast<ssize_t>(flood.size()));
    std::vector<char> buf(100);  // exact heap block: ASan sees any byte beyond it
    const at_answer a = at_exchange(fake.slave, nullptr, buf.data(), buf.size(), 1, false);
    EXPECT_EQ(a.end, AT_OK);
    EXPECT_TRUE(a.overflow);
    EXPECT_EQ(a.len, 100u);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string(100, 'a'));
    pollfd p{fake.slave, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the part that did not fit was drained";
}

// A modem that answers a read only after the gateway gave up on it: the
// late answer is dropped before the next command, never read as that
// command's answer (one message's header over another's text).
TEST(AtChannel, ALateAnswerIsNotTakenForTheNextOne)
{
    testutil::BoardGuard guard;
    time_set_speedup(10);  // a 1 s wait: 100 ms
    testutil::Pty fake;
    const std::string
        late = "\r\n+CMGR: \"REC READ\",\"+4915100000001\",,\"x\"\r\nstatus\r\n\r\nOK\r\n",
        second = "\r\n+CMGR: \"REC READ\",\"+4915100000002\",,\"x\"\r\nreset\r\n\r\nOK\r\n";
    std::atomic<bool> first_done{false};
    std::thread modem([&] {
        std::string heard;
        char b[64];
        const auto heard_it = [&](const char *cmd) {
            return testutil::wait_for(cmd, 5000, [&] {
                pollfd p{fake.master, POLLIN, 0};
                ssize_t n = 0;
                if (poll(&p, 1, 0) == 1 && (n = read(fake.master, b, sizeof b)) > 0)
                    heard.append(b, static_cast<size_t>(n));
                return heard.find(cmd) != std::string::npos;
            });
        };
        EXPECT_TRUE(heard_it("AT+CMGR=1\r"));
        // No answer in time; then, as the gateway moves on, the answer.
        EXPECT_TRUE(testutil::wait_for("the first wait", 5000, [&] { return first_done.load(); }));
        EXPECT_EQ(write(fake.master, late.data(), late.size()), static_cast<ssize_t>(late.size()));
        EXPECT_TRUE(heard_it("AT+CMGR=2\r"));
        EXPECT_EQ(write(fake.master, second.data(), second.size()),
                  static_cast<ssize_t>(second.size()));
    });
    char buf[256];
    EXPECT_EQ(at_exchange(fake.slave, "AT+CMGR=1\r", buf, sizeof buf, 1, false).end, AT_QUIET);
    first_done = true;
    const at_answer a = at_exchange(fake.slave, "AT+CMGR=2\r", buf, sizeof buf, 1, false);
    modem.join();
    EXPECT_EQ(a.end, AT_OK);
    EXPECT_EQ(std::string(buf, a.len), second);
}

// A modem that never stops talking is cut at the hard limit; a type-2 frame
// is handed to the SMS thread and never waits for the modem port.
TEST(AtChannel, NoExchangeOutlastsTheHardLimitAndRadiosNeverWait)
{
    Rig r(10);
    r.emu.set_silent(true), r.emu.set_babble(300);  // a line every 0.3 s, no answer
    std::atomic<bool> done{false};
    at_answer a{};
    const auto t0 = Clock::now();
    Capture console;
    std::thread talk([&] {
        char buf[256];
        a = at_exchange(r.fd, "AT\r", buf, sizeof buf, 3, false);
        done = true;
    });
    const testing::AssertionResult ended = within("the limit", 15, [&] { return done.load(); });
    const double took = gw_since(t0);
    r.emu.set_babble(0), talk.join();
    EXPECT_EQ(console.end(), "modem answer cut: the modem talked past the 10 s limit\n");
    EXPECT_TRUE(ended);
    EXPECT_EQ(a.end, AT_LIMIT);
    EXPECT_GE(took, 10);

    bytes form(19, 0);  // a type-2 frame in radio form, L = 11
    form[2] = 0xA3, form[3] = 0x20, form[5] = 11, form[12] = 2;
    done = false;
    std::unique_lock<std::recursive_mutex> busy(modem_port_lock());  // an exchange under way
    std::thread pump([&] {
        EXPECT_EQ(comand_process_from_device(&r.ctx, form.data(), int(form.size())), FRAME_HANDLED);
        done = true;
    });
    EXPECT_TRUE(testutil::wait_for("the radio pump", 2000, [&] { return done.load(); }));
    busy.unlock(), pump.join();
    sms_forward_reset();
}

// A forwarded frame goes out 4 s after it came, to the latest sender; a full
// queue drops a frame, an unknown sender fails it; a send without the
// prompt never writes its text and is tried once more, and one that fails
// twice counts as failed, not as a reply.
TEST(SmsSend, ForwardsWaitTheirTurnAndFailuresAreCounted)
{
    Rig r;
    auto sends = [&](size_t want) {  // the sends done and failed, once they are due
        return within("the sends", 30, [&] {
            sms_forward_send_due(&r.ctx, r.fd);
            return r.emu.sent().size() + r.count(sms.send_failed) == want;
        });
    };
    Capture console;  // checked once the console is back
    sms_phone_store(&r.ctx, "\"+49151\"");
    const auto t0 = Clock::now();
    const bool queued = sms_forward_queue("A320");
    sms_forward_send_due(&r.ctx, r.fd);
    const size_t early = r.emu.sent().size();
    const bool first = sends(1);
    const double after = gw_since(t0);
    sms_phone_store(&r.ctx, "");
    int accepted = 0;
    for (int i = 0; i <= SMS_FORWARD_SLOTS; i++)
        accepted += sms_forward_queue("B0");
    const bool all = sends(1 + SMS_FORWARD_SLOTS);
    r.emu.fail_next_sends(1);
    const int again = receive_short_message_process(&r.ctx, "wifi off", "\"+49151\"");
    r.emu.fail_next_sends(2);
    const int cmd = receive_short_message_process(&r.ctx, "wifi on", "\"+49151\"");
    const std::string out = console.end();

    EXPECT_TRUE(queued);
    EXPECT_EQ(early, 0u) << "sent before its 4 s";
    EXPECT_TRUE(first);
    EXPECT_TRUE(all);
    EXPECT_GE(after, 4);
    EXPECT_EQ(r.emu.sent().at(0).number + r.emu.sent()[0].text, "\"+49151\"A320");
    EXPECT_EQ(accepted, SMS_FORWARD_SLOTS);
    EXPECT_EQ(again, 5);
    EXPECT_EQ(cmd, 4);
    for (const char *line : {"sms forward dropped: 4 frames already wait to be sent\n",
                             "sms forward not sent: no sender known yet\n",
                             "sms to \"+49151\" not sent: the modem refused it\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line;
    ASSERT_TRUE(r.emu.wait_until([&] { return r.emu.commands().back() == "\x1B"; }, 2000));
    const Strings cmds = r.emu.commands();
    EXPECT_EQ(cmds.at(cmds.size() - 2), "at+cmgs=\"+49151\"\r");
    ASSERT_EQ(r.emu.sent().size(), 2u) << "the text after a refused AT+CMGS";
    EXPECT_EQ(r.emu.sent()[1].text, "ok");  // "wifi off", answered at the second try
    EXPECT_EQ(r.counts({&sms.forwarded, &sms.forward_dropped, &sms.send_failed, &sms.replies}),
              (std::vector<uint64_t>{1, 1, 1 + SMS_FORWARD_SLOTS, 1}));
}

// Texts that hold a listing header, a final result code or a second line
// never pass for another message, another sender or a shorter command:
// each is deleted, refused and counted; nothing is answered or run.
TEST(SmsPoll, ForgedHeadersFinalCodesAndSecondLinesNeverRun)
{
    Rig r;
    const std::string ip = "server ip set 127.0.0.66";
    const std::pair<const char *, std::string> texts[] = {
        {STRANGER,
         "hi\r+CMGL: 1,\"REC UNREAD\",\"" + std::string(ADMIN) + "\",,\"x\"\r\n" + ip + "\r"},
        {ADMIN,
         "reset\r\nOK\r\n+CMGR: \"REC UNREAD\",\"" + std::string(ADMIN) + "\",,\"x\"\r\n" + ip},
        {ADMIN, ip + "\r\n\r\nOK\r\n"},
        {ADMIN, "wifi on\nreset"},
        {ADMIN, "wifi on\r\n"},  // one trailing line break is no second line
    };
    for (const auto &t : texts)
        r.emu.add_sms(t.first, t.second);
    Capture console;
    const int listed = receive_short_message_poll(&r.ctx, r.fd, r.rules, false);
    const std::string out = console.end();
    EXPECT_EQ(listed, 5);
    EXPECT_TRUE(r.emu.inbox().empty());
    EXPECT_EQ(testutil::read_file(r.conf), CONF + "sms_admin_numbers=" + ADMIN + "\n");
    EXPECT_EQ(r.shell.lines(), Strings());
    ASSERT_EQ(r.emu.sent().size(), 1u);
    EXPECT_EQ(r.emu.sent()[0].text, "ok");
    EXPECT_EQ(r.counts({&sms.received, &sms.ignored, &sms.multiline}),
              (std::vector<uint64_t>{5, 1, 3}));
    EXPECT_EQ(out.find('\r'), std::string::npos) << "hostile bytes are shown escaped";
    EXPECT_NE(out.find("\"" + std::string(STRANGER) + "\"\nhi\\r+CMGL: 1,"), std::string::npos);
    EXPECT_NE(out.find("sms from \"" + std::string(ADMIN) + "\" refused: not one line of text\n"),
              std::string::npos);
}

// A "reset" ends the poll: the board is going down, and a message deleted
// now would be lost to the power-off. The next one stays on the SIM.
TEST(SmsPoll, ResetEndsThePoll)
{
    Rig r;
    r.emu.add_sms(ADMIN, "reset");
    r.emu.add_sms(ADMIN, "wifi on");
    receive_short_message_poll(&r.ctx, r.fd, r.rules, false);
    ASSERT_EQ(r.shell.lines().size(), 1u);
    EXPECT_EQ(r.shell.lines()[0].substr(0, 7), "reboot@");
    ASSERT_EQ(r.emu.inbox().size(), 1u);
    EXPECT_EQ(r.emu.inbox()[0].text, "wifi on");
}

// The allow-list and the password come before everything an SMS can cause;
// the password is never shown.
TEST(SmsPoll, AdminListAndPasswordDecideFirst)
{
    Rig r;
    const std::string admins = "sms_admin_numbers=" + std::string(ADMIN) + "\n";
    constexpr bool ANSWERED = true, REFUSED = false;
    const struct {
        std::string conf;  // "example": the shipped file
        const char *sender;
        const char *text;
        bool answered;
    } rows[] = {
        {"", STRANGER, "wifi on", ANSWERED},  // no list: every sender
        {"sms_admin_numbers=\n", ADMIN, "wifi on", REFUSED},
        {"example", ADMIN, "wifi on", REFUSED},
        {admins + "sms_password=7351\n", ADMIN, "7351 wifi on", ANSWERED},
        {admins + "sms_password=7351\n", ADMIN, "7350 wifi on", REFUSED},
        {admins + "sms_password=7351\n", ADMIN, "wifi on", REFUSED},
        {admins + "sms_password=7351\n", ADMIN, "7351wifi on", REFUSED},
        {admins + "sms_password=7351\n", STRANGER, "7351 wifi on", REFUSED},
        {admins + "sms_password=73 51\n", ADMIN, "73 51 wifi on", REFUSED},  // not a password
    };
    Strings wrong;  // rows whose outcome was not the expected one
    Capture console;
    for (const auto &row : rows) {
        if (row.conf == "example")
            testutil::write_file(
                r.conf, testutil::read_file(testutil::source_file("packaging/config.txt.example"))),
                sms_rules_load(r.conf.c_str(), &r.rules);
        else
            r.configure(row.conf);
        sms_phone_store(&r.ctx, "");
        const size_t sent = r.emu.sent().size();
        r.emu.add_sms(row.sender, row.text);
        receive_short_message_poll(&r.ctx, r.fd, r.rules, false);
        if (r.emu.sent().size() - sent != row.answered ||
            (r.ctx.sms_phone[0] != '\0') != row.answered)
            wrong.push_back(row.conf + row.text);
    }
    const std::string out = console.end();
    EXPECT_EQ(wrong, Strings());
    EXPECT_EQ(out.find("7351"), std::string::npos) << out;
    EXPECT_NE(out.find("\n**** wifi on\n"), std::string::npos) << out;
    EXPECT_EQ(r.count(sms.ignored), 3u);
    EXPECT_EQ(r.count(sms.bad_password), 4u);

    constexpr bool ALLOWED = true;
    const struct {
        const char *admins, *sender;
        bool ok;
    } who[] = {{nullptr, "\"+1\"", ALLOWED},       {"", "\"+1\"", !ALLOWED},
               {"+2, \"+1\" ", "\"+1\"", ALLOWED}, {"+1", "\"+12\"", !ALLOWED},
               {"+1,,", "\"\"", !ALLOWED},         {"+1", "+1", ALLOWED}};
    for (const auto &w : who)
        EXPECT_EQ(sms_sender_allowed(w.admins, w.sender), w.ok)
            << (w.admins ? w.admins : "null") << " " << w.sender;
}

// Every message that reaches the SIM is handled once and deleted, whatever
// the listings: a message left read before start-up and one whose delete
// failed within a minute; a storm of 60 with cut listings, the SIM refusing
// what does not fit, leaves the SIM empty within two minutes, and a status
// sent then is answered.
TEST(SmsPoll, EveryMessageHandledOnceAndTheSimEmptied)
{
    Rig r(6);
    char inbox[4096];
    r.emu.add_sms(ADMIN, "ssid set left read");
    GSM_Read_Message(r.fd, inbox, sizeof inbox);  // listed: now read
    r.emu.fail_next_deletes(1);
    r.emu.add_sms(ADMIN, "ssid set delete failed once");
    Capture console;  // the thread's; results are checked once it is back
    const auto t0 = Clock::now();
    std::thread sms_thread(receive_short_message, &r.ctx);
    const testing::AssertionResult both = within(
        "both handled", 60, [&] { return r.emu.sent().size() == 2 && r.emu.inbox().empty(); });
    const double both_after = gw_since(t0);

    // Long texts: a listing of 30 does not fit the 4 KiB inbox buffer.
    r.emu.set_listing_fault(emu_listing::cut, 7);
    for (int i = 0; i < 60; i++) {
        r.emu.add_sms(ADMIN, "ssid set " + std::string(130, static_cast<char>('a' + i % 26)));
        std::this_thread::sleep_for(std::chrono::milliseconds(100 / 6));
    }
    r.emu.set_listing_fault(emu_listing::whole, 0);
    const auto storm_end = Clock::now();
    const size_t took_in = 2 + 60 - size_t(r.emu.refused());
    const testing::AssertionResult emptied = within("an empty SIM", 120, [&] {
        return r.emu.inbox().empty() && r.emu.sent().size() == took_in;
    });
    const double emptied_after = gw_since(storm_end);
    r.emu.add_sms(ADMIN, "status");
    const testing::AssertionResult status = within("the status", 30, [&] {
        return r.emu.sent().size() == took_in + 1 &&
               r.emu.sent().back().text.rfind("lampgw", 0) == 0;
    });
    gateway_stopping = true;
    sms_thread.join();
    console.end();
    EXPECT_TRUE(both) << r.emu.sent().size() << " sent, " << r.emu.inbox().size() << " left";
    EXPECT_GE(both_after, 29) << "the failed delete is found by the next \"ALL\" listing";
    EXPECT_EQ(r.count(sms.delete_failed), 1u);
    EXPECT_GT(r.emu.refused(), 0);
    EXPECT_TRUE(emptied) << r.emu.inbox().size() << " left, " << emptied_after
                         << " s after the storm";
    EXPECT_TRUE(status);
    EXPECT_EQ(r.counts({&sms.received, &sms.replies}),
              (std::vector<uint64_t>{took_in + 1, took_in + 1}))
        << "a message handled twice, or not at all";
}

// The answer to a listing gives indexes only; the read of one message gives
// its sender and a one-line text, or refuses it.
TEST(SmsParse, IndexesAndMessagesByStructure)
{
    const std::string hdr = "+CMGL: 3,\"REC UNREAD\",\"+49\",,\"t\"\r\n";
    int idx[4];
    const std::string listing = "\r\n" + hdr + "a\r\n+CMGL: 12,x\r\n" + hdr +
                                "+CMGL:7\r\n+CMGL: 123456,\r\n" +
                                "x+CMGL: 8,\r\n+CMGL: 9,\r\n+CMGL: 10,\r\n+CMGL: 11,\r\n";
    const int n = sms_list_indexes(listing.data(), listing.size(), idx, 4);
    EXPECT_EQ(std::vector<int>(idx, idx + n), (std::vector<int>{3, 12, 9, 10}));

    const std::string ok = "\r\n\r\nOK\r\n";
    auto cmgr = [&](const std::string &sender, const std::string &text) {
        return "\r\n+CMGR: \"REC UNREAD\"," + sender + ",,\"t\"\r\n" + text + ok;
    };
    constexpr bool WHOLE = true, CUT = false;  // the answer came whole, or overflowed
    const struct {
        std::string answer;
        bool whole;
        sms_read read;
        const char *sender, *text;
    } rows[] = {
        {cmgr("\"+49\"", "reset"), WHOLE, SMS_READ_GOOD, "\"+49\"", "reset"},
        {"\r\n+CREG: 1\r\n" + cmgr("\"+49\"", "reset\r\n") + "+CREG: 1\r\n", WHOLE, SMS_READ_GOOD,
         "\"+49\"", "reset"},
        {cmgr("\"+49\"", ""), WHOLE, SMS_READ_GOOD, "\"+49\"", ""},
        {cmgr("\"+49\"", "reset\r\n\r\nOK"), WHOLE, SMS_READ_BAD, "\"+49\"", "reset\r\n\r\nOK"},
        {cmgr("\"+49\"", std::string("re\0set", 6)), WHOLE, SMS_READ_BAD, "\"+49\"", "re"},
        {cmgr("+49", "reset"), WHOLE, SMS_READ_BAD, "", "reset"},
        {cmgr("\"+49\"", "reset"), CUT, SMS_READ_BAD, "\"+49\"", ""},
        {"\r\n+CMS ERROR: 321\r\n", WHOLE, SMS_READ_NONE, "", ""},
        {cmgr("\"+49\"", "reset").substr(0, 40), WHOLE, SMS_READ_NONE, "\"+49\"", ""},
        {"\r\nstale\r\n" + cmgr("\"+49\"", "reset"), WHOLE, SMS_READ_NONE, "", ""},
    };
    for (const auto &row : rows) {
        std::vector<char> buf(row.answer.begin(), row.answer.end());  // no terminator to lean on
        sms_message m;
        EXPECT_EQ(sms_parse_cmgr(buf.data(), buf.size(), row.whole, &m), row.read) << row.answer;
        EXPECT_EQ(std::string(m.sender) + "|" + m.text, std::string(row.sender) + "|" + row.text)
            << row.answer;
    }
}

TEST(SmsCommand, TableRepliesEffectsAndRefusals)
{
    Rig r;
    struct Row {
        std::string text;
        int ret;
        const char *radio = "", *console = nullptr, *conf = nullptr;
    };
    const Row rows[] = {
        {"reset", 3},
        {"reset ", 0, "", "please input correct command"},
        {"Reset", 0},
        {"", 0},
        {" wifi on", 0},
        {"wifi on", 4},
        {"wifi on now", 0},
        {"mgmt set ssid set x", 0},
        {"server ip set 10.0.0.5", 1, "", "server_ip_addr=10.0.0.5\n"},
        {"server ip set ", -1},
        {"server ip set 10.0.0", -1, "", "server ip not changed: 10.0.0 is not an IPv4 address"},
        {"server ip set 10.0.0.5 ", -1, "", "not an IPv4"},
        {"server port set 6000", 2, "", "server_port_num=6000\n"},
        {"server port set 65536", -1, "", "server port not changed: 65536 is not a port number"},
        {"server port set +80", -1, "", "not a port"},
        {"server port set 0", -1, "", "not a port"},
        {"para set 0000313233343536373839", 10, "00 00 31 32 33 34 35 36 37 38 39 4B 37",
         "shortmessage:00-00-31-32-33-34-35-36-37-38-39-4B-37\n"},
        {"para set 0102", 10, "01 02 FF FF"},
        {"para set 010", -1},
        {"set netid 1", -1},
        {"set netid ", -1},
        {"set netid 0A0B", 11, "0A 0B"},
        {"set netid 0A0B1", 11, "0A 0B"},
        // The most that fit: 1022 bytes and the CRC, 1024 raw bytes.
        {"para set " + std::string(2044, '0'), 10, nullptr},
        {"para set " + std::string(2046, '0'), -1, "", "refused"},
        {"set netid " + std::string(2048, '0'), 11, nullptr},
        {"set netid " + std::string(2050, '0'), -1, "", "refused"},
        {"server port set 7000", -1, "", "has no server_port_num line", "server_ip_addr=1.2.3.4\n"},
        {"server port set 7000", -1, "", "could not be rewritten", ""},  // no file at all
    };
    for (const Row &row : rows) {
        if (row.conf)
            *row.conf ? testutil::write_file(r.conf, row.conf) : (void)unlink(r.conf.c_str());
        SCOPED_TRACE(row.text.substr(0, 60));
        const size_t sent = r.emu.sent().size();
        Capture console;
        EXPECT_EQ(receive_short_message_process(&r.ctx, row.text.c_str(), "\"+4915100000001\""),
                  row.ret);
        const std::string out = console.end(), radio = testutil::radio_hex(r.radio.master);
        EXPECT_EQ(r.emu.sent().size(), sent + (row.ret > 0));
        EXPECT_TRUE(!row.radio || radio == row.radio) << radio.substr(0, 60);
        EXPECT_TRUE(!row.console || out.find(row.console) != std::string::npos) << out;
        EXPECT_TRUE(row.ret != 2 ||
                    testutil::read_file(r.conf) ==
                        "server_ip_addr=10.0.0.5\nserver_port_num=6000\ndevice_id=0102030405A6\n"
                        "sms_admin_numbers=" +
                            std::string(ADMIN) + "\n")
            << "on disk";
    }
    EXPECT_EQ(r.shell.lines(), Strings{"reboot@1"});  // after the reply
    EXPECT_EQ(r.emu.sent()[0].number + r.emu.sent()[0].text, "\"+4915100000001\"ok");
}

// "status" is answered with the figures and the modem's signal, only to an
// admin, and counts like any command.
TEST(SmsCommand, StatusAnswersFiguresAndSignalOnlyToAnAdmin)
{
    Rig r;
    const std::string head = std::string("lampgw ") + gateway_version() + " up 0h00m, link down";
    Capture console;
    for (int rssi : {20, -1}) {  // -1: the modem answers AT+CSQ with ERROR
        r.emu.set_signal(rssi);
        EXPECT_EQ(receive_short_message_process(&r.ctx, "status", "\"+4915100000001\""), 12);
        const std::string text = r.emu.sent().back().text;
        EXPECT_EQ(text.rfind(head, 0), 0u) << text;
        EXPECT_LE(text.size(), 138u);
        EXPECT_EQ(text.substr(text.rfind(", ")),
                  rssi < 0 ? ", signal unknown" : ", signal -73 dBm");
    }
    EXPECT_EQ(r.emu.commands().at(0), "AT+CSQ\r");
    r.emu.add_sms(STRANGER, "status");
    receive_short_message_poll(&r.ctx, r.fd, r.rules, false);
    console.end();
    EXPECT_EQ(r.emu.sent().size(), 2u);
    const Strings cmds = r.emu.commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "AT+CSQ\r"), 2);
    EXPECT_EQ(r.counts({&sms.received, &sms.ignored, &sms.done, &sms.replies}),
              (std::vector<uint64_t>{1, 1, 2, 2}));
}

TEST(AtChannel, StartupAndServiceOperations)
{
    Rig r;
    Capture console;
    GSM_Conf_Message(r.fd);
    GSM_simple_test(r.fd), GSM_read_sim_card_id(r.fd);
    r.emu.set_version("V9"), Module_ME3630_Get_Version(r.fd);
    GSM_wait_call(r.fd);
    for (const char *input :
         {"12345678901234\n\n", "123"}) {  // cut to the 11 that fit; input ends: no call
        int in[2], saved = dup(0);
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(write(in[1], input, std::strlen(input)),
                  static_cast<ssize_t>(std::strlen(input)));
        close(in[1]), dup2(in[0], 0), close(in[0]);
        GSM_call(r.fd);
        dup2(saved, 0), close(saved);
    }
    // The hang-up's answer may still be on its way on a slow machine.
    ASSERT_TRUE(r.emu.wait_until(
        [&] { return r.emu.received().size() > 0 && r.emu.commands().back() == "at+chup\r"; },
        2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // An unsolicited line already waiting must not pass for the version.
    r.emu.set_babble(10);
    pollfd waiting = {r.fd, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 2000), 1);
    r.emu.set_babble(0);
    r.emu.set_version(std::string(60, 'V')), Module_ME3630_Get_Version(r.fd);  // fills all 50 bytes
    EXPECT_EQ(
        console.end(),
        "end config short message env\n"
        "\r\n 获取模块版本信息 ...\r\n\r\nSendData:AT+GMR\r\n\r\n \r\nV9\r\n\r\nOK\r\n \r\n" +
            std::string(10, '\n') + "quit wait_call\n" +
            "please input telephone number:press ENTER for quit:"
            "please input telephone number:\nno call: input ended before the number was complete\n"
            "\r\n 获取模块版本信息 ...\r\n\r\nSendData:AT+GMR\r\n\r\n \r\n" +
            std::string(48, 'V') + " \r\n");
    EXPECT_EQ(r.emu.commands(),
              (Strings{"AT+CMGF=1\r\n", "AT+CPMS=\"SM\",\"SM\",\"SM\"\r\n",
                       "at+cmgl=\"REC READ\"\r", "at+ccid\r", "AT+GMR\r\n", "at+chup\r",
                       "atd12345678901;\r", "at+chup\r", "AT+GMR\r\n"}));
    EXPECT_EQ(sms_sim_slots(), 30);
}
