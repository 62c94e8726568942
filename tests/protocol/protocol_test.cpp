#include "protocol/protocol.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "modem/message.h"
#include "radio/w433config.h"
#include "runtime/cabinet.h"

using namespace testing::internal;  // CaptureStdout, GetCapturedStdout

static bytes cat(std::initializer_list<bytes> ps)
{
    bytes r;
    for (auto &p : ps)
        r.insert(r.end(), p.begin(), p.end());
    return r;
}
// L bytes from the address on: type, command, byte 14, filler.
static bytes frame(uint8_t type, uint8_t cmd, int L, uint8_t b14 = 0x55)
{
    bytes body(L);
    for (int i = 4; i < L + 4; i++)
        body[i - 4] = uint8_t(i == 10 ? type : i == 13 ? cmd : i == 14 ? b14 : i * 3);
    return make_frame(body);
}
static bytes part(const bytes &b, long from, long to)
{
    return bytes(b.begin() + from, b.begin() + to);
}
// hex() with another separator: "-" as in the log, "" as in an SMS.
static std::string hx(const bytes &b, const char *sep = " ")
{
    std::string out;
    for (char c : hex(b))
        out += c == ' ' ? std::string(sep) : std::string(1, c);
    return out;
}

// The cabinet with the ports open and the link up, and what each peer got
// since the last look once all were quiet for 50 ms: "other=A3 20 ...;
// k117=31 0A 30 0A;" (a GPIO level as the text the gateway wrote, "1\n").
struct Rig : Cabinet {
    gateway_context &ctx = net_fd1;
    size_t last[6] = {};
    Rig() : Cabinet(50)
    {
        open_ports();
        EXPECT_TRUE(link_up());
    }
    std::vector<bytes> all() const
    {
        std::vector<bytes> got = {server.received(), other.received(), ludeng.received()};
        for (int key : {7, 115, 117}) {
            got.emplace_back();
            for (int level : gpio.levels(key))
                got.back().insert(got.back().end(), {uint8_t('0' + level), '\n'});
        }
        return got;
    }
    std::string seen()
    {
        static const char *const names[] = {
            "server=", "other=", "ludeng=", "k7=", "k115=", "k117="};
        std::vector<bytes> got = all(), again;
        for (int round = 0; round < 100; round++, got = again) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if ((again = all()) == got)
                break;
        }
        std::string s;
        for (size_t i = 0; i < 6; last[i] = got[i].size(), i++)
            if (got[i].size() > last[i])
                s += names[i] + hx(part(got[i], long(last[i]), long(got[i].size()))) + ";";
        return s;
    }
};

