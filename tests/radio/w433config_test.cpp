#include "radio/w433config.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "board/timebase.h"
#include "support/capture.h"
#include "support/testutil.h"

using testutil::radio_hex;

// Makes the value file of line `key` a FIFO and returns one descriptor that
// reads it and serves as the module's port: the key's levels ("1\n" = 31 0A,
// "0\n" = 30 0A) and the port's bytes queue in one stream, in order.
static int keyed_port(const testutil::TempDir &gpio, int key)
{
    std::string dir = gpio.file("gpio" + std::to_string(key));
    mkdir(dir.c_str(), 0755);
    EXPECT_EQ(mkfifo((dir + "/value").c_str(), 0600), 0);
    return open((dir + "/value").c_str(), O_RDWR | O_NONBLOCK);
}

TEST(KeyedTransmit, OrderOfEffectsAndTurnTaking)
{
    testutil::BoardGuard guard;
    testutil::TempDir gpio;
    board.gpio_root = gpio.path().c_str(), time_set_speedup(5);  // a key window is 220 ms
    const int other = keyed_port(gpio, board.gpio_key_other),
              ludeng = keyed_port(gpio, board.gpio_key_ludeng);
    const uint8_t data[] = {0x01, 0xAB, 0x10}, form[] = {0x05, 0x06, 0xA3, 0x20};
    testutil::Capture out;
    std::thread send(SendDataTo433, other, data, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // halfway through the hold
    EXPECT_EQ(radio_hex(other), "31 0A 01 AB 10");
    send.join();
    SendDataTo433(-1, data, 3);  // a port that failed to open
    keyed_transmit(board.gpio_key_ludeng, ludeng, form, 4, form + 2, 2, "from server to ludeng:");
    EXPECT_EQ(out.end(),
              "send data to voz433:01-AB-10\nsend data to voz433:01-AB-10\nfrom server to "
              "ludeng:A3-20\n");
    EXPECT_EQ(radio_hex(other), "30 0A 31 0A 30 0A");
    EXPECT_EQ(radio_hex(ludeng), "31 0A 05 06 A3 20 30 0A");

    uint8_t record[14] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 0, 10, 11, 12, 13};
    const uint16_t count = 13;  // in host order
    std::memcpy(record + 8, &count, sizeof count);
    w433_parameter_config(other, record);
    EXPECT_EQ(radio_hex(other),
              "00 01 02 03 04 05 06 07 0D 00 0A 0B 0C");  // unkeyed, little-endian

    testutil::Capture quiet;
    std::thread ta(SendDataTo433, other, data, 1), tb(SendDataTo433, other, form, 2);  // at once
    ta.join(), tb.join();
    quiet.end();
    const std::string got = radio_hex(other), a = "31 0A 01 30 0A", b = "31 0A 05 06 30 0A";
    EXPECT_TRUE(got == a + " " + b || got == b + " " + a) << got;  // one key window after the other
    close(other), close(ludeng);
}
