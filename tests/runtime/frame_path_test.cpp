// The frame path allocates nothing once running: a board that runs for
// months cannot afford heap fragmentation, or an allocation failure in the
// middle of a frame. Allocations are counted by replacing malloc for the
// test binary; only threads that opt in are counted. Under the sanitizers,
// which bring their own allocator, the count is off and the test skipped.
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>

#include "support/cabinet.h"
#include "support/capture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LAMPGW_COUNT_ALLOCS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define LAMPGW_COUNT_ALLOCS 0
#endif
#endif
#ifndef LAMPGW_COUNT_ALLOCS
#define LAMPGW_COUNT_ALLOCS 1
#endif

static thread_local bool counting = false;
static std::atomic<long> counted{0};

#if LAMPGW_COUNT_ALLOCS
// glibc's own entry points; operator new and stdio come through malloc.
#define COUNTED(ret, name, params, args) \
    extern "C" ret __libc_##name params; \
    extern "C" ret name params           \
    {                                    \
        if (counting)                    \
            counted.fetch_add(1);        \
        return __libc_##name args;       \
    }
COUNTED(void *, malloc, (size_t n), (n))
COUNTED(void *, calloc, (size_t k, size_t n), (k, n))
COUNTED(void *, realloc, (void *p, size_t n), (p, n))
#endif

TEST(FramePath, AllocatesNothingOnceRunning)
{
    if (!LAMPGW_COUNT_ALLOCS)
        GTEST_SKIP() << "the sanitizers' allocator is not counted";
    auto frame = [](uint8_t type, int seq) { return lamp_frame(type, static_cast<uint8_t>(seq)); };
    Cabinet cab(50);
    cab.open_ports();
    ASSERT_TRUE(cab.link_up());
    testutil::Capture console;
    for (auto entry : {from_device_to_server, from_server_to_device})
        cab.run([entry] {
            counting = true;
            entry(&net_fd1);
        });

    // Both roads once, so whatever is set up on first use is done; then
    // count over 50 frames up on each port and 10 keyed ones down on each
    // module.
    size_t down = 0;
    auto roads = [&](int rounds, int seq) {
        for (int i = 0; i < rounds; ++i, ++seq) {
            cab.other.send(frame(1, seq));
            cab.ludeng.send(frame(5, seq));
            if (i % 5 == 0) {
                cab.server.send(frame(4, seq));
                cab.server.send(frame(5, seq));
                down += frame(5, seq).size() + 2;
            }
        }
    };
    roads(1, 0);
    ASSERT_TRUE(testutil::wait_for("the first frames", 5000,
                                   [&] { return cab.ludeng.received_size() == down; }));
    counted.store(0);
    const size_t up = cab.server.frames().size() + 100;
    roads(50, 1);
    EXPECT_TRUE(testutil::wait_for("every frame", 10000, [&] {
        return cab.server.frames().size() == up && cab.ludeng.received_size() == down;
    }));
    cab.stop();
    console.end();
    EXPECT_EQ(counted.load(), 0);
}
