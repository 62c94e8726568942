// Configuration commands of the radio modules.
//
// A module is configured by short command frames on its serial port:
//   AF AF 00 00 AF 80 <code> <n> <n parameter bytes> <checksum> 0D 0A
// where the checksum is modcrc over everything before it. Each command
// waits 1 s before it writes (the module needs that spacing), writes its
// frame with one write() whose result is not examined, and prints its
// message with puts(). No reply is read: whatever the module answers stays
// in the port's input queue for the radio pump.
#pragma once

#include <cstdint>

// Parameter commands, 13-byte frames with two parameter bytes; a wider
// integer passed in is cut to its low 8 bits by the parameter type.
void set_w433_netid(int fd, uint8_t netid);            // code 0x15, also prints "netid=%d\n"
void set_w433_breathtime(int fd, uint8_t breathtime);  // code 0x19
void set_w433_RF_FACTOR(int fd, uint8_t factor);       // code 0x0D
void set_w433_RF_BW(int fd, uint8_t bandwidth);        // code 0x0F
void set_w433_RF_MODE(int fd, uint8_t mode);           // code 0x11
void set_w433_RF_POWER(int fd, uint8_t power);         // code 0x17
void set_w433_WAKE_TIMER(int fd, uint8_t timer);       // code 0x1B
void set_w433_COM_PAUDRATE(int fd, uint8_t first, uint8_t second);  // code 0x09

// Frequency command, a 14-byte frame carrying the frequency as a big-endian
// 24-bit count of 61.035 Hz steps. Returns 0 when the frame was written, -1
// (after the usual 1 s wait, with nothing written or printed) when `mhz` lies
// outside 420..510.
int set_w433_RF_FREQUENCY(int fd, uint32_t mhz);

// The start-up sequence: net id, breath time, RF factor 11, bandwidth 7,
// mode 1, power 7, wake timer 5, serial rate 4/0, frequency; then one more
// second of quiet. About ten seconds in all.
void w433_para_init(int fd, uint8_t netid, uint8_t breathtime, uint32_t freq_mhz);
