#include "protocol/protocol.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "modem/message.h"
#include "radio/w433config.h"
#include "support/cabinet.h"
#include "support/capture.h"

using testutil::cat;

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

// The cabinet with the ports open and the link up, and what each peer got
// since the last look once all were quiet for 50 ms: "other=A3 20 ...;
// key_other=31 0A 30 0A;" (a GPIO level as the text the gateway wrote, "1\n").
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
        for (int key : {board.gpio_key_ludeng, board.gpio_modem_reset, board.gpio_key_other}) {
            got.emplace_back();
            for (int level : gpio.levels(key))
                got.back().insert(got.back().end(), {uint8_t('0' + level), '\n'});
        }
        return got;
    }
    std::string seen()
    {
        static const char *const names[] = {
            "server=", "other=", "ludeng=", "key_ludeng=", "reset=", "key_other="};
        std::vector<bytes> got = all(), again;
        for (int round = 0; round < 100; round++, got = again) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if ((again = all()) == got)
                break;
        }
        std::string s;
        for (size_t i = 0; i < 6; last[i] = got[i].size(), i++)
            if (got[i].size() > last[i])
                s += names[i] + hex(part(got[i], long(last[i]), long(got[i].size()))) + ";";
        return s;
    }
};

// Who hands a frame over, and the link's state meanwhile.
enum From { FROM_DEVICE, FROM_SERVER };
enum Link { LINK_DOWN, LINK_UP };

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
        return "other=" + hex(radio_frame(f)) + " " + hex(cat({{b14}, part(f, 15, 23)})) + ";";
    };
    auto keyed = [](const char *port, const bytes &f, const char *key) {
        return std::string(port) + "=" + hex(radio_frame(f)) + ";" + key + "=31 0A 30 0A;";
    };
    const struct {
        From from;
        bytes buf;
        Link link;
        std::string seen, out;
        int miss = 4, len = 0;
    } cases[] = {
        {FROM_DEVICE, radio_frame(set), LINK_UP, twice(set, 0xAF), "433 set\n"},
        {FROM_DEVICE, radio_frame(keep), LINK_UP, twice(keep, 0x42), "433 set\n"},
        {FROM_DEVICE, radio_frame(f10), LINK_UP, "other=" + hex(radio_frame(f10)) + ";",
         "433 set\n"},
        {FROM_DEVICE, radio_frame(f1), LINK_DOWN, no, no},
        {FROM_DEVICE, radio_frame(frame(3, 9, 19)), LINK_UP, no, no},
        {FROM_DEVICE, radio_frame(f4), LINK_UP, no, no},
        {FROM_DEVICE, radio_frame(frame(0xA3, 9, 19)), LINK_UP, no, no},
        {FROM_DEVICE, short12, LINK_UP, no, no, 4, 12},
        {FROM_DEVICE, sms, LINK_UP, no, no},  // handed to the SMS thread
        {FROM_SERVER, radio_frame(f1), LINK_UP, keyed("other", f1, "key_other"),
         "from server to other:" + hex(f1, "-") + "\n"},
        {FROM_SERVER, radio_frame(f4), LINK_UP, keyed("other", f4, "key_other"),
         "from server to other:" + hex(f4, "-") + "\n"},
        {FROM_SERVER, radio_frame(f5), LINK_UP, keyed("ludeng", f5, "key_ludeng"),
         "from server to ludeng:" + hex(f5, "-") + "\n"},
        {FROM_SERVER, radio_frame(frame(0, 3, 19)), LINK_UP, "reset=30 0A 31 0A;", "model reset\n"},
        {FROM_SERVER, radio_frame(frame(0, 7, 19)), LINK_UP, no,
         "reiceive server heartbeat response\n", 0},
        {FROM_SERVER, radio_frame(frame(0, 6, 19)), LINK_UP, no, no},
        {FROM_SERVER, radio_frame(frame(2, 9, 19)), LINK_UP, no, no},
        {FROM_SERVER, radio_frame(frame(6, 9, 19)), LINK_UP, no, no},
        {FROM_SERVER, short15, LINK_UP, no, no, 4, 15},
        {FROM_SERVER, short12, LINK_UP, no, no, 4, 12},
    };
    for (auto c : cases) {
        int miss = 4, len = c.len ? c.len : int(c.buf.size());
        rig.ctx.net_connect_flag = c.link;
        testutil::Capture out;
        c.from == FROM_SERVER ? comand_process_from_server(&rig.ctx, c.buf.data(), len, &miss)
                              : comand_process_from_device(&rig.ctx, c.buf.data(), len);
        EXPECT_EQ(out.end(), c.out) << hex(c.buf);
        EXPECT_EQ(rig.seen(), c.seen) << hex(c.buf);
        EXPECT_EQ(miss, c.miss) << hex(c.buf);
        EXPECT_TRUE(c.buf != radio_frame(set) || c.buf[16] == 0xAF);  // the caller sees the change
    }
    ASSERT_TRUE(rig.modem.wait_until(
        [&] {
            sms_forward_send_due(&rig.ctx, rig.ctx.gsm_fd);
            return rig.modem.sent().size() == 1;
        },
        3000));
    EXPECT_EQ(rig.modem.sent()[0].number + " " + rig.modem.sent()[0].text,
              "\"+8613800000000\" " + hex(part(sms, 2, 71), ""));  // the modem takes 138
    std::unique_lock<std::mutex> keyed_send(transmit_key_lock(board.gpio_key_other));
    testutil::Capture out;
    std::thread setting(comand_process_from_device, &rig.ctx, short15.data(), 15);
    EXPECT_EQ(rig.seen(), no);  // a setting waits for a keyed send under way to end
    keyed_send.unlock(), setting.join();
    EXPECT_EQ(out.end(), "433 set\n");
    EXPECT_EQ(rig.seen(), "other=" + hex(part(short15, 0, 15)) + ";");
}

