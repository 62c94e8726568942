// A street cabinet on the desk: the gateway's board description pointed at
// pseudo-terminals, a loopback server, a FIFO GPIO tree, the modem emulator
// and a config.txt in a temporary directory, with the clock sped up. That
// directory is also its process table, in which the process watch finds
// nothing that runs on the machine.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "peers/modem_emulator.h"
#include "peers/street.h"
#include "runtime/main.h"
#include "support/testutil.h"

struct Cabinet {
    explicit Cabinet(unsigned speedup, bool with_config = true);
    ~Cabinet();

    // Opens the three serial lines as start-up does, without configuring.
    void open_ports();
    // Starts a connector and waits until the link is up.
    testing::AssertionResult link_up();
    // Runs a pump (or any body) on a thread of its own until stop().
    void run(void *(*entry)(void *))
    {
        run([entry] { entry(&net_fd1); });
    }
    void run(std::function<void()> body);
    // Sets gateway_stopping and joins the threads; a thread that has not
    // ended within 10 s ends the test process with a message instead.
    void stop();

    static std::vector<std::string> shell_commands();

    testutil::BoardGuard guard;
    testutil::TempDir dir;
    std::string config, watch_node;
    SerialPeer other, ludeng;
    ModemEmulator modem;
    ServerPeer server;
    GpioTree gpio{{115, 117, 48, 7, 60}};
    std::vector<std::thread> threads;
    std::atomic<size_t> finished{0};  // threads whose body has returned
};
