#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "emu/radio_module.h"

namespace {

bytes cmd(uint8_t code, uint8_t a, uint8_t b = 0)
{
    bytes c = {0xAF, 0xAF, 0x00, 0x00, 0xAF, 0x80, code, 0x02, a, b};
    c.push_back(radio_modcrc(c.data(), c.size()));
    c.insert(c.end(), {0x0D, 0x0A});
    return c;
}

bytes freq(uint32_t word)
{
    bytes c = {0xAF,
               0xAF,
               0x00,
               0x00,
               0xAF,
               0x80,
               0x0B,
               0x03,
               uint8_t(word >> 16),
               uint8_t(word >> 8),
               uint8_t(word)};
    c.push_back(radio_modcrc(c.data(), c.size()));
    c.insert(c.end(), {0x0D, 0x0A});
    return c;
}

bytes radio_form(const bytes &frame)
{
    bytes r(frame.size() + 2);
    r[0] = frame[11];
    r[1] = frame[12];
    std::copy(frame.begin(), frame.end(), r.begin() + 2);
    return r;
}

}  // namespace

TEST(RadioModule, AppliesTheStartUpSequenceFedInAnyPieces)
{
    bytes all;
    for (auto c : {cmd(0x15, 1), cmd(0x19, 0), cmd(0x0D, 11), cmd(0x0F, 7), cmd(0x11, 1),
                   cmd(0x17, 7), cmd(0x1B, 5), cmd(0x09, 4, 0), freq(radio_frequency_word(450))})
        all.insert(all.end(), c.begin(), c.end());
    // The worked example of the module's manual, to the byte.
    EXPECT_EQ(hex(bytes(all.end() - 14, all.end())), "AF AF 00 00 AF 80 0B 03 70 80 12 9D 0D 0A");
    EXPECT_EQ(radio_frequency_word(420), 6881297u);
    EXPECT_EQ(radio_frequency_word(510), 8355861u);

    for (size_t piece : {all.size(), size_t{1}, size_t{5}}) {
        RadioModule m(2, 3);
        for (size_t i = 0; i < all.size(); i += piece)
            m.take(
                bytes(all.begin() + long(i), all.begin() + long(std::min(all.size(), i + piece))));
        EXPECT_EQ(m.counts().config_ok, 9);
        EXPECT_EQ(m.counts().config_bad, 0);
        EXPECT_EQ(m.settings_text(),
                  "net id 1, breath 0, RF factor 11, bandwidth 7, mode 1, power 7, wake 5, "
                  "serial rate 4/0, 450 MHz");
    }
}

TEST(RadioModule, CountsMalformedCommandsAndResynchronises)
{
    bytes bad_sum = cmd(0x15, 1), bad_end = cmd(0x15, 1), bad_count = cmd(0x0B, 1),
          second = cmd(0x15, 1, 1);
    bad_sum[10] ^= 1;
    bad_end[12] = 0x0B;
    const bytes cases[] = {bad_sum,
                           bad_end,
                           cmd(0x42, 1),
                           bad_count,
                           second,
                           freq(radio_frequency_word(434) + 1),
                           freq(radio_frequency_word(511))};
    for (const bytes &c : cases) {
        RadioModule m(1, 1);
        bytes in = c;
        bytes good = cmd(0x17, 3);
        in.insert(in.end(), good.begin(), good.end());
        m.take(in);
        EXPECT_EQ(m.counts().config_bad, 1) << hex(c);
        EXPECT_EQ(m.counts().config_ok, 1) << hex(c);
        EXPECT_EQ(m.settings().rf_power, 3) << hex(c);
        EXPECT_EQ(m.settings().frequency_mhz, 0) << hex(c);
    }
}

TEST(RadioModule, LampAnswersFramesAddressedToItAndFlagsBadOnes)
{
    RadioModule m(2, 3);
    ASSERT_TRUE(m.start());
    int fd = open(m.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::vector<std::string> log;
    m.on_log = [&log](const std::string &l) { log.push_back(l); };

    auto lamp2 = m.lamp_address(2);
    bytes dim = make_frame(lamp2.data(), 5, 2, 2, 0x02, {0x1E});
    m.set_key(true);
    m.take(radio_form(dim));  // answered: status of lamp 2 at level 0x1E
    bytes got;
    ASSERT_TRUE(wait_for(
        [&] {
            uint8_t buf[64];
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0)
                    got.insert(got.end(), buf, buf + n);
            }
            return got.size() >= 20;
        },
        2000));
    EXPECT_EQ(hex(bytes(got.begin(), got.begin() + 14)),
              "A3 20 00 0E 4C 50 00 02 00 02 05 02 02 01");
    EXPECT_EQ(got[16], 0x1E);
    EXPECT_EQ(got, make_frame(bytes(got.begin() + 4, got.end() - 2)));

    bytes other = make_frame(m.lamp_address(4).data(), 5, 2, 4, 0x02, {0x10});  // no lamp 4 here
    bytes broken = radio_form(dim);
    broken.back() ^= 0xFF;
    bytes wrong_prefix = radio_form(dim);
    wrong_prefix[0] = 0x09;
    m.set_key(false);
    m.take(radio_form(other));
    m.take(broken);
    m.take(wrong_prefix);
    radio_counts c = m.counts();
    EXPECT_EQ(c.frames, 3);  // dim, other and the one with the wrong prefix
    EXPECT_EQ(c.frames_bad, 2);
    EXPECT_EQ(c.frames_unkeyed, 2);
    EXPECT_EQ(c.lamp_answers, 2);
    EXPECT_GT(c.noise_bytes, 0);  // the broken frame is skipped byte by byte
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log[0].find("type 5, command 02, address 4C 50 00 02 00 02, lamp 2 answers"),
              std::string::npos);
    close(fd);
}
