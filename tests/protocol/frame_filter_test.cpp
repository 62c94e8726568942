#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "peers/street.h"
#include "protocol/kfifo.h"

using Bytes = std::vector<uint8_t>;

static Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The rule on a flat copy: offset and length of the first whole frame with a
// valid CRC, else offset of the first 0xA3 (size when none) and length 0.
static std::pair<size_t, int> reference_extract(const Bytes &q)
{
    size_t first = q.size();
    for (size_t i = 0; i < q.size(); i++) {
        if (q[i] != 0xA3)
            continue;
        first = std::min(first, i);
        const size_t n = q.size() - i < 4 ? SIZE_MAX : ((q[i + 2] << 8) | q[i + 3]) + 6u;
        if (q.size() - i < n)
            continue;
        const uint16_t c = modbus_crc(&q[i], n - 2);  // high byte first
        if (q[i + n - 2] == (c >> 8) && q[i + n - 1] == (c & 0xFF))
            return {i, static_cast<int>(n)};
    }
    return {first, 0};
}

// The extraction against the rule on a flat copy of the ring, call by call:
// rings small enough to wrap and overflow, counters crossing 2^32, streams of
// planted and corrupted frames, stray 0xA3, runs of 0xA3 and of short headers
// that overfill the candidate table, bursts of tiny valid frames (more than
// the table holds), endless candidates, pieces longer than the ring; a caller
// that sometimes calls again before taking, and one that, like the radio
// pump, puts more bytes after each frame.
TEST(FrameFilter, MatchesTheRuleOnAFlatCopy)
{
    std::mt19937 rng(7);
    int frames = 0, calls = 0;
    for (uint32_t size : {64u, 256u, 1024u, 4096u}) {
        std::vector<uint8_t> store(size);
        kfifo f;
        __kfifo_init(&f, store.data(), size, 1);
        f.in = f.out = 0u - size * 3;
        Bytes stream, model;
        while (stream.size() < 300000) {
            Bytes part(rng() % (size / 4 + 8));
            for (auto &x : part)
                x = static_cast<uint8_t>(rng() % 3 ? rng() : 0xA3);
            switch (rng() % 10) {  // else plain garbage
            case 0: part = {0xA3, 0x20, static_cast<uint8_t>(rng() % 5), 1}; break;
            case 1: part.assign(rng() % 3000, 0xA3); break;
            case 6:
                part.clear();
                for (uint32_t k = rng() % 900; k--;)
                    part = part + make_frame(Bytes(rng() % 3));
                break;
            case 7:
                part.clear();
                for (uint32_t k = rng() % 700; k--;)
                    part = part + Bytes{0xA3, 0x20, 0, static_cast<uint8_t>(rng() % 40)};
                break;
            case 2: part = make_frame(part), part[rng() % part.size()] ^= 0x10; break;
            case 3:
            case 4:
            case 5: part = make_frame(part); break;
            }
            stream = stream + part;
        }
        for (size_t at = 0, len; at < stream.size(); at += len) {
            len = std::min<size_t>(stream.size() - at,
                                   rng() % 8 ? 1 + rng() % 16 : rng() % (2 * size));
            __kfifo_in(&f, &stream[at], static_cast<uint32_t>(len));
            model.insert(model.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                         stream.begin() + static_cast<std::ptrdiff_t>(at + len));
            model.erase(model.begin(), model.end() - static_cast<std::ptrdiff_t>(
                                                         std::min<size_t>(model.size(), size)));
            const bool pump = rng() % 2;
            for (int n = 1; n; calls++) {
                n = __frame_filter(&f);
                const auto [off, want] = reference_extract(model);
                ASSERT_EQ(n, want) << size << " at " << at;
                model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(off));
                ASSERT_EQ(f.in - f.out, model.size()) << size << " at " << at;
                if (n && rng() % 4) {  // else not taken: the same frame comes again
                    Bytes got(static_cast<size_t>(n));
                    ASSERT_EQ(__kfifo_out(&f, got.data(), static_cast<uint32_t>(n)), uint32_t(n));
                    ASSERT_EQ(got, Bytes(model.begin(), model.begin() + n));
                    model.erase(model.begin(), model.begin() + n), frames++;
                }
                if (pump)
                    break;
            }
        }
    }
    EXPECT_GT(frames, 3000);
    EXPECT_GT(calls, 30000);
}
