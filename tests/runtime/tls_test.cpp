#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "io/tls.h"
#include "peers/certs.h"
#include "runtime/connect.h"
#include "support/cabinet.h"
#include "support/capture.h"

namespace {

// One set of certificates for every test here: making keys is the slow part.
testutil::TempDir *cert_dir;
test_certs certs;

uint64_t get(const gw_counter &c)
{
    return counter_get(c);
}

// The cabinet's gateway pointed at a TLS server of its own, trusting the CA,
// with its client certificate when the server asks for one.
struct TlsCabinet {
    explicit TlsCabinet(const char *server_cert, int max_version = 0, bool ask_client = false)
        : cab(100)
    {
        server_tls_options o{certs.pem(server_cert), certs.key(server_cert),
                             ask_client ? certs.pem("ca") : "", max_version};
        std::string err;
        ok = server.use_tls(o, &err) && server.start();
        EXPECT_TRUE(ok) << err;
        const std::string keys =
            ask_client ? certs.gateway_keys() : "tls_ca_file=" + certs.pem("ca") + "\n";
        testutil::write_file(cab.config, testutil::read_file(cab.config) + keys);
        net_fd1.server_port = server.port();
        ok = ok && tls_link_setup(cab.config.c_str());
        cab.open_ports();
        counters_reset(0);
    }
    ~TlsCabinet()
    {
        cab.stop();
        // A connector still trying ends within a (scaled) second.
        wait_for([] { return net_fd1.net_connect_flag.load() == 1 || net_fd1.sockfd.load() == -1; },
                 3000);
        testutil::write_file(cab.config, "server_ip_addr=127.0.0.1\n");
        tls_link_setup(cab.config.c_str());  // plain again for the tests after
        tls_stop();
    }
    testing::AssertionResult link_up(int connections)
    {
        return testutil::wait_for("the protected link", 5000, [&] {
            return server.tls_handshakes() == connections && net_fd1.net_connect_flag.load() == 1 &&
                   server.connected();
        });
    }
    Cabinet cab;
    ServerPeer server;
    bool ok = false;
};

class TlsLink : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        cert_dir = new testutil::TempDir;
        std::string err;
        ASSERT_TRUE(test_certs_make(cert_dir->path(), &certs, &err)) << err;
    }
    static void TearDownTestSuite()
    {
        delete cert_dir;
        cert_dir = nullptr;
    }
};

// A loopback TCP port that was free a moment ago.
int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0;
    if (fd >= 0)
        close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}

void replace_all(std::string &s, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
}

