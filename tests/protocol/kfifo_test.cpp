#include "protocol/kfifo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> take(kfifo *f, uint32_t len)
{
    std::vector<uint8_t> v(len);
    v.resize(static_cast<size_t>(__kfifo_out(f, v.data(), len)));
    return v;
}

}  // namespace

TEST(Kfifo, RoundsCapacityUpToPowerOfTwo)
{
    EXPECT_EQ(rounddown_pow_of_two(0), 1u);
    EXPECT_EQ(rounddown_pow_of_two(1), 1u);
    EXPECT_EQ(rounddown_pow_of_two(5), 8u);
    EXPECT_EQ(rounddown_pow_of_two(65536), 65536u);
    EXPECT_EQ(rounddown_pow_of_two(0x80000001u), 0x80000000u);
    EXPECT_EQ(rounddown_pow_of_two(0xFFFFFFFFu), 0x80000000u);
}

TEST(Kfifo, InitAndAllocSizes)
{
    static uint8_t big[65536];
    uint8_t small[8];
    kfifo f;
    EXPECT_EQ(__kfifo_init(&f, big, sizeof big, 1), 0);
    EXPECT_EQ(f.mask, 65535u);
    EXPECT_EQ(__kfifo_init(&f, small, 1, 1), -22);
    EXPECT_EQ(f.mask, 0u);
    EXPECT_EQ(__kfifo_in(&f, "x", 1), 0);  // unusable ring takes nothing
    EXPECT_EQ(__kfifo_init(&f, small, 8, 0), -22);
    EXPECT_EQ(__kfifo_init(&f, small, 5, 1), 0);
    EXPECT_EQ(f.mask + 1, 8u);

    EXPECT_EQ(__kfifo_alloc(&f, 1, 1), -22);
    EXPECT_EQ(f.data, nullptr);
    ASSERT_EQ(__kfifo_alloc(&f, 3, 4), 0);
    EXPECT_EQ(f.mask + 1, 4u);
    const uint32_t four[4] = {1, 2, 3, 4};  // fills all 16 bytes (ASan checks)
    uint32_t back[4] = {};
    EXPECT_EQ(__kfifo_in(&f, four, 4), 4);
    EXPECT_EQ(__kfifo_out(&f, back, 9), 4);
    EXPECT_EQ(back[3], 4u);
    __kfifo_free(&f);
    EXPECT_EQ(f.data, nullptr);
    EXPECT_EQ(f.mask, 0u);
}

TEST(Kfifo, FullRingDiscardsOldest)
{
    uint8_t s[8];
    kfifo f;
    ASSERT_EQ(__kfifo_init(&f, s, 8, 1), 0);
    const uint8_t a[] = {0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6};
    const uint8_t b[] = {0xb1, 0xb2, 0xb3, 0xb4, 0xb5};
    EXPECT_EQ(__kfifo_in(&f, a, 6), 6);
    EXPECT_EQ(__kfifo_in(&f, b, 5), 5);
    EXPECT_EQ(f.out, 3u);
    EXPECT_EQ(take(&f, 8),
              (std::vector<uint8_t>{0xa4, 0xa5, 0xa6, 0xb1, 0xb2, 0xb3, 0xb4, 0xb5}));
}

TEST(Kfifo, PutLongerThanCapacityKeepsItsTail)
{
    uint8_t s[8];
    kfifo f;
    ASSERT_EQ(__kfifo_init(&f, s, 8, 1), 0);
    const uint8_t old[] = {1, 2, 3};
    uint8_t big[20];
    for (int i = 0; i < 20; i++)
        big[i] = static_cast<uint8_t>(100 + i);
    __kfifo_in(&f, old, 3);
    EXPECT_EQ(__kfifo_in(&f, big, 20), 20);
    EXPECT_EQ(f.in, 23u);
    EXPECT_EQ(f.out, 15u);
    EXPECT_EQ(take(&f, 20), std::vector<uint8_t>(big + 12, big + 20));
}

TEST(Kfifo, TakeAndPeekMoreThanQueued)
{
    uint8_t s[16];
    kfifo f;
    ASSERT_EQ(__kfifo_init(&f, s, 16, 1), 0);
    uint8_t dst[10] = {};
    __kfifo_in(&f, "xyz", 3);
    EXPECT_EQ(__kfifo_out_peek(&f, dst, 10), 3);
    EXPECT_EQ(f.out, 0u);
    EXPECT_EQ(take(&f, 10), (std::vector<uint8_t>{'x', 'y', 'z'}));
    EXPECT_EQ(__kfifo_out(&f, dst, 10), 0);
}

// With esize 4, three elements put at storage element 7 of a capacity-8
// ring: 4 bytes at the storage end, 8 at its start.
TEST(Kfifo, WideElementsWrap)
{
    uint8_t s[32] = {};
    kfifo f;
    ASSERT_EQ(__kfifo_init(&f, s, 32, 4), 0);
    ASSERT_EQ(f.mask, 7u);
    f.in = f.out = 7;
    const uint32_t v[3] = {0x11111111, 0x22222222, 0x33333333};
    EXPECT_EQ(__kfifo_in(&f, v, 3), 3);
    EXPECT_EQ(s[28], 0x11);
    EXPECT_EQ(s[0], 0x22);
    EXPECT_EQ(s[7], 0x33);
    EXPECT_EQ(s[8], 0);
    uint32_t back[3];
    EXPECT_EQ(__kfifo_out(&f, back, 3), 3);
    EXPECT_EQ(back[2], 0x33333333u);
}

// Random puts (some longer than the ring) and takes against a deque that
// keeps the newest `capacity` bytes, with counters starting just below 2^32
// so they wrap on the way.
TEST(Kfifo, MatchesQueueModelAcrossCounterWrap)
{
    std::mt19937 rng(7);
    uint8_t s[16];
    kfifo f;
    ASSERT_EQ(__kfifo_init(&f, s, 16, 1), 0);
    f.in = f.out = 0xFFFFFFF0u;
    std::deque<uint8_t> model;
    uint32_t model_out = f.out;
    for (int step = 0; step < 2000; step++) {
        const uint32_t len = rng() % 21;
        std::vector<uint8_t> buf(len);
        for (auto &b : buf)
            b = static_cast<uint8_t>(rng());
        if (rng() % 2) {
            ASSERT_EQ(__kfifo_in(&f, buf.data(), len), static_cast<int>(len));
            model.insert(model.end(), buf.begin(), buf.end());
            while (model.size() > 16) {
                model.pop_front();
                model_out++;
            }
        } else {
            const std::vector<uint8_t> got = take(&f, len);
            const size_t n = std::min<size_t>(len, model.size());
            ASSERT_EQ(got, std::vector<uint8_t>(model.begin(), model.begin() + n));
            model.erase(model.begin(), model.begin() + n);
            model_out += static_cast<uint32_t>(n);
        }
        ASSERT_EQ(f.out, model_out);
        ASSERT_EQ(f.in - f.out, model.size());
    }
    EXPECT_LT(f.in, 0xFFFFFFF0u);  // the counters did wrap
}
