#include "board/log.h"

#include <cstdio>

void outputlogmessage(const char *label, const uint8_t *data, int len)
{
    // One stdio lock for the whole line; the calls inside take it again
    // recursively. Nothing is allocated.
    flockfile(stdout);
    std::printf("%s", label != nullptr ? label : "");
    for (int i = 0; i < len; ++i)
        std::printf(i + 1 < len ? "%02X-" : "%02X", static_cast<unsigned>(data[i]));
    std::putchar('\n');
    funlockfile(stdout);
}
