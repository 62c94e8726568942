// Ring buffer over power-of-two storage, and frame extraction from it.
#include "protocol/kfifo.h"

#include <algorithm>
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

inline uint8_t kfifo_byte(const kfifo *fifo, uint32_t pos)
{
    return fifo->data[pos & fifo->mask];
}

// Length field L of the candidate at pos; its header must be queued.
inline uint32_t frame_len(const kfifo *fifo, uint32_t pos)
{
    return (static_cast<uint32_t>(kfifo_byte(fifo, pos + FRAME_LEN_AT)) << 8) |
           kfifo_byte(fifo, pos + FRAME_LEN_AT + 1);
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

    const uint32_t L = frame_len(fifo, pos);
    // L < 2^16, so L + 6 cannot wrap.
    if (L + FRAME_OVERHEAD > avail)
        return 0;

    const uint16_t crc = fifocrc16(fifo, L + FRAME_HEADER, pos);
    if (kfifo_byte(fifo, pos + L + FRAME_HEADER) != (crc & 0xFF) ||
        kfifo_byte(fifo, pos + L + FRAME_HEADER + 1) != (crc >> 8))
        return 0;
    return static_cast<int>(L + FRAME_OVERHEAD);
}

// The extraction state works in offsets from out: a remembered position p
// is still queued while p - out <= avail (unsigned); positions behind out
// (taken, or overwritten by a put into a full ring) give huge offsets. A due
// lies at most DUE_REACH past its candidate, so its offset stays small while
// the candidate is queued.
namespace {

constexpr uint32_t DUE_REACH = 0xFFFF + FRAME_OVERHEAD;

// The due of the candidate at offset i: its last byte once the length field
// is queued, else the end of its header.
inline uint32_t frame_due(const kfifo *fifo, uint32_t i, uint32_t avail)
{
    const uint32_t pos = fifo->out + i;

    return i + FRAME_HEADER <= avail ? pos + frame_len(fifo, pos) + FRAME_OVERHEAD
                                     : pos + FRAME_HEADER;
}

inline bool is_valid(const frame_cand &c)
{
    return c.due == c.pos;
}

// The i-th remembered candidate, by position.
inline frame_cand &cand(kfifo *fifo, uint32_t i)
{
    return fifo->fcand[(fifo->fhead + i) & (FRAME_CANDS - 1)];
}

// Offset of x from out, 0 when out has passed it. The bounds kept in the
// state (fmin, fthresh, fjudged) were at or past out when set; each call
// first catches them up with out, so a lagging one never looks ahead.
inline uint32_t ahead(const kfifo *fifo, uint32_t x, uint32_t avail)
{
    return x - fifo->out <= avail + DUE_REACH ? x - fifo->out : 0;
}

inline bool due_sooner(const kfifo *fifo, const frame_cand &a, const frame_cand &b)
{
    return a.due - fifo->out < b.due - fifo->out;
}

void frame_untrack(kfifo *fifo, uint32_t due, uint32_t avail)
{
    if (!fifo->funtracked || due - fifo->out < ahead(fifo, fifo->fthresh, avail))
        fifo->fthresh = due;
    fifo->funtracked = 1;
}

// Remembers a new candidate, the last by position. With the table full, the
// undecided entry due last makes room for it if it is due sooner; the one
// left out is untracked.
void frame_remember(kfifo *fifo, uint32_t i, uint32_t avail)
{
    const frame_cand c{fifo->out + i, frame_due(fifo, i, avail)};

    if (fifo->fcount == FRAME_CANDS) {
        uint32_t last = FRAME_CANDS;
        for (uint32_t k = 0; k < fifo->fcount; k++)
            if (!is_valid(cand(fifo, k)) &&
                (last == FRAME_CANDS || due_sooner(fifo, cand(fifo, last), cand(fifo, k))))
                last = k;
        if (last == FRAME_CANDS || !due_sooner(fifo, c, cand(fifo, last))) {
            frame_untrack(fifo, c.due, avail);
            return;
        }
        frame_untrack(fifo, cand(fifo, last).due, avail);
        for (; last + 1 < fifo->fcount; last++)
            cand(fifo, last) = cand(fifo, last + 1);
        fifo->fcount--;
    }
    if (c.due - fifo->out < ahead(fifo, fifo->fmin, avail))
        fifo->fmin = c.due;
    cand(fifo, fifo->fcount++) = c;
}

// Judges, once, the remembered candidates that have become whole: valid ones
// keep their place with due = pos, invalid ones are forgotten. Sets fmin to
// the smallest due left undecided (as far as a due can lie when none is).
void frame_judge_due(kfifo *fifo, uint32_t avail)
{
    uint32_t next = avail + DUE_REACH, w = 0;

    for (uint32_t r = 0; r < fifo->fcount; r++) {
        frame_cand c = cand(fifo, r);

        if (!is_valid(c)) {
            if (c.due - c.pos == FRAME_HEADER && c.due - fifo->out <= avail)
                c.due = frame_due(fifo, c.pos - fifo->out, avail);
            if (c.due - fifo->out <= avail) {
                if (!__frame_check(fifo, avail - (c.pos - fifo->out), c.pos))
                    continue;
                c.due = c.pos;
                fifo->fvalid++;
            } else if (c.due - fifo->out < next) {
                next = c.due - fifo->out;
            }
        }
        cand(fifo, w++) = c;
    }
    fifo->fcount = w;
    fifo->fmin = fifo->out + next;
}

// An untracked candidate may have become whole: walk every queued 0xA3 once,
// judge those that became whole since the last call, and keep the valid
// entries plus the undecided candidates due soonest (chosen with a max-heap
// on due behind the valid entries); the rest stay untracked. False when more
// whole valid frames are queued than the table holds.
bool frame_rescan(kfifo *fifo, uint32_t avail)
{
    const uint32_t judged = ahead(fifo, fifo->fjudged, avail);
    const auto later = [fifo](const frame_cand &a, const frame_cand &b) {
        return due_sooner(fifo, a, b);
    };
    uint32_t v = 0, n = 0;  // valid entries from fcand[0] on, then n in the heap

    std::rotate(fifo->fcand, fifo->fcand + fifo->fhead, fifo->fcand + FRAME_CANDS);
    fifo->fhead = 0;
    for (uint32_t k = 0; k < fifo->fcount; k++)
        if (is_valid(fifo->fcand[k]))
            fifo->fcand[v++] = fifo->fcand[k];
    fifo->funtracked = 0;

    for (uint32_t i = kfifo_find(fifo, FRAME_START0, 0, avail); i < avail;
         i = kfifo_find(fifo, FRAME_START0, i + 1, avail)) {
        const frame_cand c{fifo->out + i, frame_due(fifo, i, avail)};
        frame_cand *const heap = fifo->fcand + v;

        if (c.due - fifo->out <= judged)
            continue;  // judged before: invalid, or valid and kept above
        if (c.due - fifo->out <= avail) {
            if (!__frame_check(fifo, avail - i, c.pos))
                continue;
            if (v + n == FRAME_CANDS) {
                if (!n)
                    return false;
                std::pop_heap(heap, heap + n, later);
                frame_untrack(fifo, heap[--n].due, avail);
            }
            // The heap moves up one place to make room for the valid entry.
            heap[n] = heap[0];
            heap[0] = frame_cand{c.pos, c.pos};
            std::make_heap(heap + 1, heap + 1 + n, later);
            v++;
        } else if (v + n < FRAME_CANDS) {
            heap[n++] = c;
            std::push_heap(heap, heap + n, later);
        } else if (n && later(c, heap[0])) {
            std::pop_heap(heap, heap + n, later);
            frame_untrack(fifo, heap[n - 1].due, avail);
            heap[n - 1] = c;
            std::push_heap(heap, heap + n, later);
        } else {
            frame_untrack(fifo, c.due, avail);
        }
    }
    fifo->fcount = v + n;
    fifo->fvalid = v;
    std::sort(fifo->fcand, fifo->fcand + fifo->fcount,
              [fifo](const frame_cand &a, const frame_cand &b) {
                  return a.pos - fifo->out < b.pos - fifo->out;
              });
    frame_judge_due(fifo, avail);  // sets fmin; nothing undecided is due
    return true;
}

// The plain rule, for the rare call that finds more whole valid frames
// queued than the table holds: the first valid candidate in ring order.
int frame_filter_plain(kfifo *fifo, uint32_t avail)
{
    uint32_t i = kfifo_find(fifo, FRAME_START0, 0, avail);
    int r = 0;

    while (i < avail && !(r = __frame_check(fifo, avail - i, fifo->out + i)))
        i = kfifo_find(fifo, FRAME_START0, i + 1, avail);
    if (r)
        fifo->out += i;
    else
        fifo->out += kfifo_find(fifo, FRAME_START0, 0, avail);
    return r;
}

}  // namespace