// stunnel in the foreground with the given configuration, killed at the
// end of the test; it dies with the test process too.
struct Stunnel {
    Stunnel(const std::string &conf_file, const std::string &log)
    {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        char *argv[] = {const_cast<char *>(STUNNEL), const_cast<char *>(conf_file.c_str()),
                        nullptr};
        if (posix_spawn(&pid, STUNNEL, &fa, nullptr, argv, environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Stunnel()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    static constexpr const char *STUNNEL = "/usr/bin/stunnel4";
    pid_t pid = -1;
};

}  // namespace

// Frames both ways and heartbeats inside TLS, to a server that asks for the
// gateway's certificate and gets it.
TEST_F(TlsLink, CarriesFramesBothWaysAndHeartbeatsWithAClientCertificate)
{
    TlsCabinet t("server", 0, true);
    ASSERT_TRUE(t.ok);
    start_connector(&net_fd1);
    ASSERT_TRUE(t.link_up(1));
    EXPECT_EQ(t.server.client_name(), "client");
    testutil::Capture console;
    t.cab.run(from_server_to_device);

    // Up as the radio pump writes (the pump itself is left out: its log
    // lines and the server pump's share stdout through a lock the thread
    // sanitizer cannot see), down through the server pump to the module.
    const bytes up = lamp_frame(5, 1), down = lamp_frame(5, 2);
    EXPECT_EQ(server_write(&net_fd1, up.data(), up.size()), static_cast<ssize_t>(up.size()));
    t.server.send(down);
    EXPECT_TRUE(testutil::wait_for("both frames", 5000, [&] {
        return !t.server.frames().empty() && t.cab.ludeng.received() == radio_frame(down);
    }));
    EXPECT_EQ(t.server.frames().front(), up);
    EXPECT_TRUE(testutil::wait_for("an answered heartbeat", 5000,
                                   [] { return get(gw_counters.link.heartbeats_answered) >= 1; }));
    t.cab.stop();
    console.end();
    EXPECT_GE(t.server.heartbeats(), 1);
    EXPECT_EQ(get(gw_counters.link.tls_handshakes), 1u);
    EXPECT_EQ(get(gw_counters.link.tls_failures), 0u);
}

// Each server the gateway must refuse: the link stays down, every attempt is
// refused with its reason and counted, and the connector goes on trying on
// its cadence (a gateway second apart); nothing goes out in plain.
TEST_F(TlsLink, RefusedServersKeepTheLinkDownAndAreRetriedOnTheCadence)
{
    const struct {
        const char *cert;
        int max_version;
        const char *line;
    } cases[] = {
        {"expired", 0, "tls: certificate has expired\n"},
        {"wrongname", 0, "tls: name mismatch: the server's certificate is not for 127.0.0.1\n"},
        {"otherca", 0, "tls: unable to get local issuer certificate\n"},
        {"selfsigned", 0, "tls: self-signed certificate\n"},
        {"server", TLS1_1_VERSION, "tls: tlsv1 alert protocol version\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.cert) + (c.max_version != 0 ? " up to TLS 1.1" : ""));
        TlsCabinet t(c.cert, c.max_version);
        ASSERT_TRUE(t.ok);
        testutil::Capture console;
        const auto t0 = testutil::Clock::now();
        start_connector(&net_fd1);
        EXPECT_TRUE(testutil::wait_for("three refusals", 5000,
                                       [] { return get(gw_counters.link.tls_failures) >= 3; }));
        const double took = testutil::gw_since(t0);
        const uint64_t attempts = get(gw_counters.link.attempts);
        t.cab.stop();
        const std::string out = console.end();
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(out.find("connect success"), std::string::npos) << out;
        EXPECT_GE(took, 1.8);  // two pauses of a second between three attempts
        EXPECT_LE(attempts, get(gw_counters.link.tls_failures) + 1);
        EXPECT_EQ(get(gw_counters.link.tls_handshakes), 0u);
        EXPECT_EQ(net_fd1.net_connect_flag.load(), 0);
        EXPECT_EQ(t.server.tls_handshakes(), 0);
        EXPECT_TRUE(t.server.received().empty());
    }
}

// A record cut in the middle, a plain frame in place of a record, and the
// server's orderly close: each ends the link as the server's close, reaches
// no radio, and the link is built again. Only the first two are failures.
TEST_F(TlsLink, ACutOrForgedRecordEndsTheLinkWhichIsRebuilt)
{
    enum end_kind { CUT, FORGED, ORDERLY };
    const struct {
        end_kind kind;
        const char *line;  // nullptr: no tls: line at all
    } cases[] = {{CUT, "tls: unexpected eof while reading\n"},
                 {FORGED, "tls: wrong version number\n"},
                 {ORDERLY, nullptr}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind == CUT      ? "cut mid-record"
                     : c.kind == FORGED ? "plain frame in place of a record"
                                        : "close_notify");
        TlsCabinet t("server");
        ASSERT_TRUE(t.ok);
        start_connector(&net_fd1);
        ASSERT_TRUE(t.link_up(1));
        testutil::Capture console;
        t.cab.run(from_server_to_device);
        if (c.kind == CUT)
            t.server.cut_record(lamp_frame(5, 1));
        else if (c.kind == FORGED)
            t.server.send_raw(lamp_frame(5, 1));
        else
            t.server.drop();
        EXPECT_TRUE(t.link_up(2));
        t.cab.stop();
        const std::string out = console.end();
        EXPECT_EQ(get(gw_counters.link.drops_closed), 1u);
        EXPECT_EQ(get(gw_counters.link.tls_failures), c.line != nullptr ? 1u : 0u);
        EXPECT_EQ(get(gw_counters.link.tls_handshakes), 2u);
        EXPECT_TRUE(t.cab.ludeng.received().empty());
        if (c.line != nullptr)
            EXPECT_TRUE(testutil::in_order(out, {c.line, "connect success"})) << out;
        else
            EXPECT_EQ(out.find("tls:"), std::string::npos) << out;
    }
}

// TLS keys that do not go together keep the link down, with their reason on
// every attempt: never a plain link in their place.
TEST_F(TlsLink, HalfMadeSettingsKeepTheLinkDownWithTheirReason)
{
    Cabinet cab(100);
    ServerPeer server;
    ASSERT_TRUE(server.start());
    testutil::write_file(cab.config,
                         "server_ip_addr=127.0.0.1\ntls_cert_file=" + certs.pem("client") + "\n");
    net_fd1.server_port = server.port();
    testutil::Capture console;
    EXPECT_FALSE(tls_link_setup(cab.config.c_str()));
    cab.open_ports();
    counters_reset(0);
    start_connector(&net_fd1);
    EXPECT_TRUE(testutil::wait_for("two refusals", 5000,
                                   [] { return get(gw_counters.link.tls_failures) >= 2; }));
    cab.stop();
    wait_for([] { return net_fd1.sockfd.load() == -1; }, 3000);
    const std::string out = console.end();
    EXPECT_NE(out.find("tls: tls_ca_file is missing: the other tls_ keys need it: the link stays "
                       "down\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("tls: :"), std::string::npos) << out;
    EXPECT_EQ(out.find("connect success"), std::string::npos) << out;
    EXPECT_TRUE(server.received().empty());
    testutil::write_file(cab.config, "server_ip_addr=127.0.0.1\n");
    EXPECT_TRUE(tls_link_setup(cab.config.c_str()));
}

// The stunnel example of the operator's guide, as the package ships it, with
// only its paths and ports pointed at this test's: the gateway's TLS link
// ends at stunnel, which checks the gateway's certificate and hands the
// plain stream to an unchanged server.
TEST_F(TlsLink, ThroughTheStunnelExample)
{
    if (access(Stunnel::STUNNEL, X_OK) != 0)
        GTEST_SKIP() << "stunnel4 is not installed";
    Cabinet cab(100);
    const int port = free_port();
    ASSERT_NE(port, 0);
    std::string conf = testutil::read_file(testutil::source_file("packaging/stunnel-lampgw.conf"));
    replace_all(conf, "0.0.0.0:8443", "127.0.0.1:" + std::to_string(port));
    replace_all(conf, "127.0.0.1:8000", "127.0.0.1:" + std::to_string(cab.server.port()));
    replace_all(conf, "/etc/stunnel/lampgw/", certs.dir + "/");
    // The test's own: in the foreground, no pid file, a log of its own.
    testutil::write_file(cab.dir.file("stunnel.conf"), "foreground = yes\npid =\n" + conf);
    Stunnel proxy(cab.dir.file("stunnel.conf"), cab.dir.file("stunnel.log"));
    ASSERT_GT(proxy.pid, 0);

    testutil::write_file(cab.config, "server_ip_addr=127.0.0.1\n" + certs.gateway_keys());
    net_fd1.server_port = port;
    ASSERT_TRUE(tls_link_setup(cab.config.c_str()));
    cab.open_ports();
    counters_reset(0);
    start_connector(&net_fd1);
    EXPECT_TRUE(testutil::wait_for("the link through stunnel", 10000, [&] {
        return net_fd1.net_connect_flag.load() == 1 && cab.server.connected();
    })) << testutil::read_file(cab.dir.file("stunnel.log"));
    testutil::Capture console;
    cab.run(from_server_to_device);
    const bytes up = lamp_frame(5, 1), down = lamp_frame(5, 2);
    EXPECT_EQ(server_write(&net_fd1, up.data(), up.size()), static_cast<ssize_t>(up.size()));
    cab.server.send(down);
    EXPECT_TRUE(testutil::wait_for("both frames", 5000, [&] {
        return !cab.server.frames().empty() && cab.ludeng.received() == radio_frame(down);
    }));
    cab.stop();
    console.end();
    wait_for([] { return net_fd1.net_connect_flag.load() == 1 || net_fd1.sockfd.load() == -1; },
             3000);
    ASSERT_FALSE(cab.server.frames().empty());
    EXPECT_EQ(cab.server.frames().front(), up);
    EXPECT_EQ(get(gw_counters.link.tls_handshakes), 1u);
    testutil::write_file(cab.config, "server_ip_addr=127.0.0.1\n");
    tls_link_setup(cab.config.c_str());
    tls_stop();
}
