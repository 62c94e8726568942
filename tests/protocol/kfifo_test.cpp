#include "protocol/kfifo.h"

#include <gtest/gtest.h>

#include <vector>

// Random use of a byte ring is checked against a model by the frame
// extraction tests; these are the sizes and the exact cases.
TEST(Kfifo, SizesAndUnusableRings)
{
    const std::pair<uint32_t, uint32_t> pow2[] = {
        {0, 1}, {1, 1}, {5, 8}, {0x80000001u, 0x80000000u}, {0xFFFFFFFFu, 0x80000000u}};
    for (auto [n, p] : pow2)
        EXPECT_EQ(rounddown_pow_of_two(n), p) << n;
    uint8_t s[8];
    kfifo f;
    EXPECT_EQ(__kfifo_init(&f, s, 5, 1), 0);
    EXPECT_EQ(f.mask, 7u);
    EXPECT_EQ(__kfifo_init(&f, s, 8, 0), -22);
    EXPECT_EQ(__kfifo_init(&f, s, 1, 1), -22);
    EXPECT_EQ(__kfifo_in(&f, "x", 1), 0);
    EXPECT_EQ(__kfifo_alloc(&f, 1, 1), -22);
    EXPECT_EQ(f.data, nullptr);
    ASSERT_EQ(__kfifo_alloc(&f, 3, 4), 0);  // 4 elements of 4 bytes
    uint32_t v[4] = {1, 2, 3, 4};
    EXPECT_EQ(__kfifo_in(&f, v, 4), 4);  // ASan checks the storage size
    EXPECT_EQ(__kfifo_out_peek(&f, v, 9), 4);
    EXPECT_EQ(f.in - f.out, 4u);
    __kfifo_free(&f);
    EXPECT_EQ(f.data, nullptr);
    EXPECT_EQ(f.mask, 0u);
}

// Four elements of 4 bytes from storage element 2, counters crossing 2^32:
// a put into a full ring drops the oldest, a put longer than the ring keeps
// only its own last four, and a take returns at most what is queued.
TEST(Kfifo, WrapsOverwritesAndOverflows)
{
    uint32_t s[4], got[9];
    kfifo f;
    ASSERT_EQ(__kfifo_init(&f, s, sizeof s, 4), 0);
    f.in = f.out = 0xFFFFFFFEu;
    const uint32_t v[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(__kfifo_in(&f, v, 3), 3);
    EXPECT_EQ(__kfifo_in(&f, v + 3, 2), 2);
    EXPECT_EQ(std::make_pair(f.in, f.out), std::make_pair(3u, 0xFFFFFFFFu));
    EXPECT_EQ(std::vector<uint32_t>(s, s + 4), (std::vector<uint32_t>{3, 4, 5, 2}));
    EXPECT_EQ(__kfifo_out(&f, got, 1), 1);
    EXPECT_EQ(got[0], 2u);
    EXPECT_EQ(__kfifo_in(&f, v + 5, 6), 6);
    EXPECT_EQ(std::make_pair(f.in, f.out), std::make_pair(9u, 5u));
    EXPECT_EQ(__kfifo_out(&f, got, 9), 4);
    EXPECT_EQ(std::vector<uint32_t>(got, got + 4), (std::vector<uint32_t>{8, 9, 10, 11}));
    EXPECT_EQ(__kfifo_out(&f, got, 9), 0);
}