TEST(RadioDispatchServerDispatch, ByTypeCommandAndLength)
{
    Rig rig;
    sms_phone_store(&rig.ctx, "\"+8613800000000\"");
    const bytes f1 = frame(1, 9, 19), f4 = frame(4, 9, 19), f5 = frame(5, 9, 40),
                set = frame(0, 9, 19, 0xAB), f10 = frame(0, 9, 10), keep = frame(0, 9, 19, 0x42),
                sms = radio_frame(frame(2, 9, 700));  // text overflow
    bytes short12 = part(radio_frame(frame(1, 9, 10)), 0, 13),
          short15 = cat({radio_frame(frame(0, 9, 7)), {7}});  // type, command past len
    const std::string no;
    auto twice = [](const bytes &f, uint8_t b14) {
        return "other=" + hx(radio_frame(f)) + " " + hx(cat({{b14}, part(f, 15, 23)})) + ";";
    };
    const struct {
        bool server;
        bytes buf;
        int link;
        std::string seen, out;
        int miss = 4, len = 0;
    } cases[] = {
        {0, radio_frame(set), 1, twice(set, 0xAF), "433 set\n"},
        {0, radio_frame(keep), 1, twice(keep, 0x42), "433 set\n"},
        {0, radio_frame(f10), 1, "other=" + hx(radio_frame(f10)) + ";", "433 set\n"},
        {0, radio_frame(f1), 0, no, no},
        {0, radio_frame(frame(3, 9, 19)), 1, no, no},
        {0, radio_frame(f4), 1, no, no},
        {0, radio_frame(frame(0xA3, 9, 19)), 1, no, no},
        {0, short12, 1, no, no, 4, 12},
        {0, sms, 1, no, no},  // handed to the SMS thread
        {1, radio_frame(f1), 1, "other=" + hx(radio_frame(f1)) + ";k117=31 0A 30 0A;",
         "from server to other:" + hx(f1, "-") + "\n"},
        {1, radio_frame(f4), 1, "other=" + hx(radio_frame(f4)) + ";k117=31 0A 30 0A;",
         "from server to other:" + hx(f4, "-") + "\n"},
        {1, radio_frame(f5), 1, "ludeng=" + hx(radio_frame(f5)) + ";k7=31 0A 30 0A;",
         "from server to ludeng:" + hx(f5, "-") + "\n"},
        {1, radio_frame(frame(0, 3, 19)), 1, "k115=30 0A 31 0A;", "model reset\n"},
        {1, radio_frame(frame(0, 7, 19)), 1, no, "reiceive server heartbeat response\n", 0},
        {1, radio_frame(frame(0, 6, 19)), 1, no, no},
        {1, radio_frame(frame(2, 9, 19)), 1, no, no},
        {1, radio_frame(frame(6, 9, 19)), 1, no, no},
        {1, short15, 1, no, no, 4, 15},
        {1, short12, 1, no, no, 4, 12},
    };
    for (auto c : cases) {
        int miss = 4, len = c.len ? c.len : int(c.buf.size());
        rig.ctx.net_connect_flag = c.link, CaptureStdout();
        c.server ? comand_process_from_server(&rig.ctx, c.buf.data(), len, &miss)
                 : comand_process_from_device(&rig.ctx, c.buf.data(), len);
        EXPECT_EQ(GetCapturedStdout() + rig.seen() + char('0' + miss),
                  c.out + c.seen + char('0' + c.miss))
            << hx(c.buf);
        EXPECT_TRUE(c.buf != radio_frame(set) || c.buf[16] == 0xAF);  // the caller sees the change
    }
    ASSERT_TRUE(rig.modem.wait_until(
        [&] {
            sms_forward_send_due(&rig.ctx, rig.ctx.gsm_fd);
            return rig.modem.sent().size() == 1;
        },
        3000));
    EXPECT_EQ(rig.modem.sent()[0].number + " " + rig.modem.sent()[0].text,
              "\"+8613800000000\" " + hx(part(sms, 2, 71), ""));  // the modem takes 138
    std::unique_lock<std::mutex> keyed(transmit_key_lock(W433_OTHER_KEY_GPIO));
    CaptureStdout();
    std::thread setting(comand_process_from_device, &rig.ctx, short15.data(), 15);
    EXPECT_EQ(rig.seen(), no);  // a setting waits for a keyed send under way to end
    keyed.unlock(), setting.join();
    EXPECT_EQ(GetCapturedStdout() + rig.seen(), "433 set\nother=" + hx(part(short15, 0, 15)) + ";");
}

