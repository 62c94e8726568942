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
    fifo->fready = 0;

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
    fifo->fready = 0;

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
            return from +
                   static_cast<uint32_t>(static_cast<const uint8_t *>(hit) - (fifo->data + off));
        from += l;
    }
    return avail;
}

}  // namespace

int __frame_check(const kfifo *fifo, uint32_t avail, uint32_t pos)
{
    if (avail < FRAME_HEADER)
        return 0;

    const uint32_t L =
        (static_cast<uint32_t>(kfifo_byte(fifo, pos + 2)) << 8) | kfifo_byte(fifo, pos + 3);
    // L < 2^16, so L + 6 cannot wrap.
    if (L + FRAME_OVERHEAD > avail)
        return 0;

    const uint16_t crc = fifocrc16(fifo, L + FRAME_HEADER, pos);
    if (kfifo_byte(fifo, pos + L + 4) != (crc & 0xFF) ||
        kfifo_byte(fifo, pos + L + 5) != (crc >> 8))
        return 0;
    return static_cast<int>(L + FRAME_OVERHEAD);
}

// The extraction state works in offsets from out: a remembered position p
// is still queued while p - out <= avail (unsigned); positions behind out
// (taken, or overwritten by a put into a full ring) give huge offsets.
namespace {

constexpr uint32_t CAND_VALID = 0;  // due - pos of a valid whole frame
constexpr uint32_t CAND_DEAD = 1;   // due - pos of a whole frame with a bad CRC

// Length field of the candidate at pos; its header must be queued.
inline uint32_t frame_len(const kfifo *fifo, uint32_t pos)
{
    return (static_cast<uint32_t>(kfifo_byte(fifo, pos + 2)) << 8) | kfifo_byte(fifo, pos + 3);
}

// The i-th remembered candidate, oldest first.
inline frame_cand &cand(kfifo *fifo, uint32_t i)
{
    return fifo->fcand[(fifo->fhead + i) & (FRAME_CANDS - 1)];
}

// Drops the candidates found invalid, keeping the order, and sets fdue to
// the smallest due left (out when none is left).
void frame_compact(kfifo *fifo)
{
    uint32_t w = 0;

    fifo->fdue = fifo->out;
    for (uint32_t r = 0; r < fifo->fcount; r++) {
        const frame_cand c = cand(fifo, r);
        if (c.due - c.pos == CAND_DEAD)
            continue;
        if (w == 0 || c.due - fifo->out < fifo->fdue - fifo->out)
            fifo->fdue = c.due;
        cand(fifo, w++) = c;
    }
    fifo->fcount = w;
}

// Remembers the 0xA3 bytes from fscan on, stopping at one that finds the
// table full even after compaction.
void frame_scan_new(kfifo *fifo, uint32_t avail)
{
    uint32_t i = kfifo_find(fifo, FRAME_START, fifo->fscan - fifo->out, avail);

    for (; i < avail; i = kfifo_find(fifo, FRAME_START, i + 1, avail)) {
        if (fifo->fcount == FRAME_CANDS)
            frame_compact(fifo);
        if (fifo->fcount == FRAME_CANDS) {
            fifo->fscan = fifo->out + i;
            return;
        }
        const uint32_t pos = fifo->out + i;
        if (!fifo->fcount || i + FRAME_HEADER < fifo->fdue - fifo->out)
            fifo->fdue = pos + FRAME_HEADER;
        cand(fifo, fifo->fcount++) = frame_cand{pos, pos + FRAME_HEADER};
    }
    fifo->fscan = fifo->in;
}

// Judges, oldest first, the candidates whose due has come, each once: a
// queued length field moves its due to its last byte, a whole one is marked
// valid or dead. Stops at the first valid one and returns its index (and it
// bounds fdue, being the smallest due left); else compacts and returns fcount.
uint32_t frame_judge_due(kfifo *fifo, uint32_t avail)
{
    const uint32_t out = fifo->out;

    for (uint32_t i = 0; i < fifo->fcount; i++) {
        frame_cand &c = cand(fifo, i);

        if (c.due - c.pos == FRAME_HEADER && c.due - out <= avail)
            c.due = c.pos + frame_len(fifo, c.pos) + FRAME_OVERHEAD;
        if (c.due - c.pos > CAND_DEAD && c.due - out <= avail)
            c.due = c.pos +
                    (__frame_check(fifo, avail - (c.pos - out), c.pos) ? CAND_VALID : CAND_DEAD);
        if (c.due == c.pos) {
            fifo->fdue = c.pos;
            return i;
        }
    }
    frame_compact(fifo);
    return fifo->fcount;
}

}  // namespace

int __frame_filter(kfifo *fifo)
{
    const uint32_t avail = fifo->in - fifo->out;

    // Rebuild from out when new, or when out passed everything scanned.
    if (!fifo->fready || fifo->fscan - fifo->out > avail) {
        fifo->fready = 1;
        fifo->fscan = fifo->out;
        fifo->fhead = 0;
        fifo->fcount = 0;
    }
    // Forget what out passed; fdue = out then asks for a judging round.
    if (fifo->fcount && cand(fifo, 0).pos - fifo->out > avail) {
        do {
            fifo->fhead = (fifo->fhead + 1) & (FRAME_CANDS - 1);
            fifo->fcount--;
        } while (fifo->fcount && cand(fifo, 0).pos - fifo->out > avail);
        fifo->fdue = fifo->out;
    }

    frame_scan_new(fifo, avail);
    if (fifo->fcount && fifo->fdue - fifo->out <= avail) {
        const uint32_t k = frame_judge_due(fifo, avail);
        if (k < fifo->fcount) {
            fifo->out = cand(fifo, k).pos;
            return static_cast<int>(frame_len(fifo, fifo->out) + FRAME_OVERHEAD);
        }
    }

    // Past a full table: check those candidates the plain way, every call.
    for (uint32_t i = fifo->fscan - fifo->out; i < avail;
         i = kfifo_find(fifo, FRAME_START, i + 1, avail)) {
        const int r = __frame_check(fifo, avail - i, fifo->out + i);
        if (r) {
            fifo->out += i;
            return r;
        }
    }

    // Nothing whole and valid: drop only what precedes the first candidate.
    // Everything passed here leaves the ring, so each byte is passed once.
    fifo->out += kfifo_find(fifo, FRAME_START, 0, avail);
    return 0;
}
