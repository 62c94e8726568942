#include "board/gpio.h"

#include <climits>
#include <cstdarg>
#include <cstdio>

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

// Opens `path` with mode "w", writes the formatted text once and closes it.
// sysfs only runs the attribute's handler when stdio hands the bytes to
// write(2), i.e. at fflush, so the kernel's verdict (EINVAL, EBUSY, ...) shows
// up there or at fclose, not in fprintf. All three results are checked; the
// handle is closed on every path. True when every step succeeded.
__attribute__((format(printf, 2, 3))) bool write_control_file(const char *path, const char *fmt,
                                                              ...)
{
    std::FILE *fp = std::fopen(path, "w");
    if (fp == nullptr)
        return false;

    std::va_list ap;
    va_start(ap, fmt);
    bool ok = std::vfprintf(fp, fmt, ap) >= 0;
    va_end(ap);
    ok = std::fflush(fp) == 0 && ok;
    ok = std::fclose(fp) == 0 && ok;
    return ok;
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
