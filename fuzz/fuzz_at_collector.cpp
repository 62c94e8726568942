// The modem answer collector under arbitrary bytes and buffer sizes.
//
// The first input byte picks the room in the buffer (0 to 255 bytes, in an
// exact-size allocation), the rest goes into a pipe whose write end is then
// closed, standing in for a modem that answered in one burst and went
// quiet. Whatever final result codes the bytes hold, none may end the
// answer while more bytes are there: only the hard limit may cut it. The
// clock runs ten thousand times fast: the quiet-port waits cost
// microseconds, the hard limit a millisecond.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "board/timebase.h"
#include "modem/message.h"

#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    time_set_speedup(10000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 60000)
        return 0;  // a pipe holds 64 KiB: everything must fit before reading
    const size_t room = data[0];
    const uint8_t *answer = data + 1;
    const size_t n = size - 1;

    int p[2];
    if (pipe(p) != 0)
        abort();
    if (n > 0 && write(p[1], answer, n) != static_cast<ssize_t>(n))
        abort();
    close(p[1]);

    std::vector<char> buf(room);
    const at_answer a = at_exchange(p[0], nullptr, buf.data(), room, 1, false);
    // The answer is collected from the buffer's start, the excess dropped.
    check(a.len <= room && (a.len == 0 || memcmp(buf.data(), answer, a.len) == 0));
    // Everything was read, kept or not, unless the limit cut it: nothing
    // leaks into a next exchange.
    char rest;
    check(a.end == AT_LIMIT || (a.len == (n < room ? n : room) && read(p[0], &rest, 1) == 0));
    close(p[0]);
    return 0;
}
