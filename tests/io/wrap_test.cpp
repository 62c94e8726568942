#include "io/wrap.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "board/timebase.h"
#include "support/testutil.h"

// Readline's result and the text it stored, e.g. "3:ab\n".
static std::string line(int fd, size_t maxlen)
{
    char buf[16];
    ssize_t n = Readline(fd, buf, maxlen);
    return std::to_string(n) + ":" + (n >= 0 ? buf : "");
}

TEST(WrapReadline, LinesEndsOfStreamAndTheSharedReadAhead)
{
    int a[2], b[2];
    ASSERT_EQ(pipe(a), 0);
    ASSERT_EQ(pipe(b), 0);
    ASSERT_EQ(write(a[1], "ab\ncd", 5), 5);
    ASSERT_EQ(write(b[1], "xyzw", 4), 4);
    close(a[1]), close(b[1]);
    EXPECT_EQ(line(a[0], 10), "3:ab\n");
    EXPECT_EQ(line(b[0], 3), "2:cd");  // the read-ahead from a is shared
    EXPECT_EQ(line(b[0], 1), "0:");    // reads nothing
    EXPECT_EQ(line(b[0], 4), "3:xyz");
    EXPECT_EQ(line(b[0], 10), "1:w");  // end of stream after a byte
    EXPECT_EQ(line(b[0], 10), "0:");   // ... and before any: the read-ahead is empty again
    EXPECT_EQ(line(-1, 10), "-1:");
    close(a[0]), close(b[0]);
}

TEST(WrapStream, ReadnToEndOfStreamAndWriteToAClosedPeerWithoutSigpipe)
{
    static volatile sig_atomic_t sigpipes = 0;
    auto old = signal(SIGPIPE, [](int) { sigpipes = sigpipes + 1; });
    int sv[2];
    char buf[10];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(Writen(sv[0], "ab", 2), 2);
    EXPECT_EQ(Write(sv[0], "cd", 2), 2);
    shutdown(sv[0], SHUT_WR);
    EXPECT_EQ(Readn(sv[1], buf, 10), 4);
    close(sv[1]);
    EXPECT_EQ(Write(sv[0], "hb", 2), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(Writen(sv[0], "hb", 2), -1);
    EXPECT_EQ(sigpipes, 0);
    signal(SIGPIPE, old);
    close(sv[0]);
}

TEST(WrapSockets, FatalFailuresExitWithStatusOneAndConnectRetriesUntilAListenerAppears)
{
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    auto *sa = reinterpret_cast<sockaddr *>(&addr);
    socklen_t len = sizeof addr;
    int lfd = Socket(AF_INET, SOCK_STREAM, 0), fd = Socket(AF_INET, SOCK_STREAM, 0);
    Bind(lfd, sa, len);
    getsockname(lfd, sa, &len);  // a port of our own, nobody listening yet

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Bind(fd, sa, len), testing::ExitedWithCode(1), "^bind error: ");
    EXPECT_EXIT(Socket(-1, SOCK_STREAM, 0), testing::ExitedWithCode(1), "^socket error: ");
    EXPECT_EXIT(Listen(-1, 4), testing::ExitedWithCode(1), "^listen error: ");
    EXPECT_EXIT(Accept(-1, nullptr, nullptr), testing::ExitedWithCode(1), "^accept error: ");
    EXPECT_EXIT(Close(-1), testing::ExitedWithCode(1), "^close error: ");

    testutil::BoardGuard guard;
    time_set_speedup(100);  // the 2 s pause between attempts takes 20 ms
    std::thread late([lfd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Listen(lfd, 4);
    });
    alarm(10);  // a Connect that never returns ends the run instead of hanging it
    Connect(fd, sa, len);
    Connect(fd, sa, len);  // already connected: returns at once
    alarm(0);
    late.join();
    Close(Accept(lfd, nullptr, nullptr)), Close(fd), Close(lfd);
}