TEST(LinearFrameWheelFrame, FindFrameAndAssemblyAcrossCalls)
{
    // The all-zero heartbeat with CRC as on the wire, of all 25 bytes (FF FF in place) low byte
    // first, or exchanged.
    const bytes hb = cat({{0xA3, 0x20, 0x00, 0x13},
                          bytes(7),
                          {1, 1, 6, 0x85, 1, 0xC6, 0, 0, 0, 0, 1, 1, 0xFD, 0xA8}}),
                hb_b = cat({part(hb, 0, 23), {0xBF, 0xF1}}),
                hb_x = cat({part(hb, 0, 23), {0xA8, 0xFD}});
    bytes src = cat({{0x00, 0x11}, hb, hb_b, hb_x}), out(src.size() + 2);
    int src_count = int(src.size()), out_len = 0;
    CaptureStdout();
    for (const bytes &f : {hb, hb_b})
        EXPECT_TRUE(find_frame(src.data(), &src_count, out.data(), &out_len) == 1 &&
                    part(out, 0, out_len) == radio_frame(f));
    EXPECT_EQ(find_frame(src.data(), &src_count, out.data(), &out_len), 0);
    EXPECT_EQ(GetCapturedStdout() + hx(part(src, 0, src_count)),
              "sourcecounter=77\nsourcecounter=77\n" + hx(hb_x));
    Rig rig;
    const bytes r7 = frame(0, 7, 19), r3 = frame(0, 3, 19),
                rec{0x41, 0x20, 0x31, 0x32, 0x33, 0x34, 0x35}, f11 = frame(3, 9, 11),
                f12 = frame(3, 9, 12), d = frame(3, 1, 19), e = frame(3, 2, 19);
    bytes acc(LINEAR_BUF_SIZE), starts;  // a full buffer of start pairs that never make a frame
    for (int i = 0; i < LINEAR_BUF_SIZE / 4; i++)
        starts.insert(starts.end(), {0xA3, 0x20, 0x00, 0x00});
    auto dev = [](const bytes &f) { return "from device:" + hx(radio_frame(f), "-") + "\n"; };
    const std::string
        ack = "reiceive server heartbeat response\n",
        reset = "model reset\n" + ack, line1 = "whell:41-20-31-32-33-34-35\n",
        wheel1 =
            "server=A3 20 00 13 41 20 31 32 33 34 01 33 34 04 86 01 C7 00 00 00 00 01 35 E8 EC;";
    const struct {
        int kind;  // 0 server, 1 wheel, 2 device
        std::vector<bytes> calls;
        int left;
        std::string out, seen;
        int link = 1;
    } cases[] = {
        {0, {cat({{0x00, 0x11}, r7, {0x01, 0x02, 0x03}})}, 0, ack, ""},
        {0, {part(r7, 0, 10), part(r7, 10, 25)}, 0, ack, ""},
        {0, {cat({r7, {0xA3}})}, 0, ack, ""},
        {0, {cat({{0xA3, 0x20, 0xFF, 0xFF, 0}, r3, {0}, r7})}, 0, reset, "k115=30 0A 31 0A;"},
        {0, {starts}, LINEAR_BUF_SIZE, "", ""},
        {0, {starts, r7}, 0, ack, ""},
        {0, {cat({starts, r7})}, 0, ack, ""},
        {1, {rec}, 7, line1, wheel1},
        {1, {part(rec, 0, 3), part(rec, 3, 7)}, 4, line1, wheel1},
        {1,
         {{0x41, 0x20, 0x31, 0x41, 0x20, 0x32, 0x33, 0x34, 0x35, 0x36}},
         10,
         "whell:41-20-32-33-34-35-36\n",
         "server=A3 20 00 13 41 20 32 33 34 35 01 34 35 04 86 01 C7 00 00 00 00 01 36 7D 2B;"},
        {1, {{0x41}, part(rec, 1, 7)}, 6, "", ""},
        {1, {rec}, 7, line1, "", 0},  // split pair; link down
        {2, {cat({d, e})}, 0, dev(d) + dev(e), ""},
        {2, {cat({f11, {0}})}, 18, "", ""},
        {2, {f12}, 0, dev(f12), ""},
        {0, {cat({{0x00, 0x11}, r7, {0xA3, 0x20, 0x05}})}, 3, ack, ""},  // acc checked below
    };
    for (const auto &c : cases) {
        int count = 0, miss = 4, left = -1, flag = 0;
        rig.ctx.net_connect_flag = c.link, CaptureStdout();
        for (const bytes &in : c.calls)
            left = c.kind == 1   ? construct_frame_for_whell(&rig.ctx, in.data(), int(in.size()),
                                                             &flag, &count, acc.data())
                   : c.kind == 2 ? construct_frame_from_device(&rig.ctx, in.data(), int(in.size()),
                                                               &count, acc.data())
                                 : construct_frame_from_server(&rig.ctx, in.data(), int(in.size()),
                                                               &count, acc.data(), &miss);
        EXPECT_EQ(GetCapturedStdout() + rig.seen(), c.out + c.seen);
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(c.kind == 1 ? flag : count,
                  c.kind == 1 ? 0 : c.left);  // the record / the bytes kept
    }
    EXPECT_EQ(hx(part(acc, 0, 3)), "A3 20 05");
}
