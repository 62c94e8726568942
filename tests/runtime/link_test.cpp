#include <arpa/inet.h>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <netinet/in.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "runtime/cabinet.h"
#include "runtime/connect.h"

static long open_descriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// Writes reach a dropped connection until the peer's reset turns one into a
// broken pipe; that write runs the recovery itself. Two threads that see the
// same break at once rebuild the link once. In the end one socket serves the
// one link: no connector thread or descriptor is left over.
TEST(ServerLink, BrokenPipeRebuildsTheLinkOnceWithoutLeaks)
{
    Cabinet cab(10);
    const uint8_t hb[25] = {0xA3, 0x20, 0x00, 0x13};
    EXPECT_EQ(server_write(&net_fd1, hb, 1), -1);  // link down: nothing written
    ASSERT_TRUE(cab.link_up());
    const long before = open_descriptors();
    auto relinked = [&](int connections) {
        return testutil::wait_for("the link rebuilt", 5000, [&] {
            return cab.server.connections() == connections && net_fd1.net_connect_flag.load() == 1;
        });
    };
    for (int cycle = 1; cycle <= 3; ++cycle) {
        cab.server.drop();
        ASSERT_TRUE(testutil::wait_for(
            "a broken pipe", 5000,
            [&] { return server_write(&net_fd1, hb, sizeof hb) == -1 && errno == EPIPE; }))
            << "cycle " << cycle;
        ASSERT_TRUE(relinked(cycle + 1)) << "cycle " << cycle;
    }
    testing::internal::CaptureStdout();
    std::thread first([] { sigterm(SIGPIPE); }), second([] { sigterm(SIGPIPE); });
    first.join(), second.join();
    ASSERT_TRUE(relinked(5));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("socket was closed"), out.rfind("socket was closed"));
    EXPECT_NE(out.find("connecting 127.0.0.1:" + std::to_string(cab.server.port())),
              std::string::npos);
    EXPECT_NE(out.find("connect success"), std::string::npos);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(ServerLink, ServerThatStopsReadingCannotWedgeASender)
{
    Cabinet cab(100);
    // A listener of our own that accepts and then never reads.
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t alen = sizeof a;
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &alen);
    net_fd1.server_port = ntohs(a.sin_port);
    start_connector(&net_fd1);
    ASSERT_TRUE(
        testutil::wait_for("the link", 5000, [] { return net_fd1.net_connect_flag.load() == 1; }));
    static uint8_t block[65536];
    EXPECT_TRUE(testutil::wait_for("a refused write", 20000, [&] {
        return server_write(&net_fd1, block, sizeof block) == -1 && errno == EAGAIN;
    }));
    close(lfd);
}
