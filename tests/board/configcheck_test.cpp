#include "board/configcheck.h"

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "peers/certs.h"
#include "support/capture.h"
#include "support/testutil.h"

using Texts = std::vector<std::string>;

// "key|text" of every problem, the path written as "@".
static Texts check(const std::string &path, int max = CONFIG_PROBLEMS_MAX)
{
    config_problem out[CONFIG_PROBLEMS_MAX + 1];
    const int n = config_check(path.c_str(), out, max);
    Texts got;
    for (int i = 0; i < n; i++) {
        std::string t = out[i].text;
        EXPECT_LE(t.size(), sizeof out[i].text - 1);
        EXPECT_EQ(t.find('\n'), std::string::npos) << t;
        if (t.compare(0, path.size(), path) == 0)
            t.replace(0, path.size(), "@");
        got.push_back(std::string(out[i].key) + "|" + t);
    }
    return got;
}

static Texts check_text(const std::string &content, int max = CONFIG_PROBLEMS_MAX)
{
    testutil::TempDir dir;
    testutil::write_file(dir.file("config.txt"), content);
    return check(dir.file("config.txt"), max);
}

TEST(ConfigCheck, Values)
{
    for (const char *s : {"1", "65535", "080", "08000"})
        EXPECT_TRUE(config_is_port(s)) << s;
    for (const char *s : {"0", "65536", "100000", "", "+80", " 80", "80 ", "8o"})
        EXPECT_FALSE(config_is_port(s)) << s;
    for (const char *s : {"0102030405A6", "abcdefABCDEF"})
        EXPECT_TRUE(config_is_device_id(s)) << s;
    for (const char *s : {"0102030405A", "0102030405A60", "0102030405G6", ""})
        EXPECT_FALSE(config_is_device_id(s)) << s;
    EXPECT_TRUE(config_is_ipv4("192.0.2.10"));
    for (const char *s : {"192.0.2", "256.0.0.1", " 192.0.2.10", "server", ""})
        EXPECT_FALSE(config_is_ipv4(s)) << s;

    const std::pair<const char *, int> intervals[] = {
        {"0", 0},      {"86400", 86400}, {"0900", 900},
        {"86401", -1}, {"15m", -1},      {"", -1},
        {"-1", -1},    {" 60", -1},      {"99999999999999999999", -1}};
    for (const auto &[s, want] : intervals) {
        int got = -1;
        EXPECT_EQ(config_parse_interval(s, &got), want >= 0) << s;
        EXPECT_EQ(got, want) << s;  // untouched when refused
    }

    const std::string d20(20, '1');
    for (const std::string &s :
         Texts{"+491701234567,+491709876543", " \"+4917\" ,\t123", "+" + d20, ""})
        EXPECT_TRUE(config_is_admin_list(s.c_str())) << s;
    for (const std::string &s : Texts{"12", d20 + "1", "123,", ",123", "1 23", "\"\"", "+-123",
                                      "\"123", "++123", "123;456"})
        EXPECT_FALSE(config_is_admin_list(s.c_str())) << s;
    for (const char *s : {"7351", "Ab!_@x9#$%&'()*+,", "0123456789abcdef", "a\"-./:;<=>?"})
        EXPECT_EQ(config_is_sms_password(s), std::strlen(s) <= 16) << s;
    for (const char *s : {"735", "0123456789abcdefg", "73 51", "ab[c", "a~bc", "p\xC3\xA4ss", ""})
        EXPECT_FALSE(config_is_sms_password(s)) << s;
}

TEST(ConfigCheck, GoodFile)
{
    EXPECT_EQ(check_text("# server\r\n\n  server_ip_addr=192.0.2.10 \r\nserver_port_num=8000\n"
                         "device_id=0102030405a6\n#device_id=x\nsms_admin_numbers=+4917012,123\n"
                         "stats_interval=0"),
              Texts());
}

