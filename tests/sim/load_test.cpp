#include "drivers/load.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "support/capture.h"

#ifndef LAMPGW_HOSTED
#define LAMPGW_HOSTED "lampgw-hosted"
#endif

// A short load run of the gateway as its own process, a second build and
// the same gateway over TLS beside it: every frame put on either line
// reaches each one's server, noise on /dev/ttyO1 produces nothing, and the
// table carries every figure. (ser2net joins when it is installed.)
TEST(LoadMode, RelaysEveryFrameAndReportsEachFigure)
{
    load_options opt;
    opt.phase_seconds = 1.5;
    opt.hosted = opt.compare = LAMPGW_HOSTED;
    opt.tls = true;
    load_report r;
    ASSERT_EQ(load_run(opt, &r), 0) << (r.failures.empty() ? "" : r.failures[0]);
    ASSERT_TRUE(r.previous) << r.previous_fault;
    EXPECT_GT(r.compare_ratio, 0);
    ASSERT_TRUE(r.tls) << r.tls_fault;
    EXPECT_GT(r.tls_ratio, 0);

    for (int d = 0; d < LOAD_DAEMONS; ++d) {
        if (d == LOAD_SER2NET && !r.ser2net)
            continue;
        SCOPED_TRACE("daemon " + std::to_string(d));
        EXPECT_EQ(r.both[d][LOAD_IDLE].sent, 0);
        // 1.5 s at one frame per 26 ms: 57 or 58 a port.
        EXPECT_GE(r.both[d][LOAD_FULL].sent, 2 * 57);
        EXPECT_GE(r.ttyo2[d][LOAD_ALONE].sent, 57);
        EXPECT_EQ(r.both[d][LOAD_ALONE].sent, r.ttyo2[d][LOAD_ALONE].sent);
        EXPECT_EQ(r.both[d][LOAD_NOISE].sent, r.ttyo2[d][LOAD_NOISE].sent);
        for (int phase : {LOAD_FULL, LOAD_ALONE, LOAD_NOISE}) {
            EXPECT_EQ(r.both[d][phase].received, r.both[d][phase].sent) << phase;
            EXPECT_GT(r.both[d][phase].median_ms, 0) << phase;
            EXPECT_GE(r.both[d][phase].p99_ms, r.both[d][phase].median_ms) << phase;
        }
        EXPECT_GT(r.cpu_seconds[d][LOAD_FULL], 0);
        EXPECT_GT(r.peak_rss_kib[d], 0);
    }

    testutil::Capture out;
    load_print_table(stdout, opt, r);
    const std::string table = out.end();
    size_t rows = 0;
    for (size_t at = 0; (at = table.find("\n|", at)) != std::string::npos; ++at)
        ++rows;
    EXPECT_EQ(rows, 15u) << table;  // the rule, nine figures and five of the TLS link
    EXPECT_EQ(table.find("FAILED"), std::string::npos) << table;
}

// An older build that cannot start leaves its row without a figure; the run
// itself is not at fault.
TEST(LoadMode, MissingPreviousBuildOnlyEmptiesItsRow)
{
    load_options opt;
    opt.phase_seconds = 0.3;
    opt.hosted = LAMPGW_HOSTED;
    opt.compare = "/nonexistent/lampgw-hosted";
    opt.ser2net = false;
    load_report r;
    EXPECT_EQ(load_run(opt, &r), 0);
    EXPECT_FALSE(r.previous);
    EXPECT_NE(r.previous_fault.find("ended before connecting"), std::string::npos)
        << r.previous_fault;
}

// A gateway that cannot start is a set-up fault, reported, not a hang.
TEST(LoadMode, MissingGatewayIsASetupFault)
{
    load_options opt;
    opt.phase_seconds = 1;
    opt.hosted = "/nonexistent/lampgw-hosted";
    opt.ser2net = false;
    load_report r;
    EXPECT_EQ(load_run(opt, &r), 2);
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_NE(r.failures[0].find("did not connect"), std::string::npos);
}
