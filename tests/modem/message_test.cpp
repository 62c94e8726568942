#include "modem/message.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "board/timebase.h"
#include "emu/modem_emulator.h"
#include "runtime/main.h"
#include "support/testutil.h"

using Strings = std::vector<std::string>;

std::string radio_hex(int fd);  // in init_test.cpp

namespace {

// board.run_command stand-in: records each line with the number of SMS the
// modem had sent by then ("reboot@1": after the first reply).
Strings recorded;
ModemEmulator *rec_emu = nullptr;
int record_command(const char *line)
{
    recorded.push_back(std::string(line) + "@" +
                       std::to_string(rec_emu ? rec_emu->sent().size() : 0));
    return 0;
}

// A raw pseudo-terminal: the gateway uses `slave`, the test drives `master`.
struct RawPty {
    int master = -1, slave = -1;
    RawPty()
    {
        termios t{};
        cfmakeraw(&t);
        EXPECT_EQ(openpty(&master, &slave, nullptr, &t, nullptr), 0);
    }
    ~RawPty() { close(master), close(slave); }
};

using Clock = std::chrono::steady_clock;

// The modem emulator, config.txt, the GPIO tree and the 434 MHz port.
struct Rig {
    testutil::BoardGuard guard;  // restores board and clock last
    testutil::TempDir dir;
    ModemEmulator emu;
    RawPty radio;
    gateway_context ctx{};
    std::string conf = dir.file("config.txt");
    int fd = emu.start() ? emu.slave_fd() : -1;
    Rig()
    {
        testutil::write_file(
            conf, "server_ip_addr=192.0.2.10\nserver_port_num=8000\ndevice_id=0102030405A6\n");
        time_set_speedup(15), mkdir(dir.file("gpio117").c_str(), 0755), recorded.clear(),
            rec_emu = &emu;
        board.config_file = conf.c_str(), board.gpio_root = dir.path().c_str(),
        board.run_command = record_command;
        ctx.gsm_fd = fd, ctx.w433_other_fd = radio.slave;
    }
};

}  // namespace

TEST(AtChannel, AnswerEndsOnQuietRemainderOrFullWaitWithinRoom)
{
    testutil::BoardGuard guard;
    time_set_speedup(15);  // the 3 s wait lasts 200 ms
    const struct {
        const char *first;
        int gap_ms;
        const char *second;
        long lo, hi;
        bool closed = false, gone = false;
    } rows[] = {
        {"\r\nOK\r\n", 0, "", 180, 290},    // answered at once: the remainder of the wait
        {"", 100, "\r\nOK\r\n", 180, 290},  // answered late: still the first wait's end
        {"\r\n+CMGL: 1\r\n", 100, "reset\r\n", 280, 420},  // 2nd chunk in the rest: gathered
        {"", 100, "\r\n> ", 280, 420},       // prompt without CR LF: a full wait after it
        {"", 0, "", 180, 290},               // silent modem
        {"", 0, "", 180, 290, true},         // port never opened: reported, still paced
        {"", 0, "", 180, 290, false, true},  // modem gone: reported, still paced
    };
    for (const auto &r : rows) {
        RawPty fake;
        if (r.gone)
            close(fake.master), fake.master = -1;  // the slave sees a hang-up
        char buf[32];                              // 'x': not touched
        std::memset(buf, 'x', sizeof buf);
        std::thread modem([&] {
            pollfd cmd{fake.master, POLLIN, 0};  // a modem answers only after the command
            char got[8];
            EXPECT_TRUE(r.closed || r.gone ||
                        (poll(&cmd, 1, 2000) == 1 && read(fake.master, got, sizeof got) > 0))
                << "waited for the command";
            EXPECT_GE(r.gone ? 0 : write(fake.master, r.first, std::strlen(r.first)), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(r.gap_ms));
            EXPECT_GE(r.gone ? 0 : write(fake.master, r.second, std::strlen(r.second)), 0);
        });
        testing::internal::CaptureStdout();
        const auto t0 = Clock::now();
        GSM_GPRS_send_cmd_read_result(r.closed ? -1 : fake.slave, "AT\r\n", buf, sizeof buf, 3);
        const long ms = static_cast<long>((Clock::now() - t0) / std::chrono::milliseconds(1));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  r.closed || r.gone ? "write device /dev/ttyUSB1 error\n" : "");
        modem.join();
        std::string want = std::string(r.first) + r.second;
        want.resize(std::max<size_t>(want.size(), 4), '\0'), want.resize(sizeof buf, 'x');
        EXPECT_EQ(std::string(buf, sizeof buf), want) << r.first << r.second;
        EXPECT_TRUE(ms >= r.lo && ms < r.hi) << ms << " ms for " << r.first << r.second;
    }

    RawPty fake;  // an answer longer than the buffer
    const std::string flood = std::string(3000, 'a') + "\r\n";
    ASSERT_EQ(write(fake.master, flood.data(), flood.size()), static_cast<ssize_t>(flood.size()));
    std::vector<char> buf(100);  // exact heap block: ASan sees any byte beyond it
    read_GSM_GPRS_datas(fake.slave, buf.data(), buf.size(), 1);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string(100, 'a'));
    pollfd p{fake.slave, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the part that did not fit was drained";
}

