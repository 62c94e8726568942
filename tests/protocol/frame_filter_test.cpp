#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <vector>

#include "protocol/crc16.h"
#include "protocol/kfifo.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A3 20 L body CRC, with body of L bytes.
Bytes make_frame(const Bytes &body)
{
    Bytes f = {0xA3, 0x20, static_cast<uint8_t>(body.size() >> 8),
               static_cast<uint8_t>(body.size() & 0xFF)};
    f.insert(f.end(), body.begin(), body.end());
    const uint16_t c = crc16(f.data(), static_cast<uint32_t>(f.size()));
    f.push_back(static_cast<uint8_t>(c & 0xFF));
    f.push_back(static_cast<uint8_t>(c >> 8));
    return f;
}

Bytes heartbeat()
{
    return make_frame({0, 0, 0, 0, 0, 0, 0x00, 0x01, 0x01, 0x06, 0x85, 0x01, 0xC6, 0, 0, 0, 0,
                       0x01, 0x01});
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct Ring {
    uint8_t storage[256];
    kfifo f;
    explicit Ring(uint32_t start = 0)
    {
        __kfifo_init(&f, storage, sizeof storage, 1);
        f.in = f.out = start;
    }
    void put(const Bytes &b) { __kfifo_in(&f, b.data(), static_cast<uint32_t>(b.size())); }
    uint32_t queued() const { return f.in - f.out; }
    Bytes take(uint32_t n)
    {
        Bytes b(n);
        b.resize(static_cast<size_t>(__kfifo_out(&f, b.data(), n)));
        return b;
    }
};

}  // namespace

TEST(FrameFilter, EmptyAndGarbage)
{
    Ring r(1000);
    EXPECT_EQ(__frame_filter(&r.f), 0);
    EXPECT_EQ(r.f.out, 1000u);
    r.put({0x00, 0x20, 0xA2, 0xFF, 0x13});
    EXPECT_EQ(__frame_filter(&r.f), 0);
    EXPECT_EQ(r.queued(), 0u);
}

TEST(FrameFilter, GarbageThenFrame)
{
    Ring r;
    r.put(cat({{1, 2, 3}, heartbeat()}));
    EXPECT_EQ(__frame_filter(&r.f), 25);
    EXPECT_EQ(r.f.out, 3u);
    EXPECT_EQ(r.take(25), heartbeat());
}

// A short frame is returned as soon as its last byte is queued, alone in
// the ring, and not one byte earlier.
TEST(FrameFilter, ShortFrameReturnedWhenWhole)
{
    for (size_t body : {0, 10}) {
        const Bytes fr = make_frame(Bytes(body, 0x55));
        Ring r;
        for (size_t i = 0; i + 1 < fr.size(); i++) {
            r.put({fr[i]});
            ASSERT_EQ(__frame_filter(&r.f), 0) << "body " << body << " byte " << i;
        }
        r.put({fr.back()});
        EXPECT_EQ(__frame_filter(&r.f), static_cast<int>(body + 6));
        EXPECT_EQ(r.take(99), fr);
    }
}

// The storage still holds a whole earlier frame, but only part of it is
// queued again: the check must not read the stale bytes behind `in`.
TEST(FrameFilter, NeverReadsPastQueuedBytes)
{
    const Bytes fr = make_frame({});
    for (uint32_t n : {3u, 5u}) {
        Ring r;
        r.put(fr);
        r.f.in = r.f.out = 0;
        r.put(Bytes(fr.begin(), fr.begin() + n));
        EXPECT_EQ(__frame_filter(&r.f), 0) << n;
        EXPECT_EQ(r.queued(), n);
    }
}

TEST(FrameFilter, BadCrcStaysQueued)
{
    Bytes bad = heartbeat();
    bad[24] ^= 0x01;
    Bytes swapped = heartbeat();
    std::swap(swapped[23], swapped[24]);
    for (const Bytes &fr : {bad, swapped}) {
        Ring r;
        r.put(cat({{9, 9}, fr, {7}}));
        EXPECT_EQ(__frame_filter(&r.f), 0);
        EXPECT_EQ(r.f.out, 2u);
        EXPECT_EQ(__frame_filter(&r.f), 0);
        EXPECT_EQ(r.take(99), cat({fr, {7}}));
    }
}

