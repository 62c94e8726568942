// The command line, never without arguments: that starts the daemon.
#include "runtime/cli.h"

#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/state.h"
#include "support/capture.h"
#include "support/testutil.h"

struct cli_result {
    int rc;
    std::string out, err;
};

static cli_result run(std::vector<std::string> args)
{
    args.insert(args.begin(), "lampgw");
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    testutil::Capture out, err(stderr);
    const int rc = command_line_main(static_cast<int>(args.size()), argv.data());
    return {rc, out.end(), err.end()};
}

TEST(CommandLine, VersionAndCheck)
{
    const cli_result v = run({"--version"});
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.out, std::string("lampgw ") + gateway_version() + "\n");

    testutil::TempDir dir;
    const std::string good = dir.file("good.txt"), bad = dir.file("bad.txt");
    testutil::write_file(good,
                         "server_ip_addr=192.0.2.10\nserver_port_num=8000\n"
                         "device_id=0102030405A6\nsms_admin_numbers=\n");
    testutil::write_file(bad, "server_ip_addr=192.0.2.10\nserver_port_num=0\n");
    const cli_result ok = run({"--check-config", good});
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.out, good + ": ok\n");
    const cli_result ko = run({"--check-config", bad});
    EXPECT_EQ(ko.rc, 1);
    EXPECT_EQ(ko.out, bad + ":2: server_port_num \"0\" is not a port from 1 to 65535\n" + bad +
                          ": device_id is missing\n" + bad +
                          ": sms_admin_numbers is missing: every sender may command the gateway by "
                          "SMS (an empty sms_admin_numbers= lets nobody)\n");
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(ko.err, "");

    // Without a file name: config.txt in the working directory.
    char *saved = getcwd(nullptr, 0);
    ASSERT_NE(saved, nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const cli_result none = run({"--check-config"});
    testutil::write_file("config.txt", "device_id=0102030405A6\n");
    const cli_result some = run({"--check-config"});
    EXPECT_EQ(chdir(saved), 0);
    free(saved);
    EXPECT_EQ(none.rc, 1);
    EXPECT_EQ(none.out, "config.txt: cannot be read: No such file or directory\n");
    EXPECT_EQ(some.out,
              "config.txt: server_ip_addr is missing\nconfig.txt: server_port_num is missing\n"
              "config.txt: sms_admin_numbers is missing: every sender may command the gateway by "
              "SMS (an empty sms_admin_numbers= lets nobody)\n");
}

TEST(CommandLine, RefusesOtherArguments)
{
    const std::vector<std::string> bad[] = {
        {"--bogus"},   {"-h"}, {""}, {"--version", "x"}, {"--check-config", "a", "b"},
        {"config.txt"}};
    for (const auto &args : bad) {
        const cli_result r = run(args);
        EXPECT_EQ(r.rc, 2) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "usage: lampgw [--version | --check-config [FILE]]\n");
    }
}
