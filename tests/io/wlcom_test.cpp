#include "io/wlcom.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/capture.h"
#include "support/testutil.h"

// The code under test works on the slave side. Linux's pty driver forces CS8
// and clears PARENB on every change, so parity shows only through PARODD.
static termios attrs(int fd)
{
    termios t{};
    tcgetattr(fd, &t);
    return t;
}

// The attributes a port setting may change: modes, control characters and
// both speeds.
static bool same_attrs(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc) &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

TEST(SerialSetup, TableRatesRawLineFixedInitParityAndStopBits)
{
    testutil::Pty p;  // both ends of the rate table, then one inside
    ASSERT_EQ(set_speed(p.slave, 230400), 0);
    ASSERT_EQ(set_speed(p.slave, 300), 0);
    ASSERT_EQ(set_speed(p.slave, 1800), 0);
    termios t = attrs(p.slave);
    EXPECT_EQ(cfgetispeed(&t), speed_t(B1800));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B1800));
    EXPECT_EQ(set_speed(p.slave, 460800), -1);
    EXPECT_EQ(set_speed(p.slave, 110), -1);
    EXPECT_TRUE(same_attrs(t, attrs(p.slave)));  // untouched

    ASSERT_EQ(set_speed(p.slave, 115200), 0);
    ASSERT_EQ(set_parity(p.slave, 8, 1, 'N'), 0);
    t = attrs(p.slave);
    EXPECT_EQ(cfgetispeed(&t), speed_t(B115200));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    EXPECT_EQ(t.c_iflag | t.c_oflag | t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 150);

    ASSERT_EQ(init_ttyS(p.slave), 0);  // built from zero: every control character goes to 0
    t = attrs(p.slave);
    EXPECT_EQ(t.c_cflag, tcflag_t(B9600 | CS8 | CREAD | CLOCAL | CRTSCTS));
    EXPECT_EQ(t.c_iflag, tcflag_t(IGNPAR));
    EXPECT_EQ(t.c_oflag | t.c_lflag, 0u);
    EXPECT_EQ(std::string(t.c_cc, t.c_cc + NCCS), std::string(NCCS, '\0'));

    // Parity letters in either case, space parity, stop bits.
    auto cflag_after = [](int stop, int parity) {
        testutil::Pty q;
        EXPECT_EQ(set_parity(q.slave, 8, 2, 'O'), 0);  // start with PARODD and CSTOPB set
        EXPECT_EQ(set_parity(q.slave, 8, stop, parity), 0) << char(parity);
        return attrs(q.slave).c_cflag & (PARODD | CSTOPB);
    };
    for (const unsigned char letter : {'N', 'n', 'S', 's'}) {
        EXPECT_EQ(cflag_after(1, letter), tcflag_t(PARODD)) << char(letter);
        EXPECT_EQ(cflag_after(2, letter), tcflag_t(PARODD | CSTOPB)) << char(letter);
    }
    EXPECT_EQ(cflag_after(1, 'E'), 0u);
}

TEST(SerialSetupFailures, OneMessageAndThePortUntouched)
{
    testutil::Pty p;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const struct {
        int fd, bits, stop, parity;
        std::string text;
    } cases[] = {{p.slave, 9, 3, 'X', "Unsupported data sizen"},
                 {p.slave, 8, 3, 'Q', "Unsupported parityn"},
                 {p.slave, 7, 0, 'e', "Unsupported stop bitsn"},
                 {fds[0], 8, 1, 'N', std::string("SetupSerial 1: ") + strerror(ENOTTY) + "\n"}};
    const termios before = attrs(p.slave);
    for (const auto &c : cases) {
        testutil::Capture err(stderr);
        EXPECT_EQ(set_parity(c.fd, c.bits, c.stop, c.parity), -1);
        EXPECT_EQ(err.end(), c.text);
    }
    EXPECT_TRUE(same_attrs(before, attrs(p.slave)));
    close(fds[0]), close(fds[1]);
}
