// A street cabinet on the desk: the gateway's board description pointed at
// pseudo-terminals, a loopback server, a FIFO GPIO tree, the modem emulator,
// a recorder of shell commands and a config.txt in a temporary directory,
// with the clock sped up. That directory is also its process table, in
// which the process watch finds nothing that runs on the machine.
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
    void run(const std::function<void()> &body);
    // Sets gateway_stopping and joins the threads; a thread that has not
    // ended within 10 s ends the test process with a message instead.
    void stop();

    testutil::BoardGuard guard;  // restores the board last
    testutil::TempDir dir;
    testutil::CommandRecorder shell;
    std::string config, watch_node;
    SerialPeer other, ludeng;
    ModemEmulator modem;
    ServerPeer server;
    GpioTree gpio{board_gpio_lines()};
    std::vector<std::thread> threads;
    std::atomic<size_t> finished{0};  // threads whose body has returned
};

// A frame of lamp 10 20 30 40 50 60 of the given type: radio prefix 07 08,
// the command, then seq, 00 and three bytes of payload.
bytes lamp_frame(uint8_t type, uint8_t seq = 0, uint8_t command = 0x01);