TEST(LinearFrameWheelFrame, FindFrameTakesFramesWithEitherCrcOrder)
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
    testutil::Capture console;
    int found[3];
    bytes got[2];
    for (int i = 0; i < 3; i++) {
        found[i] = find_frame(src.data(), &src_count, out.data(), &out_len);
        if (i < 2)
            got[i] = part(out, 0, out_len);
    }
    EXPECT_EQ(console.end(), "sourcecounter=77\nsourcecounter=77\n");
    EXPECT_EQ(found[0], 1);
    EXPECT_EQ(got[0], radio_frame(hb));
    EXPECT_EQ(found[1], 1);
    EXPECT_EQ(got[1], radio_frame(hb_b));
    EXPECT_EQ(found[2], 0);
    EXPECT_EQ(hex(part(src, 0, src_count)), hex(hb_x));
}

// Which assembler takes the bytes.
enum Assembler { SERVER_BYTES, WHEEL_BYTES, DEVICE_BYTES };

TEST(LinearFrameWheelFrame, AssemblyAcrossCalls)
{
    Rig rig;
    const bytes r7 = frame(0, 7, 19), r3 = frame(0, 3, 19),
                rec{0x41, 0x20, 0x31, 0x32, 0x33, 0x34, 0x35}, f11 = frame(3, 9, 11),
                f12 = frame(3, 9, 12), d = frame(3, 1, 19), e = frame(3, 2, 19);
    bytes acc(LINEAR_BUF_SIZE), starts;  // a full buffer of start pairs that never make a frame
    for (int i = 0; i < LINEAR_BUF_SIZE / 4; i++)
        starts.insert(starts.end(), {0xA3, 0x20, 0x00, 0x00});
    auto dev = [](const bytes &f) { return "from device:" + hex(radio_frame(f), "-") + "\n"; };
    const std::string
        ack = "reiceive server heartbeat response\n",
        reset = "model reset\n" + ack, line1 = "whell:41-20-31-32-33-34-35\n",
        wheel1 =
            "server=A3 20 00 13 41 20 31 32 33 34 01 33 34 04 86 01 C7 00 00 00 00 01 35 E8 EC;";
    const struct {
        Assembler kind;
        std::vector<bytes> calls;
        int left;
        std::string out, seen;
        Link link = LINK_UP;
    } cases[] = {
        {SERVER_BYTES, {cat({{0x00, 0x11}, r7, {0x01, 0x02, 0x03}})}, 0, ack, ""},
        {SERVER_BYTES, {part(r7, 0, 10), part(r7, 10, 25)}, 0, ack, ""},
        {SERVER_BYTES, {cat({r7, {0xA3}})}, 0, ack, ""},
        {SERVER_BYTES,
         {cat({{0xA3, 0x20, 0xFF, 0xFF, 0}, r3, {0}, r7})},
         0,
         reset,
         "reset=30 0A 31 0A;"},
        {SERVER_BYTES, {starts}, LINEAR_BUF_SIZE, "", ""},
        {SERVER_BYTES, {starts, r7}, 0, ack, ""},
        {SERVER_BYTES, {cat({starts, r7})}, 0, ack, ""},
        {WHEEL_BYTES, {rec}, 7, line1, wheel1},
        {WHEEL_BYTES, {part(rec, 0, 3), part(rec, 3, 7)}, 4, line1, wheel1},
        {WHEEL_BYTES,
         {{0x41, 0x20, 0x31, 0x41, 0x20, 0x32, 0x33, 0x34, 0x35, 0x36}},
         10,
         "whell:41-20-32-33-34-35-36\n",
         "server=A3 20 00 13 41 20 32 33 34 35 01 34 35 04 86 01 C7 00 00 00 00 01 36 7D 2B;"},
        {WHEEL_BYTES, {{0x41}, part(rec, 1, 7)}, 6, "", ""},
        {WHEEL_BYTES, {rec}, 7, line1, "", LINK_DOWN},  // split pair
        {DEVICE_BYTES, {cat({d, e})}, 0, dev(d) + dev(e), ""},
        {DEVICE_BYTES, {cat({f11, {0}})}, 18, "", ""},
        {DEVICE_BYTES, {f12}, 0, dev(f12), ""},
        {SERVER_BYTES,
         {cat({{0x00, 0x11}, r7, {0xA3, 0x20, 0x05}})},
         3,
         ack,
         ""},  // acc checked below
    };
    for (const auto &c : cases) {
        int count = 0, miss = 4, left = -1, flag = 0;
        rig.ctx.net_connect_flag = c.link;
        testutil::Capture out;
        for (const bytes &in : c.calls)
            left = c.kind == WHEEL_BYTES
                       ? construct_frame_for_whell(&rig.ctx, in.data(), int(in.size()), &flag,
                                                   &count, acc.data())
                   : c.kind == DEVICE_BYTES
                       ? construct_frame_from_device(&rig.ctx, in.data(), int(in.size()), &count,
                                                     acc.data())
                       : construct_frame_from_server(&rig.ctx, in.data(), int(in.size()), &count,
                                                     acc.data(), &miss);
        EXPECT_EQ(out.end(), c.out);
        EXPECT_EQ(rig.seen(), c.seen);
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(c.kind == WHEEL_BYTES ? flag : count,
                  c.kind == WHEEL_BYTES ? 0 : c.left);  // the record / the bytes kept
    }
    EXPECT_EQ(hex(part(acc, 0, 3)), "A3 20 05");
}
