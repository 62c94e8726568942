#include "board/paraconfig.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include <sys/stat.h>

#include "board/filereplace.h"

namespace {

// The rewrite works on a fixed array; a file with more entries is not
// rewritten at all rather than losing the entries that do not fit.
constexpr int kMaxRewriteEntries = 20;

// A read of at most 1022 characters plus the NUL.
constexpr int kLineLimit = 1023;

constexpr size_t kMaxText = sizeof(config_item::value) - 1;

// Whitespace as the POSIX locale classifies it, independent of the locale
// the process happens to run in: bytes >= 0x80 are never whitespace.
bool is_conf_space(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= '\t' && u <= '\r');
}

// Files are opened "re": close-on-exec, so a shell command started meanwhile
// by another thread does not inherit them.
struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// The rewritten file: every entry came from a line of at most kLineLimit - 1
// characters or was checked to fit one, so each "key=value\n" fits kLineLimit.
constexpr size_t kMaxRewriteBytes = kMaxRewriteEntries * kLineLimit;

// Lays the entries out as "key=value\n" lines in `out`, a buffer of
// kMaxRewriteBytes; returns the length, or 0 when they do not fit.
size_t format_entries(const config_item *items, int num, char *out)
{
    size_t at = 0;
    for (int i = 0; i < num; i++) {
        const size_t key_len = std::strlen(items[i].key);
        const size_t value_len = std::strlen(items[i].value);
        if (key_len + value_len + 2 > kMaxRewriteBytes - at)
            return 0;
        std::memcpy(out + at, items[i].key, key_len);
        at += key_len;
        out[at++] = '=';
        std::memcpy(out + at, items[i].value, value_len);
        at += value_len;
        out[at++] = '\n';
    }
    return at;
}

}  // namespace

char *strtrimr(char *s)
{
    size_t n = std::strlen(s);
    while (n > 0 && is_conf_space(s[n - 1]))
        s[--n] = '\0';
    return s;
}

char *strtriml(char *s)
{
    size_t lead = 0;
    while (is_conf_space(s[lead]))  // the NUL is not whitespace: stops there
        lead++;
    if (lead > 0)
        std::memmove(s, s + lead, std::strlen(s + lead) + 1);
    return s;
}

char *strtrim(char *s)
{
    return strtriml(strtrimr(s));
}

int get_item_from_line(char *line, config_item *item)
{
    strtrim(line);
    if (line[0] == '\0')
        return CONF_LINE_EMPTY;
    if (line[0] == '#')
        return CONF_LINE_COMMENT;
    char *equal = std::strchr(line, '=');
    if (equal == nullptr)
        return CONF_LINE_NO_EQUAL;
    const size_t key_len = static_cast<size_t>(equal - line);
    const size_t value_len = std::strlen(equal + 1);
    if (key_len > kMaxText || value_len > kMaxText)
        return CONF_LINE_TOO_LONG;
    *equal = '\0';
    std::memcpy(item->key, line, key_len + 1);
    std::memcpy(item->value, equal + 1, value_len + 1);
    return CONF_LINE_ENTRY;
}

int file_to_items(const char *file, config_item *items, int capacity, int *num)
{
    file_ptr in(std::fopen(file, "re"));
    if (!in)
        return 1;

    char line[kLineLimit];
    config_item spare;
    int count = 0;
    while (std::fgets(line, sizeof line, in.get()) != nullptr) {
        // Parse straight into the next free slot; once the array is full a
        // further entry only tells that the file does not fit.
        config_item *slot = count < capacity ? &items[count] : &spare;
        if (get_item_from_line(line, slot) != CONF_LINE_ENTRY)
            continue;
        if (count >= capacity)
            return 2;
        count++;
    }
    if (std::ferror(in.get()))
        return 1;
    *num = count;
    return 0;
}

int read_conf_value(const char *key, char *value, size_t value_size, const char *file)
{
    file_ptr in(std::fopen(file, "re"));
    if (!in)
        return 1;

    char line[kLineLimit];
    config_item item;
    while (std::fgets(line, sizeof line, in.get()) != nullptr) {
        if (get_item_from_line(line, &item) != CONF_LINE_ENTRY)
            continue;
        if (std::strcmp(item.key, key) != 0)
            continue;
        // Only the first entry with the key counts, even when refused.
        const size_t len = std::strlen(item.value);
        if (len + 1 > value_size)
            std::printf("config value of %s is too long (%zu characters, at most %zu fit)\n", key,
                        len, value_size > 0 ? value_size - 1 : 0);
        else
            std::memcpy(value, item.value, len + 1);
        break;
    }
    return 0;
}

int write_conf_value(const char *key, const char *value, const char *file)
{
    const size_t value_len = std::strlen(value);
    if (value_len > kMaxText) {
        std::printf("config value of %s is too long (%zu characters, at most %zu fit)\n", key,
                    value_len, kMaxText);
        return 1;
    }
    // A line break in the value would start a line of its own in the file.
    if (std::strpbrk(value, "\r\n") != nullptr) {
        std::printf("config value of %s holds a line break, not written\n", key);
        return 1;
    }

    std::array<config_item, kMaxRewriteEntries> items;
    int num = 0;
    int loaded = file_to_items(file, items.data(), kMaxRewriteEntries, &num);
    if (loaded == 2) {
        std::printf("config file %s holds more than %d entries, not rewritten\n", file,
                    kMaxRewriteEntries);
        return 1;
    }
    if (loaded != 0)
        return 1;
    // Bytes but no entry: the file was not read as it stands, or holds only
    // comments. Rewritten, it would come out empty and the gateway would
    // lose its address at the next start.
    struct stat st;
    if (num == 0 && (stat(file, &st) != 0 || st.st_size != 0)) {
        std::printf("config file %s gave no entry, not rewritten\n", file);
        return 1;
    }

    for (int i = 0; i < num; i++) {
        if (std::strcmp(items[static_cast<size_t>(i)].key, key) == 0) {
            // The line must come back whole at the next read, which takes
            // at most kLineLimit - 1 characters at a time.
            if (std::strlen(key) + 1 + value_len > kLineLimit - 1) {
                std::printf("config value of %s is too long (%zu characters, at most %zu fit)\n",
                            key, value_len, kLineLimit - 2 - std::strlen(key));
                return 1;
            }
            std::memcpy(items[static_cast<size_t>(i)].value, value, value_len + 1);
            break;
        }
    }
    char content[kMaxRewriteBytes];
    const size_t len = format_entries(items.data(), num, content);
    if (len == 0 && num > 0)
        return 1;
    // A failed directory flush leaves the new file in place but perhaps not
    // for good: not reported as success, so the change is not confirmed.
    if (replace_file(file, content, len) != 0)
        return 1;
    // Echo only what is now on disk.
    for (int i = 0; i < num; i++)
        std::printf("%s=%s\n", items[static_cast<size_t>(i)].key,
                    items[static_cast<size_t>(i)].value);
    return 0;
}
