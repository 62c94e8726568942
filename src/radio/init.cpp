#include "radio/init.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <unistd.h>

#include "board/timebase.h"
#include "protocol/crc16.h"

namespace {

// Bytes every command frame starts with.
constexpr std::array<uint8_t, 6> command_head = {0xAF, 0xAF, 0x00, 0x00, 0xAF, 0x80};

constexpr uint8_t CODE_NETID = 0x15;
constexpr uint8_t CODE_BREATHTIME = 0x19;
constexpr uint8_t CODE_RF_FACTOR = 0x0D;
constexpr uint8_t CODE_RF_BW = 0x0F;
constexpr uint8_t CODE_RF_MODE = 0x11;
constexpr uint8_t CODE_RF_POWER = 0x17;
constexpr uint8_t CODE_WAKE_TIMER = 0x1B;
constexpr uint8_t CODE_COM_PAUDRATE = 0x09;
constexpr uint8_t CODE_RF_FREQUENCY = 0x0B;

// Accepted frequency range of the modules, in MHz.
constexpr uint32_t FREQ_MIN_MHZ = 420;
constexpr uint32_t FREQ_MAX_MHZ = 510;

// The module's wait between configuration commands, in seconds.
constexpr unsigned COMMAND_SPACING_S = 1;

// One write of the whole frame; a port that failed to open (-1) or a write
// error goes unnoticed, as for all configuration traffic.
template <size_t N>
void write_frame(int fd, const std::array<uint8_t, N> &frame)
{
    ssize_t ignored = write(fd, frame.data(), frame.size());
    (void)ignored;
}

// Builds the 13-byte parameter frame for `code` with parameter bytes
// `first` and `second`, writes it and prints `message`. The caller has
// already waited the command spacing.
void write_param_command(int fd, uint8_t code, uint8_t first, uint8_t second, const char *message)
{
    std::array<uint8_t, 13> frame{};
    std::copy(command_head.begin(), command_head.end(), frame.begin());
    frame[6] = code;
    frame[7] = 2;  // parameter bytes that follow
    frame[8] = first;
    frame[9] = second;
    frame[10] = static_cast<uint8_t>(modcrc(frame.data(), 10));
    frame[11] = 0x0D;
    frame[12] = 0x0A;
    write_frame(fd, frame);
    std::puts(message);
}

// The common case: wait, then send a one-value parameter command.
void send_param_command(int fd, uint8_t code, uint8_t value, const char *message)
{
    gw_sleep(COMMAND_SPACING_S);
    write_param_command(fd, code, value, 0, message);
}

}  // namespace

void set_w433_netid(int fd, uint8_t netid)
{
    gw_sleep(COMMAND_SPACING_S);
    std::printf("netid=%d\n", netid);
    write_param_command(fd, CODE_NETID, netid, 0, "set NETID");
}

void set_w433_breathtime(int fd, uint8_t breathtime)
{
    send_param_command(fd, CODE_BREATHTIME, breathtime, "set BREATH TIME");
}

void set_w433_RF_FACTOR(int fd, uint8_t factor)
{
    send_param_command(fd, CODE_RF_FACTOR, factor, "set RF_FACTOR");
}

void set_w433_RF_BW(int fd, uint8_t bandwidth)
{
    send_param_command(fd, CODE_RF_BW, bandwidth, "set RF_BW");
}

void set_w433_RF_MODE(int fd, uint8_t mode)
{
    send_param_command(fd, CODE_RF_MODE, mode, "set RF_MODE");
}

void set_w433_RF_POWER(int fd, uint8_t power)
{
    send_param_command(fd, CODE_RF_POWER, power, "set RF_POWER");
}

void set_w433_WAKE_TIMER(int fd, uint8_t timer)
{
    send_param_command(fd, CODE_WAKE_TIMER, timer, "set WAKE_UP_TIME");
}

void set_w433_COM_PAUDRATE(int fd, uint8_t first, uint8_t second)
{
    gw_sleep(COMMAND_SPACING_S);
    write_param_command(fd, CODE_COM_PAUDRATE, first, second, "set COM_PAUDRATE");
}

int set_w433_RF_FREQUENCY(int fd, uint32_t mhz)
{
    gw_sleep(COMMAND_SPACING_S);
    if (mhz < FREQ_MIN_MHZ || mhz > FREQ_MAX_MHZ)
        return -1;

    // Steps of 61.035 Hz, truncated; 510 MHz gives 8355861, within 24 bits.
    const uint32_t word = static_cast<uint32_t>(static_cast<double>(mhz) * 1e9 / 61035.0);

    std::array<uint8_t, 14> frame{};
    std::copy(command_head.begin(), command_head.end(), frame.begin());
    frame[6] = CODE_RF_FREQUENCY;
    frame[7] = 3;  // parameter bytes that follow
    frame[8] = static_cast<uint8_t>(word >> 16);
    frame[9] = static_cast<uint8_t>(word >> 8);
    frame[10] = static_cast<uint8_t>(word);
    frame[11] = static_cast<uint8_t>(modcrc(frame.data(), 11));
    frame[12] = 0x0D;
    frame[13] = 0x0A;
    write_frame(fd, frame);
    std::puts("set RF_FREQUENCY");
    return 0;
}

void w433_para_init(int fd, uint8_t netid, uint8_t breathtime, uint32_t freq_mhz)
{
    set_w433_netid(fd, netid);
    set_w433_breathtime(fd, breathtime);
    set_w433_RF_FACTOR(fd, 11);
    set_w433_RF_BW(fd, 7);
    set_w433_RF_MODE(fd, 1);
    set_w433_RF_POWER(fd, 7);
    set_w433_WAKE_TIMER(fd, 5);
    set_w433_COM_PAUDRATE(fd, 4, 0);
    (void)set_w433_RF_FREQUENCY(fd, freq_mhz);  // a rejected frequency is not reported
    gw_sleep(COMMAND_SPACING_S);
}
