#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "protocol/crc16.h"
#include "protocol/kfifo.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A3 20 L body CRC, with body of L bytes.
Bytes make_frame(const Bytes &body)
{
    const Bytes f = Bytes{0xA3, 0x20, static_cast<uint8_t>(body.size() >> 8),
                          static_cast<uint8_t>(body.size())} +
                    body;
    const uint16_t c = crc16(f.data(), static_cast<uint32_t>(f.size()));
    return f + Bytes{static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)};
}

// 256 bytes, counters from 2^32 - 16 (storage position 240): contents wrap.
struct Ring {
    uint8_t s[256];
    kfifo f;
    Ring() { __kfifo_init(&f, s, sizeof s, 1), f.in = f.out = 0xFFFFFFF0u; }
    void put(const Bytes &b) { __kfifo_in(&f, b.data(), static_cast<uint32_t>(b.size())); }
    Bytes take(int n)
    {
        Bytes b(static_cast<size_t>(n));
        b.resize(static_cast<size_t>(__kfifo_out(&f, b.data(), static_cast<uint32_t>(n))));
        return b;
    }
};

// The rule on a flat copy: offset and length of the first whole frame with a
// valid CRC, else offset of the first 0xA3 (size when none) and length 0.
std::pair<size_t, int> reference_extract(const Bytes &q)
{
    size_t first = q.size();
    for (size_t i = 0; i < q.size(); i++) {
        if (q[i] != 0xA3)
            continue;
        first = std::min(first, i);
        const size_t n = q.size() - i < 4 ? SIZE_MAX : ((q[i + 2] << 8) | q[i + 3]) + 6u;
        if (q.size() - i < n)
            continue;
        const uint16_t c = crc16(&q[i], static_cast<uint32_t>(n - 2));
        if (q[i + n - 2] == (c & 0xFF) && q[i + n - 1] == (c >> 8))
            return {i, static_cast<int>(n)};
    }
    return {first, 0};
}

// The plain extraction: rescan every queued byte, check every candidate.
int reference_frame_filter(kfifo *fifo)
{
    const uint32_t avail = fifo->in - fifo->out;
    uint32_t first = avail;

    for (uint32_t i = 0; i < avail; i++) {
        if (fifo->data[(fifo->out + i) & fifo->mask] != 0xA3)
            continue;
        first = min(first, i);
        if (const int r = __frame_check(fifo, avail - i, fifo->out + i))
            return fifo->out += i, r;
    }
    fifo->out += first;
    return 0;
}

}  // namespace

// Random garbage rich in 0xA3, endless candidates, valid and corrupted frames,
// put in random pieces (some longer than the ring), against a flat model.
TEST(FrameFilter, MatchesReferenceExtractor)
{
    std::mt19937 rng(2024);
    Bytes stream;
    while (stream.size() < 200000) {
        Bytes part(rng() % 60);
        for (auto &b : part)
            b = static_cast<uint8_t>(rng() % 4 ? rng() : 0xA3);
        const unsigned kind = rng() % 6;  // garbage, endless, corrupted, 3 x valid
        if (kind == 1)
            part = {0xA3, 0x20, 0x7F, 0};
        else if (kind > 1)
            part = make_frame(part);
        if (kind == 2)
            part[rng() % part.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        stream.insert(stream.end(), part.begin(), part.end());
    }
    Ring r;
    Bytes model;
    int frames = 0;
    for (size_t at = 0, len; at < stream.size(); at += len) {
        len = std::min<size_t>(stream.size() - at, rng() % 4 ? rng() % 40 : rng() % 300);
        model = model + Bytes(stream.begin() + at, stream.begin() + at + len);
        model.erase(model.begin(), model.end() - std::min<size_t>(model.size(), 256));
        r.put(Bytes(stream.begin() + at, stream.begin() + at + len));
        for (int n = 1; n; frames += n > 0) {
            n = __frame_filter(&r.f);
            const auto [off, len_ref] = reference_extract(model);
            ASSERT_EQ(n, len_ref) << "at " << at;
            model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(off));
            ASSERT_EQ(r.f.in - r.f.out, model.size());
            ASSERT_EQ(r.take(n), Bytes(model.begin(), model.begin() + n));
            model.erase(model.begin(), model.begin() + n);
        }
    }
    EXPECT_GT(frames, 2000);
}

// The remembering extraction against the plain one, call by call: rings small
// enough to wrap and overflow, streams of planted and corrupted frames, stray
// 0xA3, runs of 0xA3 and of short headers that overfill the candidate table,
// bursts of tiny valid frames (more than the table holds), endless
// candidates; a caller that sometimes calls again before taking, and one
// that, like the radio pump, puts more bytes after each frame.
TEST(FrameFilter, MatchesPlainRescan)
{
    std::mt19937 rng(7);
    int frames = 0, calls = 0;
    for (uint32_t size : {64u, 256u, 1024u, 4096u}) {
        std::vector<uint8_t> sa(size), sb(size);
        kfifo a, b;
        __kfifo_init(&a, sa.data(), size, 1);
        __kfifo_init(&b, sb.data(), size, 1);
        a.in = a.out = b.in = b.out = 0u - size * 3;  // counters wrap too
        Bytes stream;
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
            __kfifo_in(&a, &stream[at], static_cast<uint32_t>(len));
            __kfifo_in(&b, &stream[at], static_cast<uint32_t>(len));
            const bool pump = rng() % 2;
            for (int n = 1; n; calls++) {
                n = __frame_filter(&a);
                ASSERT_EQ(n, reference_frame_filter(&b)) << size << " at " << at;
                ASSERT_EQ(a.out, b.out) << size << " at " << at;
                if (n && rng() % 4)  // else not taken: the same frame comes again
                    frames++, a.out += n, b.out += n;
                if (pump)
                    break;
            }
        }
    }
    EXPECT_GT(frames, 3000);
    EXPECT_GT(calls, 30000);
}
