// Ring buffer over power-of-two storage, and frame extraction from it.
#include "protocol/kfifo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "protocol/crc16.h"

uint32_t rounddown_pow_of_two(uint32_t n)
{
    uint32_t p = 1;

    while (p < n && p < 0x80000000u)
        p <<= 1;
    return p;
}

int __kfifo_init(kfifo *fifo, void *buffer, uint32_t size, uint32_t esize)
{
    fifo->in = 0;
    fifo->out = 0;
    fifo->esize = esize;
    fifo->data = static_cast<uint8_t *>(buffer);

    const uint32_t n = esize ? rounddown_pow_of_two(size / esize) : 0;
    if (n < 2) {
        fifo->mask = 0;
        return -EINVAL;
    }
    fifo->mask = n - 1;
    return 0;
}

int __kfifo_alloc(kfifo *fifo, uint32_t size, uint32_t esize)
{
    fifo->in = 0;
    fifo->out = 0;
    fifo->esize = esize;
    fifo->mask = 0;
    fifo->data = nullptr;

    const uint32_t n = rounddown_pow_of_two(size);
    if (n < 2 || esize == 0)
        return -EINVAL;

    // n * esize may pass 32 bits; it must also fit this machine's size_t.
    const uint64_t bytes = static_cast<uint64_t>(n) * esize;
    if (bytes > SIZE_MAX)
        return -ENOMEM;
    fifo->data = static_cast<uint8_t *>(malloc(static_cast<size_t>(bytes)));
    if (!fifo->data)
        return -ENOMEM;
    fifo->mask = n - 1;
    return 0;
}

void __kfifo_free(kfifo *fifo)
{
    free(fifo->data);
    fifo->in = 0;
    fifo->out = 0;
    fifo->esize = 0;
    fifo->mask = 0;
    fifo->data = nullptr;
}

// Work in bytes from here on: at most two block copies, the second one
// continuing at the start of the storage.
void kfifo_copy_in(kfifo *fifo, const void *src, uint32_t len, uint32_t off)
{
    const size_t esize = fifo->esize;
    const size_t size = (static_cast<size_t>(fifo->mask) + 1) * esize;
    const size_t boff = (off & fifo->mask) * esize;
    const size_t blen = len * esize;
    const size_t l = blen < size - boff ? blen : size - boff;

    if (!blen)
        return;
    memcpy(fifo->data + boff, src, l);
    memcpy(fifo->data, static_cast<const uint8_t *>(src) + l, blen - l);
}

void kfifo_copy_out(const kfifo *fifo, void *dst, uint32_t len, uint32_t off)
{
    const size_t esize = fifo->esize;
    const size_t size = (static_cast<size_t>(fifo->mask) + 1) * esize;
    const size_t boff = (off & fifo->mask) * esize;
    const size_t blen = len * esize;
    const size_t l = blen < size - boff ? blen : size - boff;

    if (!blen)
        return;
    memcpy(dst, fifo->data + boff, l);
    memcpy(static_cast<uint8_t *>(dst) + l, fifo->data, blen - l);
}

int __kfifo_in(kfifo *fifo, const void *buf, uint32_t len)
{
    const uint32_t size = fifo->mask + 1;
    const uint8_t *src = static_cast<const uint8_t *>(buf);
    uint32_t l = len;

    if (!fifo->mask)
        return 0;

    // Longer than the whole ring: what was queued and the head of this put
    // would all be overwritten, so only the newest `size` elements are kept.
    if (l > size) {
        src += static_cast<size_t>(l - size) * fifo->esize;
        fifo->in += l - size;
        fifo->out = fifo->in;
        l = size;
    }

    // Make room by discarding the oldest elements; afterwards in - out
    // stays <= size.
    const uint32_t unused = kfifo_unused(fifo);
    if (l > unused)
        fifo->out += l - unused;

    kfifo_copy_in(fifo, src, l, fifo->in);
    fifo->in += l;
    return static_cast<int>(len);
}

int __kfifo_out_peek(const kfifo *fifo, void *buf, uint32_t len)
{
    const uint32_t queued = fifo->in - fifo->out;

    if (len > queued)
        len = queued;
    kfifo_copy_out(fifo, buf, len, fifo->out);
    return static_cast<int>(len);
}

int __kfifo_out(kfifo *fifo, void *buf, uint32_t len)
{
    len = static_cast<uint32_t>(__kfifo_out_peek(fifo, buf, len));
    fifo->out += len;
    return static_cast<int>(len);
}

// ---------------------------------------------------------------------------
// Frame extraction. These read bytes directly at (position & mask): the
// rings are byte rings, and a run never goes past the queued bytes.

namespace {

constexpr uint8_t FRAME_START = 0xA3;
constexpr uint32_t FRAME_HEADER = 4;    // A3 20 Lh Ll
constexpr uint32_t FRAME_OVERHEAD = 6;  // header + two CRC bytes

inline uint8_t kfifo_byte(const kfifo *fifo, uint32_t pos)
{
    return fifo->data[pos & fifo->mask];
}

// Offset (from out) of the first byte c at offsets from..avail-1, or avail
// when there is none. At most two memchr runs over the storage.
uint32_t kfifo_find(const kfifo *fifo, uint8_t c, uint32_t from, uint32_t avail)
{
    while (from < avail) {
        const uint32_t off = (fifo->out + from) & fifo->mask;
        const uint32_t l = min(avail - from, fifo->mask + 1 - off);
        const void *hit = memchr(fifo->data + off, c, l);

        if (hit)
            return from + static_cast<uint32_t>(
                              static_cast<const uint8_t *>(hit) - (fifo->data + off));
        from += l;
    }
    return avail;
}

}  // namespace

int __frame_check(const kfifo *fifo, uint32_t avail, uint32_t pos)
{
    if (avail < FRAME_HEADER)
        return 0;

    const uint32_t L = (static_cast<uint32_t>(kfifo_byte(fifo, pos + 2)) << 8) |
                       kfifo_byte(fifo, pos + 3);
    // L < 2^16, so L + 6 cannot wrap.
    if (L + FRAME_OVERHEAD > avail)
        return 0;

    const uint16_t crc = fifocrc16(fifo, L + FRAME_HEADER, pos);
    if (kfifo_byte(fifo, pos + L + 4) != (crc & 0xFF) ||
        kfifo_byte(fifo, pos + L + 5) != (crc >> 8))
        return 0;
    return static_cast<int>(L + FRAME_OVERHEAD);
}

int __frame_filter(kfifo *fifo)
{
    const uint32_t avail = fifo->in - fifo->out;
    const uint32_t first = kfifo_find(fifo, FRAME_START, 0, avail);

    for (uint32_t i = first; i < avail; i = kfifo_find(fifo, FRAME_START, i + 1, avail)) {
        const int r = __frame_check(fifo, avail - i, fifo->out + i);
        if (r) {
            fifo->out += i;  // drops the bytes and failed candidates before it
            return r;
        }
    }

    // Nothing whole and valid: drop only what precedes the first candidate.
    fifo->out += first;
    return 0;
}
