#include <gtest/gtest.h>

#include <utility>

#include "peers/radio_module.h"

// A configuration command: head, code, argument count, arguments, byte sum, CR LF.
static bytes cmd(uint8_t code, const bytes &args)
{
    bytes c = {0xAF, 0xAF, 0x00, 0x00, 0xAF, 0x80, code, static_cast<uint8_t>(args.size())};
    for (uint8_t a : args)
        c.push_back(a);
    c.push_back(radio_modcrc(c.data(), c.size()));
    c.push_back(0x0D);
    c.push_back(0x0A);
    return c;
}

static bytes freq(uint32_t word)
{
    return cmd(0x0B, {uint8_t(word >> 16), uint8_t(word >> 8), uint8_t(word)});
}

// The module stand-in judges the gateway's set-up, so it must take every good
// command however it is cut up, and count each malformed one without losing
// the good command behind it.
TEST(RadioModule, AppliesGoodCommandsAndCountsMalformedOnes)
{
    bytes all;
    for (auto c : {cmd(0x15, {1, 0}), cmd(0x19, {0, 0}), cmd(0x0D, {11, 0}), cmd(0x0F, {7, 0}),
                   cmd(0x11, {1, 0}), cmd(0x17, {7, 0}), cmd(0x1B, {5, 0}), cmd(0x09, {4, 0}),
                   freq(radio_frequency_word(450))})
        all.insert(all.end(), c.begin(), c.end());
    for (size_t piece : {all.size(), size_t{1}, size_t{5}}) {
        RadioModule m(2, 3);
        for (size_t i = 0; i < all.size(); i += piece)
            m.take(
                bytes(all.begin() + long(i), all.begin() + long(std::min(all.size(), i + piece))));
        EXPECT_EQ(std::make_pair(m.counts().config_ok, m.counts().config_bad),
                  std::make_pair(9, 0));
        EXPECT_EQ(m.settings_text(),
                  "net id 1, breath 0, RF factor 11, bandwidth 7, mode 1, power 7, wake 5, "
                  "serial rate 4/0, 450 MHz");
    }

    bytes bad_sum = cmd(0x15, {1, 0}), bad_end = cmd(0x15, {1, 0});
    bad_sum[10] ^= 1;
    bad_end[12] = 0x0B;
    for (const bytes &c :
         {bad_sum, bad_end, cmd(0x42, {1, 0}), cmd(0x0B, {1, 0}), cmd(0x15, {1, 1}),
          freq(radio_frequency_word(434) + 1), freq(radio_frequency_word(511))}) {
        RadioModule m(1, 1);
        bytes in = c, good = cmd(0x17, {3, 0});
        in.insert(in.end(), good.begin(), good.end());
        m.take(in);
        EXPECT_EQ(std::make_pair(m.counts().config_ok, m.counts().config_bad), std::make_pair(1, 1))
            << hex(c);
        EXPECT_EQ(std::make_pair(int(m.settings().rf_power), int(m.settings().frequency_mhz)),
                  std::make_pair(3, 0))
            << hex(c);
    }
}

// Frames with a broken CRC or a foreign radio prefix, and any frame outside
// the key window, are flagged; a lamp the module lacks never answers.
TEST(RadioModule, FlagsForeignBrokenAndUnkeyedFrames)
{
    RadioModule m(2, 3);
    ASSERT_TRUE(m.start());
    const bytes dim = radio_frame(make_frame(m.lamp_address(2).data(), 5, 2, 2, 0x02, {0x1E}));
    bytes broken = dim, wrong_prefix = dim;
    broken.back() ^= 0xFF;
    wrong_prefix[0] = 0x09;
    m.set_key(true);
    m.take(dim);
    m.set_key(false);
    m.take(radio_frame(make_frame(m.lamp_address(4).data(), 5, 2, 4, 0x02, {0x10})));
    m.take(broken);
    m.take(wrong_prefix);
    const radio_counts c = m.counts();
    EXPECT_EQ(c.frames, 3);  // dim, the foreign one and the one with the wrong prefix
    EXPECT_EQ(c.frames_bad, 2);
    EXPECT_EQ(c.frames_unkeyed, 2);
    EXPECT_EQ(c.lamp_answers, 2);
    EXPECT_GT(c.noise_bytes, 0);  // the broken frame is skipped byte by byte
}
