#include "board/gpio.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "board/board.h"

namespace {

// Paths are built on the stack (the keyed transmit path calls in here and
// allocates nothing). A path that does not fit is treated like a control
// file that cannot be opened.
using gpio_path_buf = char[PATH_MAX];

bool path_fits(int written)
{
    return written >= 0 && written < PATH_MAX;
}

// Formats the text into a stack buffer and hands it to the control file in
// one write(2), which is where sysfs runs the attribute's handler and gives
// its verdict (EINVAL, EBUSY, ...). No stdio stream: a FILE would put a heap
// allocation on every key window. True when the open, the whole write and the
// close all succeeded; the descriptor is closed on every path.
__attribute__((format(printf, 2, 3))) bool write_control_file(const char *path, const char *fmt,
                                                              ...)
{
    char text[32];
    std::va_list ap;
    va_start(ap, fmt);
    const int len = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (len < 0 || static_cast<size_t>(len) >= sizeof text)
        return false;

    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    ssize_t n;
    do
        n = write(fd, text, static_cast<size_t>(len));
    while (n < 0 && errno == EINTR);
    const bool ok = n == len;
    return close(fd) == 0 && ok;
}

}  // namespace

void gpio_export(int gpio)
{
    gpio_path_buf path;
    if (path_fits(std::snprintf(path, sizeof path, "%s/export", board.gpio_root)))
        (void)write_control_file(path, "%d\n", gpio);  // EBUSY when already exported
}

void gpio_unexport(int gpio)
{
    gpio_path_buf path;
    if (path_fits(std::snprintf(path, sizeof path, "%s/unexport", board.gpio_root)))
        (void)write_control_file(path, "%d\n", gpio);
}

int set_gpio_output(int gpio, int level)
{
    gpio_path_buf path;

    // The direction is set on every call. The kernel takes "out" as output
    // driven low, so raising a line passes briefly through low; lowering
    // does not.
    if (!path_fits(
            std::snprintf(path, sizeof path, "%s/gpio%d/direction", board.gpio_root, gpio)) ||
        !write_control_file(path, "%s", "out"))
        return -2;

    if (!path_fits(std::snprintf(path, sizeof path, "%s/gpio%d/value", board.gpio_root, gpio)) ||
        !write_control_file(path, "%d\n", level))
        return -3;
    return 0;
}
