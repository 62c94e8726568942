// Keyed transmission to the radio modules.
//
// A module only sends on air while its transmit key line is high. A keyed
// transmission raises the key, waits 100 ms for the transmitter to come up,
// writes the data with one write(), logs it, waits 1 s for the module to
// get the data out, and lowers the key.
//
// Several threads send to the same module (the SMS commands and the server
// pump both use the 434 MHz module). Each key line has its own lock, held
// for the whole window from raising the key to lowering it, so one sender
// never lowers the key under another's data and writes to a module do not
// interleave. Anyone else writing to a keyed module's port takes the same
// lock around the write.
#pragma once

#include <cstdint>
#include <mutex>

// The key lines are board.gpio_key_other (the 434 MHz module on /dev/ttyO1)
// and board.gpio_key_ludeng (the 450 MHz module on /dev/ttyO2).

// The lock of a key line: one for each module's key, and one shared by any
// other line number. Lives as long as the process.
std::mutex &transmit_key_lock(int key_gpio);

// One keyed transmission under the key's lock: key high, 100 ms, one write
// of `len` bytes of `data` to `fd` (result ignored; nothing is written when
// len <= 0), outputlogmessage(label, log_data, log_len), 1 s, key low.
// Failed GPIO operations and writes do not change the sequence; the key is
// always lowered at the end.
void keyed_transmit(int key_gpio, int fd, const uint8_t *data, int len, const uint8_t *log_data,
                    int log_len, const char *label);

// Keyed transmission of `len` bytes to the 434 MHz module, logged as
// "send data to voz433:". Always keys board.gpio_key_other, whatever `fd` is.
void SendDataTo433(int fd, const uint8_t *data, int len);

// Plain write of a caller-built parameter record, no key and no log. The
// record's bytes 8-9 hold, in host byte order, how many bytes of the record
// (from its first byte) to write.
void w433_parameter_config(int fd, const uint8_t *record);
