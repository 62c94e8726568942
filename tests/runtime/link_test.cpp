#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <netinet/in.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "runtime/cabinet.h"
#include "runtime/connect.h"

namespace {

int open_descriptors()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

}  // namespace

TEST(ServerLink, BrokenPipeRebuildsTheLinkWithoutLeaks)
{
    Cabinet cab(100);
    ASSERT_TRUE(cab.link_up());
    int before = open_descriptors();
    const uint8_t hb[25] = {0xA3, 0x20, 0x00, 0x13};

    for (int cycle = 1; cycle <= 5; ++cycle) {
        cab.server.drop();
        // Writes reach the closed connection until the peer's reset turns
        // one into a broken pipe; that write runs the recovery itself.
        ASSERT_TRUE(wait_for(
            [&] {
                server_write(&net_fd1, hb, sizeof hb);
                return cab.server.connections() == cycle + 1 &&
                       net_fd1.net_connect_flag.load() == 1;
            },
            5000))
            << "cycle " << cycle;
    }
    // One socket for the one link, no connector thread or descriptor left over.
    EXPECT_EQ(open_descriptors(), before);
}

TEST(ServerLink, LinkDownWritesNothingAndSecondRecoveryIsIgnored)
{
    Cabinet cab(10);
    const uint8_t byte = 0x55;
    EXPECT_EQ(server_write(&net_fd1, &byte, 1), -1);
    ASSERT_TRUE(cab.link_up());

    // Two threads see the same link break at once: one recovers it, the
    // other finds it already down and does nothing.
    testing::internal::CaptureStdout();
    std::thread first([] { sigterm(SIGPIPE); }), second([] { sigterm(SIGPIPE); });
    first.join();
    second.join();
    ASSERT_TRUE(wait_for(
        [&] { return cab.server.connections() == 2 && net_fd1.net_connect_flag.load() == 1; },
        5000));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("socket was closed"), out.rfind("socket was closed"));
    EXPECT_NE(out.find("connecting 127.0.0.1:" + std::to_string(cab.server.port())),
              std::string::npos);
    EXPECT_NE(out.find("connect success"), std::string::npos);
}

TEST(ServerLink, ServerThatStopsReadingCannotWedgeASender)
{
    Cabinet cab(100);
    // A listener of our own that accepts and then never reads.
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &alen);
    net_fd1.server_port = ntohs(a.sin_port);
    start_connector(&net_fd1);
    ASSERT_TRUE(wait_for([] { return net_fd1.net_connect_flag.load() == 1; }, 5000));

    static uint8_t block[65536];
    bool refused =
        wait_for([&] { return server_write(&net_fd1, block, sizeof block) == -1; }, 20000);
    EXPECT_TRUE(refused);
    EXPECT_EQ(errno, EAGAIN);
    close(lfd);
}
