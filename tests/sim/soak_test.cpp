#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "drivers/soak.h"
#include "drivers/soak_state.h"
#include "support/testutil.h"

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

// A frame split into pieces is registered just before its last piece goes
// out: the street's own pauses between the pieces (two of 20 ms here) are
// never counted as the gateway's time. Raw bytes are never registered.
TEST(Soak, SplitFrameIsRegisteredBeforeItsLastPiece)
{
    RadioModule module(1, 0);
    ASSERT_TRUE(module.start());
    using clock = std::chrono::steady_clock;
    std::atomic<int> calls{0};
    std::atomic<clock::rep> at{0};
    soak::port_writer writer(module, [&](const soak::write_job &) {
        at = clock::now().time_since_epoch().count();
        ++calls;
    });
    soak::write_job raw;
    raw.data = bytes(30, 0x55);
    writer.push(raw);
    soak::write_job lamp;
    lamp.data = bytes(25, 0x11);
    lamp.cuts = {5, 12};
    lamp.gap_us = 20000;
    lamp.kind = soak::JOB_LAMP;
    const clock::time_point pushed = clock::now();
    writer.push(lamp);
    EXPECT_TRUE(testutil::wait_for("the writer", 5000, [&] { return writer.idle(); }));
    EXPECT_EQ(calls.load(), 1);
    const auto waited = clock::time_point(clock::duration(at.load())) - pushed;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 40);
}