TEST(FrameFilter, SkipsFailedCandidatesBeforeValidFrame)
{
    Bytes bad = heartbeat();
    bad[20] = 0x42;
    const Bytes huge = {0xA3, 0x20, 0xFF, 0xFF, 1, 2};  // can never complete
    Ring r;
    r.put(cat({{5}, bad, huge}));
    EXPECT_EQ(__frame_filter(&r.f), 0);
    EXPECT_EQ(r.f.out, 1u);
    const Bytes good = make_frame({1, 2, 3});
    r.put(good);
    EXPECT_EQ(__frame_filter(&r.f), static_cast<int>(good.size()));
    EXPECT_EQ(r.f.out, 1 + bad.size() + huge.size());
    EXPECT_EQ(r.take(99), good);
}

TEST(FrameFilter, BackToBackAndWrappedFrames)
{
    Ring r(0xFFFFFFC8u);  // storage position 200: the 2nd frame wraps, counters too
    const Bytes a = heartbeat(), b = make_frame(Bytes(240 - 25 - 6, 0xA3));
    r.put(cat({a, b}));
    ASSERT_EQ(__frame_filter(&r.f), 25);
    EXPECT_EQ(r.take(25), a);
    ASSERT_EQ(__frame_filter(&r.f), static_cast<int>(b.size()));
    EXPECT_EQ(r.take(999), b);
    EXPECT_EQ(__frame_filter(&r.f), 0);
}

namespace {

// The extraction rule over a plain copy of the queued bytes: the offset and
// length of the first whole frame with a valid CRC, or where the first 0xA3
// is (size when none) and length 0.
std::pair<size_t, int> reference_extract(const Bytes &q)
{
    size_t first = q.size();
    for (size_t i = 0; i < q.size(); i++) {
        if (q[i] != 0xA3)
            continue;
        first = std::min(first, i);
        if (q.size() - i < 4)
            continue;
        const size_t n = static_cast<size_t>((q[i + 2] << 8) | q[i + 3]) + 6;
        if (q.size() - i < n)
            continue;
        const uint16_t c = crc16(&q[i], static_cast<uint32_t>(n - 2));
        if (q[i + n - 2] == (c & 0xFF) && q[i + n - 1] == (c >> 8))
            return {i, static_cast<int>(n)};
    }
    return {first, 0};
}

}  // namespace

// Random streams of garbage (rich in 0xA3), valid frames, corrupted frames
// and never-ending candidates, cut into random pieces (some longer than the
// ring) through a 256-byte ring starting near counter wrap. The ring and a
// plain vector model must agree on every frame and every move of `out`.
TEST(FrameFilter, MatchesReferenceExtractor)
{
    std::mt19937 rng(2024);
    auto byte = [&] { return static_cast<uint8_t>(rng() % 4 ? rng() : 0xA3); };
    Bytes stream;
    while (stream.size() < 200000) {
        const unsigned kind = rng() % 8;
        if (kind < 4) {
            Bytes body(rng() % 60);
            for (auto &b : body)
                b = byte();
            Bytes fr = make_frame(body);
            if (kind == 3)
                fr[rng() % fr.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
            stream.insert(stream.end(), fr.begin(), fr.end());
        } else if (kind == 4) {
            stream.insert(stream.end(), {0xA3, 0x20, 0x7F, byte()});
        } else {
            for (unsigned n = rng() % 12; n; n--)
                stream.push_back(byte());
        }
    }

    Ring r(0xFFFFFF00u);
    Bytes model;
    uint32_t model_out = r.f.out;
    int frames = 0;
    for (size_t at = 0; at < stream.size();) {
        const size_t len = std::min<size_t>(stream.size() - at, rng() % 4 ? rng() % 40 : rng() % 300);
        const Bytes piece(stream.begin() + at, stream.begin() + at + len);
        at += len;
        r.put(piece);
        model.insert(model.end(), piece.begin(), piece.end());
        if (model.size() > 256) {
            model_out += static_cast<uint32_t>(model.size() - 256);
            model.erase(model.begin(), model.end() - 256);
        }
        for (;;) {
            const uint32_t in = r.f.in;
            const int n = __frame_filter(&r.f);
            const auto [off, len_ref] = reference_extract(model);
            ASSERT_EQ(n, len_ref) << "at " << at;
            model_out += static_cast<uint32_t>(off);
            model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(off));
            ASSERT_EQ(r.f.out, model_out);
            ASSERT_EQ(r.f.in, in);
            if (!n)
                break;
            ASSERT_EQ(r.take(static_cast<uint32_t>(n)), Bytes(model.begin(), model.begin() + n));
            model.erase(model.begin(), model.begin() + n);
            model_out += static_cast<uint32_t>(n);
            frames++;
        }
    }
    EXPECT_GT(frames, 2000);
}
