#include <openssl/ssl.h>

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
        std::string keys = "tls_ca_file=" + certs.pem("ca") + "\n";
        if (ask_client)
            keys += "tls_cert_file=" + certs.pem("client") +
                    "\ntls_key_file=" + certs.key("client") + "\n";
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
    testutil::write_file(cab.config, "server_ip_addr=127.0.0.1\ntls_cert_file=" +
                                         certs.pem("client") + "\n");
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

