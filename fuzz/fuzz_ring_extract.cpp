// Byte ring frame extraction under arbitrary input.
//
// The input is cut into puts of varying size into a 256-byte ring; after each
// put every whole frame is taken out with __frame_filter / __kfifo_out. Each
// extracted frame is checked against an independent reading of the frame
// format, and the ring's counters against its invariants.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/crc16.h"
#include "protocol/kfifo.h"

#include "fuzz_common.h"

namespace {

constexpr uint32_t RING = 256;

// The frame starting at f[0] with n bytes available: true when it is whole
// and its CRC (first L + 4 bytes, high byte first) holds.
bool frame_valid(const uint8_t *f, uint32_t n)
{
    // Only the first start byte is looked for: the ring extraction does not
    // test the second one (0x20), so neither does this check.
    if (n < 6 || f[0] != 0xA3)
        return false;
    const uint32_t L = (uint32_t(f[2]) << 8) | f[3];
    if (n != L + 6)
        return false;
    const uint16_t c = crc16(f, L + 4);
    return f[L + 4] == uint8_t(c) && f[L + 5] == uint8_t(c >> 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static uint8_t storage[RING];
    static uint8_t frame[RING];
    kfifo ring{};
    check(__kfifo_init(&ring, storage, RING, 1) == 0 && ring.mask + 1 == RING);

    // Start near the 2^32 wrap of the counters now and then.
    if (size > 0 && (data[0] & 1)) {
        ring.in = ring.out = 0xFFFFFF00u;
    }

    size_t pos = 0;
    while (pos < size) {
        // Each put: one length byte, then up to that many bytes (0..300, so
        // puts longer than the ring happen too).
        const uint32_t want = uint32_t(data[pos++]) * 300u / 255u;
        const uint32_t n = static_cast<uint32_t>(want < size - pos ? want : size - pos);
        check(__kfifo_in(&ring, data + pos, n) == static_cast<int>(n));
        pos += n;
        check(ring.in - ring.out <= RING);

        for (;;) {
            const uint32_t before = ring.in - ring.out;
            const int r = __frame_filter(&ring);
            const uint32_t queued = ring.in - ring.out;
            check(queued <= before && queued <= RING);
            if (r == 0) {
                // Nothing whole: what stays starts at a candidate start byte.
                if (queued > 0) {
                    uint8_t first = 0;
                    check(__kfifo_out_peek(&ring, &first, 1) == 1 && first == 0xA3);
                }
                break;
            }
            check(r >= 6 && static_cast<uint32_t>(r) <= queued);
            check(__kfifo_out(&ring, frame, static_cast<uint32_t>(r)) == r);
            check(frame_valid(frame, static_cast<uint32_t>(r)));
            check(ring.in - ring.out == queued - static_cast<uint32_t>(r));
        }
    }
    return 0;
}
