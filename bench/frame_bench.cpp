// Throughput of the frame path: CRC-16 over flat buffers, a stream of
// back-to-back heartbeat-sized frames put into a 64 KiB ring in pieces and
// cut out again, as the pumps do, and noise arriving byte by byte behind a
// candidate that never completes, against a plain rescan of the ring.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "protocol/crc16.h"
#include "protocol/kfifo.h"
#include "runtime/connect.h"

namespace {

void BM_Crc16(benchmark::State &state)
{
    std::vector<uint8_t> buf(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < buf.size(); i++)
        buf[i] = static_cast<uint8_t>(i * 131 + 7);
    for (auto _ : state)
        benchmark::DoNotOptimize(crc16(buf.data(), static_cast<uint32_t>(buf.size())));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(4096)->Arg(65536);

// 4096 heartbeat frames (25 bytes, L = 19), each with its own address.
std::vector<uint8_t> frame_stream()
{
    std::vector<uint8_t> s;
    for (uint32_t k = 0; k < 4096; k++) {
        const uint8_t addr[FRAME_ADDR_LEN] = {
            0, 0, 0, 0, static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)};
        uint8_t f[HEARTBEAT_BUF_SIZE];
        heartbeat_fill(f, addr);
        frame_seal(f, HEARTBEAT_LEN - FRAME_CRC_LEN);
        s.insert(s.end(), f, f + HEARTBEAT_LEN);
    }
    return s;
}

// Put each piece, then take frames until none is left whole.
void BM_RingExtract(benchmark::State &state)
{
    static uint8_t storage[65536];
    const std::vector<uint8_t> stream = frame_stream();
    const uint32_t piece = static_cast<uint32_t>(state.range(0));
    const uint32_t total = static_cast<uint32_t>(stream.size());
    uint8_t frame[FRAME_MAX];
    kfifo fifo;
    __kfifo_init(&fifo, storage, sizeof storage, 1);

    for (auto _ : state) {
        uint32_t frames = 0;
        for (uint32_t at = 0; at < total; at += piece) {
            __kfifo_in(&fifo, stream.data() + at, min(piece, total - at));
            for (int n; (n = __frame_filter(&fifo)) > 0;) {
                __kfifo_out(&fifo, frame, static_cast<uint32_t>(n));
                frames++;
            }
        }
        if (frames != 4096) {
            state.SkipWithError("lost frames");
            break;
        }
        benchmark::DoNotOptimize(frame[HEARTBEAT_LEN - 1]);
    }
    state.SetBytesProcessed(state.iterations() * total);
    state.SetItemsProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_RingExtract)->Arg(1)->Arg(8)->Arg(4096);

// The plain extraction: every call rescans every queued byte and checks
// every whole candidate.
int plain_frame_filter(kfifo *fifo)
{
    const uint32_t avail = fifo->in - fifo->out;
    uint32_t skipped = 0;
    bool seen = false;

    for (uint32_t i = 0; i < avail; i++) {
        if (fifo->data[(fifo->out + i) & fifo->mask] != FRAME_START0) {
            skipped += !seen;
            continue;
        }
        seen = true;
        if (const int r = __frame_check(fifo, avail - i, fifo->out + i)) {
            fifo->out += i;
            return r;
        }
    }
    fifo->out += skipped;
    return 0;
}

// A 64 KiB ring holding A3 20 FF FF (it would need 65541 bytes) and 48 KiB
// of random bytes; then one random byte is put per iteration, each followed
// by an extraction. Refilled (untimed) before the ring overflows.
void BM_StuckCandidate(benchmark::State &state)
{
    static uint8_t storage[65536];
    int (*const filter)(kfifo *) = state.range(0) ? plain_frame_filter : __frame_filter;
    std::vector<uint8_t> noise(1 << 20);
    std::mt19937 rng(5);
    for (auto &b : noise)
        b = static_cast<uint8_t>(rng());
    const uint8_t stuck[4] = {0xA3, 0x20, 0xFF, 0xFF};
    const uint32_t prefill = 48 << 10;
    uint8_t frame[FRAME_MAX];
    uint32_t at = 0;
    kfifo fifo;

    auto refill = [&] {
        __kfifo_init(&fifo, storage, sizeof storage, 1);
        __kfifo_in(&fifo, stuck, 4);
        __kfifo_in(&fifo, noise.data(), prefill);
        at = prefill;
    };
    refill();
    for (auto _ : state) {
        if (fifo.in - fifo.out > sizeof storage - 16 || at == noise.size()) {
            state.PauseTiming();
            refill();
            state.ResumeTiming();
        }
        __kfifo_in(&fifo, &noise[at++], 1);
        if (const int n = filter(&fifo))
            __kfifo_out(&fifo, frame, static_cast<uint32_t>(n));
    }
    state.SetBytesProcessed(state.iterations());
}
BENCHMARK(BM_StuckCandidate)->ArgName("plain")->Arg(0)->Arg(1);

// A line that sends nothing but start bytes: every byte is a candidate whose
// length field (A3A3) asks for 41897 bytes. The ring starts with 41897 of
// them, so the first is whole; from then on each byte put completes one more
// candidate, whose CRC (over 41 KiB) fails. Refilled (untimed) when full.
// The plain rescan checks every whole candidate again on every call, so it
// runs only its first 100 bytes after a refill, its cheapest.
void BM_StartByteFlood(benchmark::State &state)
{
    static uint8_t storage[65536];
    int (*const filter)(kfifo *) = state.range(0) ? plain_frame_filter : __frame_filter;
    static const std::vector<uint8_t> flood(65536, 0xA3);
    uint8_t frame[FRAME_MAX];
    kfifo fifo;
    auto refill = [&] {
        __kfifo_init(&fifo, storage, sizeof storage, 1);
        __kfifo_in(&fifo, flood.data(), 41897);
        filter(&fifo);
    };
    refill();
    for (auto _ : state) {
        if (fifo.in - fifo.out > sizeof storage - 16) {
            state.PauseTiming();
            refill();
            state.ResumeTiming();
        }
        __kfifo_in(&fifo, flood.data(), 1);
        if (const int n = filter(&fifo))
            __kfifo_out(&fifo, frame, static_cast<uint32_t>(n));
    }
    state.SetBytesProcessed(state.iterations());
}
BENCHMARK(BM_StartByteFlood)->ArgName("plain")->Arg(0);
BENCHMARK(BM_StartByteFlood)->ArgName("plain")->Arg(1)->Iterations(100);

}  // namespace