// Every kind of problem once, in file order, then the missing keys.
TEST(ConfigCheck, ListsProblems)
{
    EXPECT_EQ(check_text("device_id=0102\n"
                         "server_port_num = 8000\n"
                         "colour=blue\n"
                         "  just text\n"
                         "device_id=0102030405A6\n"
                         "sms_admin_numbers=+4917012, 12 ,x\n"
                         "stats_interval=15m\n"
                         "server_ip_addr=192.0.2.256\n"),
              Texts({"device_id|@:1: device_id \"0102\" is not 12 hexadecimal digits",
                     ("server_port_num|@:2: key \"server_port_num \" is not server_port_num: "
                      "blanks around '=' belong to the key"),
                     "colour|@:3: unknown key \"colour\" is ignored",
                     "|@:4: line without '=' is ignored: \"just text\"",
                     "device_id|@:5: device_id given again, ignored: line 1 counts",
                     ("sms_admin_numbers|@:6: sms_admin_numbers item \" 12 \" is not '+' and 3 "
                      "to 20 digits"),
                     ("stats_interval|@:7: stats_interval \"15m\" is not a number of seconds "
                      "from 0 to 86400"),
                     ("server_ip_addr|@:8: server_ip_addr \"192.0.2.256\" is not a dotted IPv4 "
                      "address"),
                     "server_port_num|@: server_port_num is missing"}));

    // 19 characters fit the gateway's field, 20 are refused; the first,
    // refused, value still counts. An empty admin list is valid (nobody);
    // no list at all is reported. A password is never shown.
    EXPECT_EQ(
        check_text("server_ip_addr=192.0.2.10\nserver_port_num=65536\n"
                   "device_id=0102030405A60000000\ndevice_id=0102030405A600000000\n"
                   "sms_password=73 51\nsms_password 7351\nsms_password=7351\n"),
        Texts({"server_port_num|@:2: server_port_num \"65536\" is not a port from 1 to 65535",
               "device_id|@:3: device_id \"0102030405A60000000\" is not 12 hexadecimal digits",
               "device_id|@:4: device_id given again, ignored: line 3 counts",
               ("sms_password|@:5: sms_password holds a blank or a character outside the GSM 7-bit "
                "alphabet's letters, digits and !\"#$%&'()*+,-./:;<=>?@_"),
               "|@:6: line without '=' is ignored: \"sms_password...\"",
               "sms_password|@:7: sms_password given again, ignored: line 5 counts",
               ("sms_admin_numbers|@: sms_admin_numbers is missing: every sender may command "
                "the gateway by SMS (an empty sms_admin_numbers= lets nobody)")}));
    EXPECT_EQ(check_text("server_ip_addr=1.2.3.4\nserver_port_num=1\ndevice_id=0102030405A6\n"
                         "sms_admin_numbers=\nsms_password=a234567890abcdefg\n"),
              Texts({"sms_password|@:5: sms_password is 17 characters: a password has 4 to 16"}));
    EXPECT_EQ(check(testutil::source_file("packaging/config.txt.example")), Texts());
    testutil::TempDir dir;
    testutil::write_file(dir.file("c"), "sms_password 7351\nsms_password=7351 \nsms_password=7351");
    testutil::Capture out;
    const int rc = check_config_main(dir.file("c").c_str());
    EXPECT_EQ(out.end().find("7351"), std::string::npos);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(check_text("device_id=0102030405A600000000\n").at(0),
              "device_id|@:1: device_id \"0102030405A600000000\" is 20 characters, at most 19 fit: "
              "the gateway leaves it empty");
}

// A line over 1022 characters is read in pieces; its pieces keep its number.
// Quoted texts are cut to fit and show control characters as '?'.
TEST(ConfigCheck, LongLinesAndQuotes)
{
    const Texts got = check_text("#" + std::string(1021, 'c') + "colour=1\n" +
                                 std::string(500, 'k') + "=1\nke\x01y=\xC3\xA9\n");
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(got[0],
              "|@:1: line is longer than 1022 characters: the gateway reads the rest as "
              "lines of their own");
    EXPECT_EQ(got[1], "colour|@:1: unknown key \"colour\" is ignored");
    EXPECT_EQ(got[2].substr(0, 51) + got[2].substr(got[2].size() - 15),
              std::string(31, 'k') + "|@:2: unknown key \"k" + "...\" is ignored");
    EXPECT_EQ(got[3], "ke\x01y|@:3: unknown key \"ke?y\" is ignored");
    EXPECT_EQ(got[4], "server_ip_addr|@: server_ip_addr is missing");
}

