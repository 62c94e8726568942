// A ring buffer of fixed-size elements with free-running counters, and the
// extraction of whole frames from a ring of bytes.
//
// Invariants of a usable ring (mask != 0):
//   - the capacity, mask + 1, is a power of two and at least 2;
//   - in - out (modulo 2^32) is the number of queued elements, <= capacity;
//   - the element with running number k lives at storage element k & mask.
// Both counters wrap at 2^32; the capacity divides 2^32, so wrapping changes
// nothing. A put never fails: when the ring is full the oldest elements are
// discarded to make room.
//
// Not thread-safe: a ring belongs to the one thread that puts and takes.
#pragma once

#include <cstdint>

// A possible frame start remembered by __frame_filter between calls: the
// running position of its 0xA3, and the position `in` must reach before it
// can be judged: pos + 4 while its length field is not yet queued, then
// pos + L + 6. due == pos marks a whole frame found valid (one found invalid
// is forgotten at once).
struct frame_cand {
    uint32_t pos;
    uint32_t due;
};

// How many candidates __frame_filter remembers (a power of two). Past this it
// keeps those due soonest and only a bound on the others' dues; when `in`
// reaches that bound it walks the queued bytes once to choose again.
constexpr uint32_t FRAME_CANDS = 512;

struct kfifo {
    uint32_t in;     // elements ever put
    uint32_t out;    // elements ever taken or discarded
    uint32_t mask;   // capacity - 1; 0 while the ring is not usable
    uint32_t esize;  // bytes per element
    uint8_t *data;   // capacity * esize bytes

    // Frame extraction state, only used by __frame_filter. Queued bytes never
    // change, so what was judged stays judged while its bytes stay queued.
    // Meaningful while fready is set; __kfifo_init and __kfifo_alloc clear it.
    // Every 0xA3 queued before fscan is either in fcand, or judged invalid
    // (its due is at or before fjudged), or "untracked": not yet whole, with
    // its due at or after fthresh (only while funtracked is set).
    uint32_t fready;                // 0: rebuild the state on the next call
    uint32_t fscan;                 // bytes before it were looked at for 0xA3
    uint32_t fjudged;               // every candidate due by here was judged
    uint32_t fhead;                 // index in fcand of the first entry
    uint32_t fcount;                // entries in fcand, by position
    uint32_t fvalid;                // of them, whole valid frames
    uint32_t fmin;                  // no undecided entry is due before it
    uint32_t funtracked;            // untracked candidates may be queued
    uint32_t fthresh;               // none of them is due before it
    frame_cand fcand[FRAME_CANDS];  // a ring of the valid and undecided ones
};

// The smaller of a and b (a when they are equal).
inline uint32_t min(uint32_t a, uint32_t b)
{
    return b < a ? b : a;
}

// The smallest power of two not below n, from 2^0 up to 2^31: 1 for n <= 1,
// 2^31 for any n above 2^31. It rounds UP despite its name: 5 gives 8.
uint32_t rounddown_pow_of_two(uint32_t n);

// Free elements.
inline uint32_t kfifo_unused(const kfifo *fifo)
{
    return (fifo->mask + 1) - (fifo->in - fifo->out);
}

// Makes a ring over caller-owned storage of `size` bytes. The capacity is
// size / esize rounded up to a power of two, so the storage must hold
// capacity * esize bytes. Returns 0, or -22 (mask = 0) when the capacity
// would be 1 or less or esize is 0.
int __kfifo_init(kfifo *fifo, void *buffer, uint32_t size, uint32_t esize);

// Makes a ring owning malloc'ed storage for `size` elements, rounded up to a
// power of two. Returns 0, -22 as for __kfifo_init (data = null), or -12 when
// the storage cannot be had (mask = 0, data = null).
int __kfifo_alloc(kfifo *fifo, uint32_t size, uint32_t esize);

// Frees the storage of a ring made by __kfifo_alloc and makes it unusable.
void __kfifo_free(kfifo *fifo);

// Copy len elements between `src`/`dst` and the storage from running
// position off on, continuing at the storage start past its end. Counters
// are untouched. len must not exceed the capacity.
void kfifo_copy_in(kfifo *fifo, const void *src, uint32_t len, uint32_t off);
void kfifo_copy_out(const kfifo *fifo, void *dst, uint32_t len, uint32_t off);

// Puts len elements and returns len. When they do not fit, the oldest queued
// elements are discarded first; a put longer than the capacity keeps only its
// last `capacity` elements (in still advances by len). An unusable ring
// accepts nothing and returns 0.
int __kfifo_in(kfifo *fifo, const void *buf, uint32_t len);

// Copies up to len of the oldest elements; returns how many. Peek leaves the
// ring as it is, out also takes them.
int __kfifo_out_peek(const kfifo *fifo, void *buf, uint32_t len);
int __kfifo_out(kfifo *fifo, void *buf, uint32_t len);

// Frame extraction, for rings of bytes (esize 1).
//
// A frame is A3 20 Lh Ll, L bytes, then the CRC-16 of its first L + 4 bytes
// high byte first: L + 6 bytes in all. Only the start byte 0xA3 is looked for.

// Tests the candidate at running position pos, with avail bytes queued from
// pos on. Returns L + 6 when a whole frame with a valid CRC starts there,
// else 0. Never reads past the queued bytes; changes nothing.
int __frame_check(const kfifo *fifo, uint32_t avail, uint32_t pos);

// Looks for the first whole valid frame in ring order. Found: out is moved to
// its first byte (dropping everything before it) and L + 6 is returned, so
// that __kfifo_out of that many bytes takes exactly the frame. Not found:
// the bytes before the first 0xA3 are dropped and 0 is returned; the
// candidates from there on stay queued for the next call. Of the ring only
// out moves.
//
// The result is that of rescanning every queued byte and checking every
// whole candidate on each call, but each candidate's CRC is computed once and
// each byte is looked at a bounded number of times: the state in the ring
// remembers the scan position and the candidates still waiting for their last
// byte. Moving out (taking, or a put into a full ring) is noticed on the next
// call; other changes to in, out or the bytes need __kfifo_init first.
int __frame_filter(kfifo *fifo);
