#include "radio/w433config.h"

#include <array>
#include <cstring>
#include <unistd.h>

#include "board/board.h"
#include "board/gpio.h"
#include "board/log.h"
#include "board/timebase.h"

namespace {

// std::mutex has a constexpr constructor, so these exist before any code
// runs and need no heap.
std::array<std::mutex, 3> key_locks;

constexpr unsigned long KEY_LEAD_US = 100000;  // key up to transmitter ready
constexpr unsigned KEY_HOLD_S = 1;             // write to data gone out

}  // namespace

std::mutex &transmit_key_lock(int key_gpio)
{
    if (key_gpio == board.gpio_key_other)
        return key_locks[0];
    if (key_gpio == board.gpio_key_ludeng)
        return key_locks[1];
    return key_locks[2];
}

void keyed_transmit(int key_gpio, int fd, const uint8_t *data, int len, const uint8_t *log_data,
                    int log_len, const char *label)
{
    std::lock_guard<std::mutex> hold(transmit_key_lock(key_gpio));

    (void)set_gpio_output(key_gpio, 1);
    gw_usleep(KEY_LEAD_US);
    if (len > 0) {
        ssize_t ignored = write(fd, data, static_cast<size_t>(len));
        (void)ignored;
    }
    outputlogmessage(label, log_data, log_len);
    gw_sleep(KEY_HOLD_S);
    (void)set_gpio_output(key_gpio, 0);
}

void SendDataTo433(int fd, const uint8_t *data, int len)
{
    keyed_transmit(board.gpio_key_other, fd, data, len, data, len, "send data to voz433:");
}

void w433_parameter_config(int fd, const uint8_t *record)
{
    uint16_t count;
    std::memcpy(&count, record + 8, sizeof count);  // may be unaligned
    ssize_t ignored = write(fd, record, count);
    (void)ignored;
}