TEST(AtChannel, StartupAndServiceOperations)
{
    Rig r;
    testing::internal::CaptureStdout();
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
    r.emu.set_version(std::string(60, 'V')), Module_ME3630_Get_Version(r.fd);  // fills all 50 bytes
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
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
}

TEST(SmsPoll, EveryEntryRunInOrderAdminsFilterSendsNeverInterleave)
{
    Rig r;
    char inbox[4096];
    testing::internal::CaptureStdout();
    r.emu.add_sms("+4915100000001", "wifi on"),
        r.emu.add_sms("+4915100000002", "");  // empty text: no command
    receive_short_message_poll(&r.ctx, r.fd, inbox, sizeof inbox, nullptr);
    EXPECT_EQ(r.emu.commands(),
              (Strings{"AT+CMGL=\"REC UNREAD\"\r", "at+cmgd= 1\r", "at+cmgs=\"+4915100000001\"\r",
                       "ok\x1A\r", "at+cmgd= 2\r"}));
    EXPECT_STREQ(r.ctx.sms_phone, "\"+4915100000002\"");

    r.emu.add_sms("+4915100000003", "wifi off"), r.emu.add_sms("+4915100000004", "reset");
    receive_short_message_poll(&r.ctx, r.fd, inbox, sizeof inbox,
                               " +4915100000003 ,\"+49151000000099\"");
    EXPECT_TRUE(r.emu.inbox().empty());
    EXPECT_EQ(r.emu.sent().size(), 2u);  // only the admin is answered
    EXPECT_EQ(r.emu.sent().back().number, "\"+4915100000003\"");
    EXPECT_TRUE(recorded.empty()) << "a stranger's reset is not run";
    EXPECT_STREQ(r.ctx.sms_phone, "\"+4915100000003\"");

    const size_t before = r.emu.commands().size();  // an empty inbox: just the listing
    receive_short_message_poll(&r.ctx, r.fd, inbox, sizeof inbox, "");
    EXPECT_EQ(r.emu.commands().size(), before + 1);

    // A forwarded SMS from another thread never lands inside a listing; fields are cut to fit.
    std::thread pump([&] {
        char own[2048];
        GSM_Send_Message(r.fd, "\"+49\"", "A1", own, sizeof own);
    });
    for (int i = 0; i < 3; i++)
        GSM_Read_Message(r.fd, inbox, sizeof inbox);
    pump.join();
    GSM_Send_Message(r.fd, std::string(40, '5').c_str(), std::string(200, 'b').c_str(), inbox,
                     sizeof inbox);
    del_shortMessage(r.fd, "123456");
    const std::string out = testing::internal::GetCapturedStdout();
    const Strings cmds = r.emu.commands();
    EXPECT_EQ(Strings(cmds.end() - 3, cmds.end()),
              (Strings{"at+cmgs=" + std::string(31, '5') + "\r", std::string(138, 'b') + "\x1A\r",
                       "at+cmgd=12345\r"}));
    EXPECT_EQ(r.emu.sent().at(2).number + r.emu.sent().at(2).text,
              "\"+49\"A1");  // not a listing as its text
    for (const char *line : {"\"+4915100000002\"\n\nplease input correct command\n",
                             "sms from \"+4915100000004\" ignored: not an admin number\n"})
        EXPECT_NE(out.find(line), std::string::npos) << out;

    const struct {
        const char *admins, *sender;
        bool ok;
    } who[] = {{nullptr, "\"+1\"", true}, {"", "\"+1\"", false},   {"+2, \"+1\" ", "\"+1\"", true},
               {"+1", "\"+12\"", false},  {"+1,,", "\"\"", false}, {"+1", "+1", true}};
    for (const auto &w : who)
        EXPECT_EQ(sms_sender_allowed(w.admins, w.sender), w.ok)
            << (w.admins ? w.admins : "null") << " " << w.sender;
}

