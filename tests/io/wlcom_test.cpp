#include "io/wlcom.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// The code under test works on the slave side. Linux's pty driver forces CS8
// and clears PARENB on every change, so parity shows only through PARODD.
struct Pty {
    int m = -1, s = -1;
    Pty() { openpty(&m, &s, nullptr, nullptr, nullptr); }
    ~Pty() { close(s), close(m); }
    termios attrs() const
    {
        termios t{};
        tcgetattr(s, &t);
        return t;
    }  // zeroed padding: memcmp-able
};

}  // namespace

TEST(SerialSetup, TableRatesRawLineFixedInitParityAndStopBits)
{
    Pty p;  // both ends of the rate table, then one inside
    ASSERT_TRUE(set_speed(p.s, 230400) == 0 && set_speed(p.s, 300) == 0 &&
                set_speed(p.s, 1800) == 0);
    termios t = p.attrs(), now;
    EXPECT_TRUE(cfgetispeed(&t) == B1800 && cfgetospeed(&t) == B1800);
    EXPECT_TRUE(set_speed(p.s, 460800) == -1 && set_speed(p.s, 110) == -1);
    EXPECT_EQ(std::memcmp(&t, &(now = p.attrs()), sizeof t), 0);  // untouched

    ASSERT_TRUE(set_speed(p.s, 115200) == 0 && set_parity(p.s, 8, 1, 'N') == 0);
    t = p.attrs();
    EXPECT_TRUE(cfgetispeed(&t) == B115200 && cfgetospeed(&t) == B115200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    EXPECT_EQ(t.c_iflag | t.c_oflag | t.c_lflag, 0u);
    EXPECT_TRUE(t.c_cc[VMIN] == 0 && t.c_cc[VTIME] == 150);

    ASSERT_EQ(init_ttyS(p.s), 0);  // built from zero: every control character goes to 0
    t = p.attrs();
    EXPECT_TRUE(t.c_cflag == (B9600 | CS8 | CREAD | CLOCAL | CRTSCTS) && t.c_iflag == IGNPAR &&
                !(t.c_oflag | t.c_lflag));
    EXPECT_EQ(std::string(t.c_cc, t.c_cc + NCCS), std::string(NCCS, '\0'));

    // Parity letters in either case, space parity, stop bits.
    auto cflag_after = [](int stop, int parity) {
        Pty q;
        EXPECT_EQ(set_parity(q.s, 8, 2, 'O'), 0);  // start with PARODD and CSTOPB set
        EXPECT_EQ(set_parity(q.s, 8, stop, parity), 0) << char(parity);
        return q.attrs().c_cflag & (PARODD | CSTOPB);
    };
    for (int letter : {'N', 'n', 'S', 's'})
        EXPECT_TRUE(cflag_after(1, letter) == PARODD && cflag_after(2, letter) == (PARODD | CSTOPB))
            << char(letter);
    EXPECT_EQ(cflag_after(1, 'E'), 0u);
}

TEST(SerialSetupFailures, OneMessageAndThePortUntouched)
{
    Pty p;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const struct {
        int fd, bits, stop, parity;
        std::string text;
    } cases[] = {{p.s, 9, 3, 'X', "Unsupported data sizen"},
                 {p.s, 8, 3, 'Q', "Unsupported parityn"},
                 {p.s, 7, 0, 'e', "Unsupported stop bitsn"},
                 {fds[0], 8, 1, 'N', std::string("SetupSerial 1: ") + strerror(ENOTTY) + "\n"}};
    termios before = p.attrs(), now;
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(set_parity(c.fd, c.bits, c.stop, c.parity), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.text);
    }
    EXPECT_EQ(std::memcmp(&before, &(now = p.attrs()), sizeof now), 0);
    close(fds[0]), close(fds[1]);
}
