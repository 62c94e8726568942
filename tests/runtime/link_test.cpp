#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <netinet/in.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "runtime/connect.h"
#include "support/cabinet.h"
#include "support/capture.h"

static long open_descriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// Two threads run the broken-pipe recovery at once while a reader waits on
// the socket with the gateway's own wait-and-read: one recovery ends the
// link, the reader's wait ends at once with the end of the stream, and the
// descriptor stays the link's socket until the server pump closes it, so an
// open meanwhile (a config rewrite) cannot take its number over. The pump
// then rebuilds the link, and again after a drop by the server; in the end
// one socket serves the one link.
TEST(ServerLink, RecoveryLeavesTheCloseToTheReaderAndRebuildsOnceWithoutLeaks)
{
    Cabinet cab(20);
    const uint8_t hb[25] = {0xA3, 0x20, 0x00, 0x13};
    EXPECT_EQ(server_write(&net_fd1, hb, 1), -1);  // link down: nothing written
    ASSERT_TRUE(cab.link_up());
    counters_reset(0);
    const long before = open_descriptors();
    const int fd = net_fd1.sockfd.load();
    struct stat link, now;
    ASSERT_EQ(fstat(fd, &link), 0);

    testutil::Capture console;
    int got = -3;
    std::thread reader([&] {
        static uint8_t buf[0x8000];
        got = receivedata(fd, buf, 100);  // 5 s of real time at most
    });
    std::thread first([] { sigterm(SIGPIPE); }), second([] { sigterm(SIGPIPE); });
    first.join(), second.join();
    const int other = open(cab.config.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_NE(other, fd);
    EXPECT_EQ(fstat(fd, &now), 0);
    EXPECT_EQ(now.st_ino, link.st_ino);
    EXPECT_EQ(now.st_dev, link.st_dev);
    reader.join();
    EXPECT_EQ(got, 0);
    close(other);

    cab.run(from_server_to_device);
    auto relinked = [&](int connections) {
        return testutil::wait_for("the link rebuilt", 5000, [&] {
            return cab.server.connections() == connections && net_fd1.net_connect_flag.load() == 1;
        });
    };
    ASSERT_TRUE(relinked(2));
    cab.server.drop();  // seen by a write or by the pump, whichever comes first
    ASSERT_TRUE(testutil::wait_for("the link down", 5000,
                                   [&] { return server_write(&net_fd1, hb, sizeof hb) == -1; }));
    ASSERT_TRUE(relinked(3));
    cab.stop();
    const std::string out = console.end();
    EXPECT_EQ(out.find("socket was closed\nconnecting 127.0.0.1:" +
                       std::to_string(cab.server.port()) + "\nconnect success"),
              0u)
        << out;
    const link_counters &k = gw_counters.link;
    EXPECT_GE(counter_get(k.drops_write), 1u);  // the recovery's
    // The server's drop counts where it was seen first.
    EXPECT_EQ(counter_get(k.drops_write) + counter_get(k.drops_closed), 2u);
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
