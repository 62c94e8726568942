#include "runtime/rebootlimit.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board/board.h"
#include "board/filereplace.h"

namespace {

// The file holds one line: "modem-reboots clock=<n> at=<n>,<n>,...\n", the
// counted clock of the write and the stamps oldest first (none: "at=").
constexpr char kFileName[] = "modem-reboots";
constexpr char kHead[] = "modem-reboots clock=";
constexpr char kStamps[] = " at=";
// Longer than any line this module writes: such a file is not ours.
constexpr size_t kFileMax = 160;
// 10^12 counted seconds are 30,000 years: a larger number is garbage, and
// every sum below stays far from overflow.
constexpr int64_t kSecondsMax = 1000000000000;
constexpr int kDigitsMax = 13;
// While held, the clock is saved this often (counted seconds).
constexpr int64_t kSaveEvery = 900;

enum class load_result { missing, loaded, bad };

bool state_path(char *out, size_t size)
{
    const int n = std::snprintf(out, size, "%s/%s", board.state_dir, kFileName);
    return n > 0 && static_cast<size_t>(n) < size;
}

// Reads a decimal number without sign of at most kDigitsMax digits at *p
// (before end) and moves *p past it.
bool parse_number(const char **p, const char *end, int64_t *out)
{
    int64_t v = 0;
    int digits = 0;
    while (*p < end && **p >= '0' && **p <= '9' && digits < kDigitsMax) {
        v = v * 10 + (**p - '0');
        ++*p;
        ++digits;
    }
    if (digits == 0 || (*p < end && **p >= '0' && **p <= '9') || v > kSecondsMax)
        return false;
    *out = v;
    return true;
}

bool skip(const char **p, const char *end, const char *word)
{
    const size_t n = std::strlen(word);
    if (static_cast<size_t>(end - *p) < n || std::memcmp(*p, word, n) != 0)
        return false;
    *p += n;
    return true;
}

// Takes the line apart by structure: the head, the clock, up to
// REBOOT_LIMIT_COUNT stamps that never decrease and are not past the clock,
// the line end, and nothing after it.
bool parse_state(const char *text, size_t len, int64_t *clock, int64_t *stamps, int *count)
{
    const char *p = text, *end = text + len;
    if (!skip(&p, end, kHead) || !parse_number(&p, end, clock) || !skip(&p, end, kStamps))
        return false;
    *count = 0;
    while (p < end && *p != '\n') {
        if (*count == REBOOT_LIMIT_COUNT || (*count > 0 && !skip(&p, end, ",")))
            return false;
        int64_t t = 0;
        if (!parse_number(&p, end, &t) || t > *clock || (*count > 0 && t < stamps[*count - 1]))
            return false;
        stamps[(*count)++] = t;
    }
    return p + 1 == end && *p == '\n';
}

// Reads the file into `text`; `why` says what went wrong.
load_result read_state(const char *path, char *text, size_t size, size_t *len, const char **why)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        *why = std::strerror(errno);
        return errno == ENOENT ? load_result::missing : load_result::bad;
    }
    *len = 0;
    ssize_t n = 0;
    while (*len < size && (n = read(fd, text + *len, size - *len)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        *len += static_cast<size_t>(n);
    }
    const int read_errno = errno;
    close(fd);
    if (n < 0) {
        *why = std::strerror(read_errno);
        return load_result::bad;
    }
    *why = *len == size ? "too long" : "cut or garbled";
    return load_result::loaded;
}