TEST(ConfigCheck, UnreadableAndTooMany)
{
    testutil::TempDir dir;
    EXPECT_EQ(check(dir.file("none")), Texts({"|@: cannot be read: No such file or directory"}));
    EXPECT_EQ(check(dir.path()), Texts({"|@: cannot be read: Is a directory"}));

    std::string many;
    for (int i = 0; i < 40; i++)
        many += "x\n";
    const Texts all = check_text(many);
    ASSERT_EQ(all.size(), size_t(CONFIG_PROBLEMS_MAX));
    EXPECT_EQ(all.back(), "|@:32: line without '=' is ignored: \"x\" ... and more");
    EXPECT_EQ(check_text("x\nserver_ip_addr=1.2.3.4\nserver_port_num=1\n", 2),
              Texts({"|@:1: line without '=' is ignored: \"x\"",
                     "device_id|@: device_id is missing ... and more"}));
    EXPECT_EQ(check_text("x\ny\n", 1),
              Texts({"|@:1: line without '=' is ignored: \"x\" ... and more"}));
    config_problem one;
    EXPECT_EQ(config_check(dir.path().c_str(), &one, 0), 0);
}

// The TLS keys against a certificate set made for the test: files that
// exist and parse, a private key only its owner may read, a certificate
// with its key, a CA under both, a name a certificate can carry.
TEST(ConfigCheck, TlsKeys)
{
    testutil::TempDir dir;
    test_certs certs;
    std::string err;
    ASSERT_TRUE(test_certs_make(dir.path(), &certs, &err)) << err;
    const std::string open_key = dir.file("open.key"), junk = dir.file("junk.pem");
    testutil::write_file(open_key, testutil::read_file(certs.key("client")));
    ASSERT_EQ(chmod(open_key.c_str(), 0644), 0);
    testutil::write_file(junk,
                         "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");

    const std::string base =
        "server_ip_addr=192.0.2.10\nserver_port_num=8000\n"
        "device_id=0102030405A6\nsms_admin_numbers=\n";
    const std::string ca = "tls_ca_file=" + certs.pem("ca") + "\n";
    const std::string pair =
        "tls_cert_file=" + certs.pem("client") + "\ntls_key_file=" + certs.key("client") + "\n";
    const auto line = [](int n, const char *key, const std::string &value, const char *why) {
        return std::string(key) + "|@:" + std::to_string(n) + ": " + key + " \"" + value + "\" " +
               why;
    };
    const std::pair<std::string, Texts> cases[] = {
        {ca + pair + "tls_server_name=gw-1.example.org\n", {}},
        {ca + "tls_server_name=192.0.2.10\n", {}},
        {"tls_ca_file=" + dir.file("none.pem") + "\n",
         {line(5, "tls_ca_file", dir.file("none.pem"),
               "cannot be read: No such file or directory")}},
        {"tls_ca_file=" + junk + "\ntls_cert_file=" + certs.key("client") +
             "\ntls_key_file=" + certs.pem("client") + "\n",
         {line(5, "tls_ca_file", junk, "holds no PEM certificate"),
          line(6, "tls_cert_file", certs.key("client"), "holds no PEM certificate"),
          line(7, "tls_key_file", certs.pem("client"),
               "holds no PEM private key without a passphrase")}},
        {ca + "tls_cert_file=" + certs.pem("client") + "\ntls_key_file=" + open_key + "\n",
         {line(7, "tls_key_file", open_key, "is open to other users: chmod 600 it")}},
        {ca + "tls_cert_file=" + certs.pem("client") + "\n",
         {"tls_key_file|@: tls_cert_file and tls_key_file go together"}},
        {ca + "tls_key_file=" + certs.key("client") + "\n",
         {"tls_cert_file|@: tls_cert_file and tls_key_file go together"}},
        {pair, {"tls_ca_file|@: tls_ca_file is missing: the other tls_ keys need it"}},
    };
    for (const auto &[tls, want] : cases)
        EXPECT_EQ(check_text(base + tls), want) << tls;

    // Names: labels of 1 to 63 letters, digits and inner hyphens.
    const std::string label63(63, 'a'), named = base + ca + "tls_server_name=";
    const std::pair<std::string, bool> names[] = {
        {label63 + ".example", true},   {"a1", true},           {"10.0.0.1", true},
        {label63 + "a.example", false}, {"-a.example", false},  {"a-.example", false},
        {"a..example", false},          {"a_b.example", false}, {"a.example.", false}};
    for (const auto &[name, good] : names)
        EXPECT_EQ(check_text(named + name),
                  good ? Texts()
                       : Texts({line(6, "tls_server_name", name,
                                     "is neither a dotted IPv4 address nor a DNS name")}))
            << name;
}
