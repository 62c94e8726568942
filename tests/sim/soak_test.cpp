#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "drivers/soak.h"

namespace {

// A quarter of an hour of simulated street with every kind of fault in it,
// at a speed that keeps the timed bounds well clear of the machine's jitter.
soak_report short_soak(const char *hosted, uint32_t seed)
{
    soak_options opt;
    opt.days = 0.01;
    opt.seed = seed;
    opt.time_scale = 200;
    opt.quiet = true;
    opt.hosted = hosted;
    soak_report r;
    FILE *sink = std::tmpfile();
    soak_run(opt, &r, sink != nullptr ? sink : stderr);
    if (sink != nullptr)
        std::fclose(sink);
    return r;
}

}  // namespace

TEST(Soak, ShortRunHoldsEveryInvariant)
{
    const soak_report r = short_soak(LAMPGW_HOSTED, 17);
    EXPECT_EQ(r.invariant, "") << r.detail;
    for (int k = 0; k < SOAK_FAULT_KINDS; ++k)
        EXPECT_GE(r.faults[k], 1) << "fault kind " << k << " never injected";
    EXPECT_GT(r.up_delivered, 0);
    EXPECT_EQ(r.down_sent, r.down_delivered + r.down_risk_lost);
    // Every message left the SIM, the storms' forged, two-line and
    // password-less texts among them, refused.
    EXPECT_EQ(r.sms_deleted, r.sms_in);
    EXPECT_GE(r.sms_ignored, 3);
    EXPECT_EQ(r.counters_checked, 1);  // the statistics line at the end of the run
}

TEST(Soak, CatchesAGatewayThatDropsFrames)
{
    const soak_report r = short_soak(LAMPGW_HOSTED_DROPPING, 17);
    EXPECT_EQ(r.invariant, "uplink") << r.detail;
    EXPECT_NE(r.detail.find("seed 17"), std::string::npos) << r.detail;
}