// Writes the record whole (temporary file and rename). False when it is
// not in place.
bool save(reboot_limit *rl)
{
    char path[4096];
    char text[kFileMax];
    rl->written_at = rl->clock;
    int n = std::snprintf(text, sizeof text, "%s%lld%s", kHead, static_cast<long long>(rl->clock),
                          kStamps);
    for (int i = 0; i < rl->count && n > 0 && static_cast<size_t>(n) < sizeof text; ++i)
        n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%s%lld",
                           i > 0 ? "," : "", static_cast<long long>(rl->stamps[i]));
    if (n <= 0 || static_cast<size_t>(n) + 1 >= sizeof text || !state_path(path, sizeof path))
        return false;
    text[n++] = '\n';
    // The service's state directory exists under systemd; by hand it may not.
    (void)mkdir(board.state_dir, 0755);
    // 2: renamed, only the directory flush failed; a clean reboot keeps it.
    return replace_file(path, text, static_cast<size_t>(n)) != 1;
}

// Reads the file once. Our passes so far go on from the file's clock; a
// file we cannot trust counts as full now and is rewritten.
void load(reboot_limit *rl)
{
    rl->loaded = true;
    char path[4096];
    char text[kFileMax];
    size_t len = 0;
    const char *why = "path too long";
    int64_t clock = 0, stamps[REBOOT_LIMIT_COUNT];
    int count = 0;
    const load_result r = state_path(path, sizeof path)
                              ? read_state(path, text, sizeof text, &len, &why)
                              : load_result::bad;
    if (r == load_result::missing)
        return;
    if (r == load_result::loaded && parse_state(text, len, &clock, stamps, &count)) {
        rl->clock += clock;
        rl->count = count;
        std::memcpy(rl->stamps, stamps, sizeof stamps);
        rl->written_at = rl->clock;
        return;
    }
    printf("modem reboot count %s/%s unreadable (%s): taken as %d in the last hour\n",
           board.state_dir, kFileName, why, REBOOT_LIMIT_COUNT);
    rl->count = REBOOT_LIMIT_COUNT;
    for (int64_t &t : rl->stamps)
        t = rl->clock;
    (void)save(rl);
}

// Drops the stamps a whole window old.
void expire(reboot_limit *rl)
{
    int old = 0;
    while (old < rl->count && rl->stamps[old] + REBOOT_LIMIT_WINDOW <= rl->clock)
        ++old;
    rl->count -= old;
    std::memmove(rl->stamps, rl->stamps + old, sizeof rl->stamps[0] * rl->count);
}

// One console line when the hold changes.
void set_hold(reboot_limit *rl, reboot_hold hold)
{
    if (hold == rl->hold)
        return;
    rl->hold = hold;
    if (hold == REBOOT_HELD_LIMIT)
        printf("modem node missing: reboot held back, %d in the last hour; next in %lld s\n",
               REBOOT_LIMIT_COUNT,
               static_cast<long long>(rl->stamps[0] + REBOOT_LIMIT_WINDOW - rl->clock));
    else if (hold == REBOOT_HELD_UNRECORDED)
        printf("modem node missing: reboot held back, it cannot be recorded in %s\n",
               board.state_dir);
    else
        puts("modem reboot no longer held back");
}

}  // namespace

void reboot_limit_tick(reboot_limit *rl)
{
    rl->clock += REBOOT_LIMIT_PASS_SECONDS;
}

bool reboot_limit_take(reboot_limit *rl)
{
    if (!rl->loaded)
        load(rl);
    expire(rl);
    if (rl->count >= REBOOT_LIMIT_COUNT) {
        if (rl->clock - rl->written_at >= kSaveEvery)
            (void)save(rl);
        set_hold(rl, REBOOT_HELD_LIMIT);
        return false;
    }
    // A directory that refused the record is tried again now and then, not
    // on every pass.
    if (rl->hold == REBOOT_HELD_UNRECORDED && rl->clock - rl->written_at < kSaveEvery)
        return false;
    rl->stamps[rl->count++] = rl->clock;
    if (!save(rl)) {
        --rl->count;
        set_hold(rl, REBOOT_HELD_UNRECORDED);
        return false;
    }
    set_hold(rl, REBOOT_FREE);
    return true;
}

void reboot_limit_release(reboot_limit *rl)
{
    set_hold(rl, REBOOT_FREE);
}
