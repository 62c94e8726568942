#include "board/serveripconfig.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "board/board.h"
#include "board/filereplace.h"

namespace {

constexpr size_t kReadLimit = 100;
constexpr size_t kMaxSetText = 98;
constexpr size_t kMaxShownText = 21;

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

file_ptr open_config()
{
    file_ptr f(std::fopen(board.config_file, "r+e"));
    if (!f)
        std::puts("can not open the config.txt");
    return f;
}

// The setters rewrite the whole file from memory; a configuration file is a
// few lines, and a larger one is left alone.
constexpr size_t kMaxFileBytes = 32768;
// Room for what a setter writes: a text of at most 98 characters with its
// line feed, then line 2 or a line feed.
constexpr size_t kMaxPut = 2 * kReadLimit;

// Reads the file from its start into `data`, at most `cap` bytes, and stores
// the count in *len. False when the read fails or the file holds more.
bool read_head(FILE *f, char *data, size_t cap, size_t *len)
{
    *len = std::fread(data, 1, cap, f);
    if (std::ferror(f)) {
        perror("read config");
        return false;
    }
    return *len < cap || std::fgetc(f) == EOF;
}

// Takes the next line piece of data[*at, len) into `buf` as a read of
// kReadLimit bytes does: through the line feed, at most 99 characters.
// A missing line leaves empty text. Returns the number of bytes taken.
size_t take_line(const char *data, size_t len, size_t *at, char *buf)
{
    size_t n = 0;
    while (*at < len && n < kReadLimit - 1) {
        const char c = data[(*at)++];
        buf[n++] = c;
        if (c == '\n')
            break;
    }
    buf[n] = '\0';
    return n;
}

// Ends the text at its line feed, and after 21 characters at most.
void cut_shown_text(char *buf)
{
    size_t i = 0;
    while (i < kMaxShownText && buf[i] != '\0' && buf[i] != '\n')
        i++;
    buf[i] = '\0';
}

// Reads line 1 (and line 2 when `second`) into buf, as the readers see it.
int read_positional(char *buf, bool second)
{
    file_ptr f = open_config();
    if (!f)
        return 0;
    char head[2 * (kReadLimit - 1)];
    size_t len = 0, at = 0;
    read_head(f.get(), head, sizeof head, &len);
    if (take_line(head, len, &at, buf) > 0 && second)
        take_line(head, len, &at, buf);
    cut_shown_text(buf);
    return 1;
}

// Adds the bytes of `text`, without its NUL, at put[*len].
void append_text(char *put, size_t *len, const char *text)
{
    const size_t n = std::strlen(text);
    std::copy(text, text + n, put + *len);
    *len += n;
}

// Writes `put` over the file from byte `offset` on (bytes beyond it stay,
// the file grows when needed) through a crash-safe replace, which reports a
// failed step itself. `data` holds the old content, `len` bytes, and has
// room for kMaxPut more.
void overwrite_at(char *data, size_t len, size_t offset, const char *put, size_t put_len)
{
    std::memcpy(data + offset, put, put_len);
    replace_file(board.config_file, data, std::max(len, offset + put_len));
}

}  // namespace

int server_ip_config(char *buf)
{
    return read_positional(buf, false);
}

int server_port_config(char *buf)
{
    return read_positional(buf, true);
}

int server_ip_set(const char *ip)
{
    file_ptr f = open_config();
    if (!f)
        return 0;
    if (std::strlen(ip) > kMaxSetText)
        return 1;
    char data[kMaxFileBytes + kMaxPut];
    size_t len = 0;
    if (!read_head(f.get(), data, kMaxFileBytes, &len)) {
        std::printf("config file %s too large or unreadable, not rewritten\n", board.config_file);
        return 1;
    }

    // Line 2 is kept aside: a longer address overwrites its start.
    char line1[kReadLimit], line2[kReadLimit];
    size_t at = 0;
    const bool have_line2 =
        take_line(data, len, &at, line1) > 0 && take_line(data, len, &at, line2) > 0;
    char put[kMaxPut];
    size_t put_len = 0;
    append_text(put, &put_len, ip);
    append_text(put, &put_len, "\n");
    if (have_line2) {
        append_text(put, &put_len, line2);  // up to a NUL byte in it, as fputs writes it
        if (std::strchr(line2, '\n') == nullptr)
            append_text(put, &put_len, "\n");
    }
    overwrite_at(data, len, 0, put, put_len);
    return 1;
}

int server_port_set(const char *port)
{
    file_ptr f = open_config();
    if (!f)
        return 0;
    if (std::strlen(port) > kMaxSetText)
        return 1;
    char data[kMaxFileBytes + kMaxPut];
    size_t len = 0;
    if (!read_head(f.get(), data, kMaxFileBytes, &len)) {
        std::printf("config file %s too large or unreadable, not rewritten\n", board.config_file);
        return 1;
    }

    char line1[kReadLimit];
    size_t at = 0;
    const size_t taken = take_line(data, len, &at, line1);
    // Line 1 ended the file without a line feed (or the file is empty):
    // end it first, so that the port lands on line 2. A piece cut at 99
    // characters does not count as the end.
    const bool hit_end = taken < kReadLimit - 1 && (taken == 0 || line1[taken - 1] != '\n');
    const bool at_end = hit_end && std::strchr(line1, '\n') == nullptr;
    char put[kMaxPut];
    size_t put_len = 0;
    if (at_end)
        append_text(put, &put_len, "\n");
    append_text(put, &put_len, port);
    append_text(put, &put_len, "\n");
    overwrite_at(data, len, at, put, put_len);
    return 1;
}
