#include "board/log.h"

#include <cstdio>
#include <cstring>

void outputlogmessage(const char *label, const uint8_t *data, int len)
{
    static const char digits[] = "0123456789ABCDEF";
    // "XX-" per byte, built on the stack a slice at a time and handed to
    // stdio whole: one call per slice instead of one formatted print per
    // byte. One stdio lock for the whole line, so lines never tear.
    char text[3 * 256];
    flockfile(stdout);
    if (label != nullptr)
        fwrite_unlocked(label, 1, std::strlen(label), stdout);
    for (int i = 0; i < len;) {
        size_t n = 0;
        for (const int end = len - i > 256 ? i + 256 : len; i < end; ++i) {
            text[n++] = digits[data[i] >> 4];
            text[n++] = digits[data[i] & 0x0F];
            text[n++] = '-';
        }
        // No dash after the last byte.
        fwrite_unlocked(text, 1, i == len ? n - 1 : n, stdout);
    }
    putc_unlocked('\n', stdout);
    funlockfile(stdout);
}
