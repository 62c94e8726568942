// A radio module with its street lamps, on a pseudo-terminal: the far side
// of /dev/ttyO1 (434 MHz) or /dev/ttyO2 (450 MHz).
//
// What the gateway writes is taken apart as it arrives:
//  - configuration commands (AF AF 00 00 AF 80, code, count, parameters,
//    additive checksum, 0D 0A): checked to the byte and applied to the
//    module's settings; a command that breaks the format is counted as bad;
//  - frames in radio form (two prefix bytes, then A3 20 ... CRC): checked
//    (CRC, prefix equal to frame bytes 11 and 12) and, when addressed to one
//    of this module's lamps, answered by that lamp with a status frame;
//  - anything else is skipped byte by byte and counted as noise.
// Every event is reported as one line through on_log.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "peers/street.h"

// The settings a module ends up with; -1 (or 0 MHz) for "never set".
struct radio_settings {
    int net_id = -1;
    int breath_time = -1;
    int rf_factor = -1;
    int rf_bandwidth = -1;
    int rf_mode = -1;
    int rf_power = -1;
    int wake_timer = -1;
    int serial_rate[2] = {-1, -1};
    uint32_t frequency_word = 0;
    int frequency_mhz = 0;  // the whole MHz whose word the module received
};

struct radio_counts {
    int config_ok = 0;       // well-formed configuration commands
    int config_bad = 0;      // configuration commands that broke the format
    int frames = 0;          // well-formed frames in radio form
    int frames_bad = 0;      // radio forms with a wrong CRC or prefix
    int frames_unkeyed = 0;  // frames that arrived while the key line was low
    int lamp_answers = 0;    // status frames sent in answer to a frame
    int status_sent = 0;     // status frames sent, answers included
    int noise_bytes = 0;     // bytes that started nothing known
};

// The frequency word for a whole number of MHz: MHz * 1e9 / 61035, truncated.
uint32_t radio_frequency_word(int mhz);
// The additive checksum of the configuration commands: sum of bytes mod 256.
uint8_t radio_modcrc(const uint8_t *p, size_t n);

class RadioModule {
public:
    // port: 1 for /dev/ttyO1 (lamps send type 1), 2 for /dev/ttyO2 (type 5).
    RadioModule(int port, int lamps);
    // Ends the line's reader first: it calls take(), which uses the members
    // declared after the line.
    ~RadioModule() { line_.hang_up(); }
    RadioModule(const RadioModule &) = delete;
    RadioModule &operator=(const RadioModule &) = delete;

    bool start();
    const std::string &path() const { return line_.path(); }
    int port() const { return port_; }
    int lamps() const { return lamps_; }
    uint8_t lamp_type() const { return port_ == 1 ? 1 : 5; }

    // The six-byte address of lamp n (1-based): 4C 50 00 <port> 00 <n>.
    std::array<uint8_t, 6> lamp_address(int n) const;
    // Lamp n's status frame: its address, the module's lamp type, radio
    // prefix <port> <n>, command 01, payload: sequence (2 bytes), level, 00.
    bytes status_frame(int n);
    // Lamp n sends its status; returns the frame and, in *sent, the moment
    // the last byte was handed to the line.
    bytes send_status(int n, std::chrono::steady_clock::time_point *sent = nullptr);
    void send_raw(const bytes &b);
    // True once every byte the gateway wrote before the call is taken.
    bool drain(int timeout_ms) { return line_.drain(timeout_ms); }

    // The level of this module's transmit key line, fed from the GPIO tree.
    // Bytes count as keyed when the key is high as they are taken, or when a
    // whole window opened and closed since the last bytes were taken: the
    // window may close before the reader gets to bytes written inside it.
    void set_key(bool high)
    {
        if (key_.exchange(high) != high)
            (high ? key_rises_ : key_falls_).fetch_add(1);
    }

    radio_settings settings() const;
    radio_counts counts() const;
    std::string settings_text() const;  // one line, for logs and summaries

    // Called with one line per event; set before start().
    std::function<void(const std::string &line)> on_log;
    // Optional: called on the reader thread before each chunk is taken, e.g.
    // to bring the key level up to date. Set before start().
    std::function<void()> on_read;
    // Called with every status frame a lamp sends, after it was sent.
    std::function<void(const bytes &frame, std::chrono::steady_clock::time_point sent)> on_status;

    // Takes bytes as the gateway wrote them; public so tests can feed it.
    void take(const bytes &chunk);

private:
    size_t parse_one();  // bytes consumed from pending_, 0 when it needs more
    size_t parse_config();
    size_t parse_radio_form();
    void flush_noise(int &noise);
    void log(const std::string &line);

    const int port_, lamps_;
    SerialPeer line_;
    std::atomic<bool> key_{false};
    std::atomic<int> key_rises_{0}, key_falls_{0};
    int rises_seen_ = 0, falls_seen_ = 0;  // the counts when the last chunk was taken
    bool keyed_ = false;                   // the chunk being taken arrived keyed
    mutable std::mutex lock_;
    bytes pending_;
    radio_settings settings_;
    radio_counts counts_;
    int levels_[256] = {};
    uint16_t sequence_ = 0;
    std::vector<std::string> log_queue_;  // lines to report once lock_ is released
    std::vector<int> answer_queue_;       // lamps to answer once lock_ is released
};
