#include "io/wlcom.h"

#include <array>
#include <cstdio>

#include <fcntl.h>
#include <termios.h>

namespace {

// Baud rates and their termios codes, matched by index. Nothing outside
// this list is accepted.
constexpr std::array<int, 12> name_arr = {
    230400, 115200, 57600, 38400, 19200, 9600, 4800, 2400, 1800, 1200, 600, 300,
};
constexpr std::array<speed_t, 12> speed_arr = {
    B230400, B115200, B57600, B38400, B19200, B9600, B4800, B2400, B1800, B1200, B600, B300,
};
static_assert(name_arr.size() == speed_arr.size(), "rate tables must pair up");

// The unsupported-value messages go out byte for byte: they end in a
// literal 'n' and carry no line end, so the next log text follows directly.
void complain(const char *text)
{
    std::fputs(text, stderr);
}

}  // namespace

int open_dev(const char *dev, int flags)
{
    // Close-on-exec whatever the caller asked for: a shell command started
    // by the gateway must not keep a radio or modem port open.
    int fd = open(dev, flags | O_CLOEXEC);
    if (fd == -1) {
        std::printf("Can't Open Serial Port:%s\n", dev);
        return -1;
    }
    return fd;
}

int set_speed(int fd, int speed)
{
    termios opt{};
    const bool readable = tcgetattr(fd, &opt) == 0;

    size_t i = 0;
    while (i < name_arr.size() && name_arr[i] != speed)
        i++;
    if (i == name_arr.size())
        return -1;  // unknown rate: nothing flushed, nothing changed

    // Without the current attributes there is nothing safe to change; the
    // one message this operation has covers both directions.
    if (!readable) {
        std::perror("tcsetattr fd1");
        return -1;
    }

    tcflush(fd, TCIOFLUSH);
    cfsetispeed(&opt, speed_arr[i]);
    cfsetospeed(&opt, speed_arr[i]);
    if (tcsetattr(fd, TCSANOW, &opt) != 0) {
        std::perror("tcsetattr fd1");
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return 0;
}

int set_parity(int fd, int databits, int stopbits, int parity)
{
    termios opt{};
    if (tcgetattr(fd, &opt) != 0) {
        std::perror("SetupSerial 1");
        return -1;
    }

    // The checks run in this order and stop at the first bad value, so only
    // one message is ever printed. Everything below works on the local copy.
    opt.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (databits) {
    case 7: opt.c_cflag |= CS7; break;
    case 8: opt.c_cflag |= CS8; break;
    default: complain("Unsupported data sizen"); return -1;
    }

    switch (parity) {
    case 'n':
    case 'N': opt.c_cflag &= ~static_cast<tcflag_t>(PARENB); break;
    case 'o':
    case 'O': opt.c_cflag |= PARENB | PARODD; break;
    case 'e':
    case 'E':
        opt.c_cflag |= PARENB;
        opt.c_cflag &= ~static_cast<tcflag_t>(PARODD);
        break;
    case 's':
    case 'S':  // "space": no parity bit; the stop-bit step below decides CSTOPB
        opt.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB);
        break;
    default: complain("Unsupported parityn"); return -1;
    }

    switch (stopbits) {
    case 1: opt.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
    case 2: opt.c_cflag |= CSTOPB; break;
    default: complain("Unsupported stop bitsn"); return -1;
    }

    tcflush(fd, TCIFLUSH);

    // Raw line: no input checking or translation, no output processing, no
    // canonical mode, echo or signal characters. The speed, CREAD, CLOCAL and
    // flow-control bits of c_cflag stay as they were read.
    opt.c_iflag = 0;
    opt.c_oflag = 0;
    opt.c_lflag = 0;
    opt.c_cc[VTIME] = 150;  // tenths of a second
    opt.c_cc[VMIN] = 0;

    if (tcsetattr(fd, TCSANOW, &opt) != 0) {
        std::perror("SetupSerial 3");
        return -1;
    }
    return 0;
}

int init_ttyS(int fd)
{
    termios opt{};  // built from zero, not from the port's current state
    cfsetispeed(&opt, B9600);
    cfsetospeed(&opt, B9600);
    opt.c_cflag |= CS8 | CREAD | CLOCAL | CRTSCTS;
    opt.c_iflag = IGNPAR;
    tcflush(fd, TCIFLUSH);
    return tcsetattr(fd, TCSANOW, &opt);
}