// A cut listing entry that came after its collector gave up is dropped when
// the next listing is asked for; joined to that answer's CR it would pass
// for a whole entry and run a truncated command.
TEST(SmsPoll, LateTailOfAnEarlierAnswerIsNotReadAsTheNextOne)
{
    Rig r;
    RawPty fake;
    const std::string stale = "\r\n+CMGL: 7,\"REC UNREAD\",\"+49\",,\"t\"\r\npara set AFAF000";
    ASSERT_EQ(write(fake.master, stale.data(), stale.size()), static_cast<ssize_t>(stale.size()));
    int queued = 0;
    for (int i = 0; i < 2000 && queued < static_cast<int>(stale.size()); i++)
        ioctl(fake.slave, FIONREAD, &queued), usleep(i ? 1000 : 0);
    ASSERT_EQ(queued, static_cast<int>(stale.size())) << "waited for the stale bytes to arrive";
    std::string got(64, '\0');  // what the modem is sent; answered with an empty listing
    std::thread modem([&] {
        pollfd p{fake.master, POLLIN, 0};
        const ssize_t n = poll(&p, 1, 2000) == 1 ? read(fake.master, &got[0], got.size()) : 0;
        got.resize(std::max<ssize_t>(n, 0));
        EXPECT_EQ(write(fake.master, "\r\nOK\r\n", 6), 6);
    });
    char inbox[4096];
    r.ctx.gsm_fd = fake.slave;
    testing::internal::CaptureStdout();
    receive_short_message_poll(&r.ctx, fake.slave, inbox, sizeof inbox, nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    modem.join();
    char more[256];
    pollfd p{fake.master, POLLIN, 0};
    for (int i = 0; i < 64 && poll(&p, 1, 0) == 1; i++)  // all it was sent since
        got.append(more, static_cast<size_t>(std::max<ssize_t>(read(fake.master, more, 256), 0)));
    EXPECT_EQ(got, "AT+CMGL=\"REC UNREAD\"\r") << "no deletion, no reply";
    EXPECT_EQ(radio_hex(r.radio.master), "");
    EXPECT_EQ(out, "");
}

// The SMS thread gives the port back and asks again at once, for ever; a
// sender that asked meanwhile must be next, not wait for the poller to stop.
TEST(ModemPort, ASenderWaitingIsServedBeforeThePollerAgain)
{
    auto &port = modem_port_lock();
    std::atomic<bool> asked{false}, served{false};
    std::atomic<int> polls_after_ask{0};
    std::thread poller([&] {
        for (int i = 0; i < 200 && !served.load(); i++) {
            port.lock();
            port.lock();  // an exchange inside an exchange
            polls_after_ask += asked.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            port.unlock();
            port.unlock();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    asked = true;
    port.lock();
    served = true;
    port.unlock();
    poller.join();
    EXPECT_LE(polls_after_ask.load(), 20)
        << "the sender lost the port to the poller again and again";
}

TEST(SmsPoll, ParserStaysInsideItsInputAndFields)
{
    const std::string hdr = "+CMGL: 3,\"REC UNREAD\",\"+49\",,\"t\"\r\n";
    const struct {
        std::string listing;
        Strings want;
    } rows[] = {
        {"\r\n" + hdr + "reset\r\n\r\nOK\r\n", {" 3|\"+49\"|reset"}},
        {hdr + "a\r\n" + hdr + "\r\n", {" 3|\"+49\"|a", " 3|\"+49\"|"}},  // two entries, empty text
        {"+CMGL: 1,\"x\",\"+1\"\r\nlost\r\n" + hdr + "b\r\n",
         {" 3|\"+49\"|b"}},                       // two commas only: passed over
        {"+CMGL: 3,\"REC UNREAD\",\"+49\"", {}},  // header cut short
        {hdr, {}},
        {hdr.substr(0, hdr.size() - 1), {}},
        {hdr + "no end", {}},  // text cut short
        {"+CMGL:" + std::string(20, '1') + ",s," + std::string(40, '2') + ",\r\n" +
             std::string(3000, 't') + "\r",
         {std::string(15, '1') + "|" + std::string(29, '2') + "|" + std::string(2047, 't')}},
    };
    for (const auto &r : rows) {
        std::vector<char> buf(r.listing.begin(), r.listing.end());  // no terminator to lean on
        Strings got;  // index|sender|text of every entry found
        sms_entry e;
        for (size_t at = 0; got.size() < 5 && sms_next_entry(buf.data(), buf.size(), at, &e, &at);)
            got.push_back(std::string(e.index) + "|" + e.sender + "|" + e.text);
        EXPECT_EQ(got, r.want) << r.listing.substr(0, 60);
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
        const size_t sent = r.emu.sent().size();
        testing::internal::CaptureStdout();
        EXPECT_EQ(receive_short_message_process(&r.ctx, row.text.c_str(), "\"+4915100000001\""),
                  row.ret)
            << row.text;
        const std::string out = testing::internal::GetCapturedStdout(),
                          radio = radio_hex(r.radio.master);
        EXPECT_EQ(r.emu.sent().size(), sent + (row.ret > 0)) << row.text;
        EXPECT_TRUE(!row.radio || radio == row.radio) << row.text << ": " << radio.substr(0, 60);
        EXPECT_TRUE(!row.console || out.find(row.console) != std::string::npos)
            << row.text << ": " << out;
        EXPECT_TRUE(row.ret != 2 ||
                    testutil::read_file(r.conf) ==
                        "server_ip_addr=10.0.0.5\nserver_port_num=6000\ndevice_id=0102030405A6\n")
            << "on disk";
    }
    EXPECT_EQ(recorded, Strings{"reboot@1"});  // after the reply
    EXPECT_EQ(r.emu.sent()[0].number + r.emu.sent()[0].text, "\"+4915100000001\"ok");
}

// "status" is answered with the figures and the modem's signal, only to an
// admin, and counts like any command.
TEST(SmsCommand, StatusAnswersFiguresAndSignalOnlyToAnAdmin)
{
    Rig r;
    counters_reset(gw_seconds());
    const std::string head = std::string("lampgw ") + gateway_version() + " up 0h00m, link down";
    testing::internal::CaptureStdout();
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
    char inbox[4096];
    r.emu.add_sms("+4915100000009", "status");
    receive_short_message_poll(&r.ctx, r.fd, inbox, sizeof inbox, "+4915100000001");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.emu.sent().size(), 2u);
    const Strings cmds = r.emu.commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "AT+CSQ\r"), 2);
    const sms_counters &m = gw_counters.sms;
    EXPECT_EQ(counter_get(m.received), 1u);
    EXPECT_EQ(counter_get(m.ignored), 1u);
    EXPECT_EQ(counter_get(m.done), 2u);
    EXPECT_EQ(counter_get(m.replies), 2u);
}
