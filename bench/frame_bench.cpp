// Throughput of the frame path: CRC-16 over flat buffers, and a stream of
// back-to-back heartbeat-sized frames put into a 64 KiB ring in pieces and
// cut out again, as the pumps do.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "protocol/crc16.h"
#include "protocol/kfifo.h"

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
        uint8_t f[25] = {0xA3, 0x20, 0x00, 0x13, 0, 0, 0, 0,
                         static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k),
                         0x00, 0x01, 0x01, 0x06, 0x85, 0x01, 0xC6, 0, 0, 0, 0, 0x01, 0x01};
        const uint16_t c = crc16(f, 23);
        f[23] = static_cast<uint8_t>(c & 0xFF);
        f[24] = static_cast<uint8_t>(c >> 8);
        s.insert(s.end(), f, f + 25);
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
    uint8_t frame[65536 + 6];
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
        benchmark::DoNotOptimize(frame[24]);
    }
    state.SetBytesProcessed(state.iterations() * total);
    state.SetItemsProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_RingExtract)->Arg(1)->Arg(8)->Arg(4096);

}  // namespace