int __frame_filter(kfifo *fifo)
{
    const uint32_t avail = fifo->in - fifo->out;

    // Rebuild when new, or when out passed everything scanned (a put into a
    // full ring): nothing remembered is queued any more.
    if (!fifo->fready || fifo->fscan - fifo->out > avail) {
        fifo->fready = 1;
        fifo->fscan = fifo->out;
        fifo->fjudged = fifo->out;
        fifo->fhead = 0;
        fifo->fcount = 0;
        fifo->fvalid = 0;
        fifo->fmin = fifo->out + avail + DUE_REACH;
        fifo->funtracked = 0;
    }
    // Forget what out passed: a prefix, the entries being by position.
    while (fifo->fcount && cand(fifo, 0).pos - fifo->out > avail) {
        fifo->fvalid -= is_valid(cand(fifo, 0));
        fifo->fhead = (fifo->fhead + 1) & (FRAME_CANDS - 1);
        fifo->fcount--;
    }
    for (uint32_t *x : {&fifo->fmin, &fifo->fthresh, &fifo->fjudged})
        *x = fifo->out + ahead(fifo, *x, avail);

    // New bytes: each is looked at here once.
    for (uint32_t i = kfifo_find(fifo, FRAME_START0, fifo->fscan - fifo->out, avail); i < avail;
         i = kfifo_find(fifo, FRAME_START0, i + 1, avail))
        frame_remember(fifo, i, avail);
    fifo->fscan = fifo->in;

    if (fifo->funtracked && fifo->fthresh - fifo->out <= avail) {
        if (!frame_rescan(fifo, avail)) {
            fifo->fready = 0;  // start afresh on the next call
            return frame_filter_plain(fifo, avail);
        }
    } else if (fifo->fmin - fifo->out <= avail) {
        frame_judge_due(fifo, avail);
    }
    fifo->fjudged = fifo->in;

    // The first whole valid frame: every candidate before it is undecided
    // (not yet whole) or invalid, and so is every untracked one.
    for (uint32_t k = 0; fifo->fvalid && k < fifo->fcount; k++)
        if (is_valid(cand(fifo, k))) {
            fifo->out = cand(fifo, k).pos;
            return static_cast<int>(frame_len(fifo, fifo->out) + FRAME_OVERHEAD);
        }

    // Nothing whole and valid: drop only what precedes the first candidate.
    // Everything passed here leaves the ring, so each byte is passed once.
    fifo->out += kfifo_find(fifo, FRAME_START0, 0, avail);
    return 0;
}
