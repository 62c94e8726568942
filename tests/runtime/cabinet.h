// A street cabinet on the desk: the gateway's board description pointed at
// pseudo-terminals, a loopback server, a FIFO GPIO tree, the modem emulator
// and a config.txt in a temporary directory, with the clock sped up.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "emu/modem_emulator.h"
#include "emu/street.h"
#include "runtime/main.h"
#include "support/testutil.h"

struct Cabinet {
    explicit Cabinet(unsigned speedup, bool with_config = true);
    ~Cabinet();

    // Opens the three serial lines as start-up does, without configuring.
    void open_ports();
    // Starts a connector and waits until the link is up.
    bool link_up();
    // Runs a pump on a thread of its own, joined when the cabinet closes.
    void run(void *(*entry)(void *));

    static std::vector<std::string> shell_commands();

    testutil::BoardGuard guard;
    testutil::TempDir dir;
    std::string config, watch_node;
    SerialPeer other, ludeng;
    ModemEmulator modem;
    ServerPeer server;
    GpioTree gpio{{115, 117, 48, 7, 60}};
    std::vector<std::thread> threads;
};
