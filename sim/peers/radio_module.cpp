#include "peers/radio_module.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const uint8_t CONFIG_HEAD[6] = {0xAF, 0xAF, 0x00, 0x00, 0xAF, 0x80};
constexpr size_t LONGEST_FRAME = 1024;  // anything longer is taken for noise

// The settings set by one parameter byte, by code, with their names.
const struct {
    uint8_t code;
    const char *name;
    int radio_settings::*field;
} ONE_BYTE_SETTINGS[] = {
    {0x15, "net id", &radio_settings::net_id},
    {0x19, "breath time", &radio_settings::breath_time},
    {0x0D, "RF factor", &radio_settings::rf_factor},
    {0x0F, "RF bandwidth", &radio_settings::rf_bandwidth},
    {0x11, "RF mode", &radio_settings::rf_mode},
    {0x17, "RF power", &radio_settings::rf_power},
    {0x1B, "wake timer", &radio_settings::wake_timer},
};

// What breaks the form of the whole command p of `total` bytes: checksum,
// ending, parameter count, unused second parameter; empty when none.
std::string config_form_fault(const uint8_t *p, size_t total)
{
    const uint8_t code = p[6], count = p[7];
    if (p[8 + count] != radio_modcrc(p, 8u + count))
        return "checksum";
    if (p[total - 2] != 0x0D || p[total - 1] != 0x0A)
        return "ending";
    if ((code == 0x0B) != (count == 3))
        return "parameter count for its code";
    if (count == 2 && code != 0x09 && p[9] != 0)
        return "second parameter";
    return "";
}

// The frequency word of command p: a whole MHz in 420..510, or a fault.
std::string apply_frequency(radio_settings &s, const uint8_t *p, std::string *fault)
{
    const uint32_t word =
        static_cast<uint32_t>(p[8]) << 16 | static_cast<uint32_t>(p[9]) << 8 | p[10];
    int mhz = 0;
    for (int m = 420; m <= 510 && mhz == 0; ++m)
        if (radio_frequency_word(m) == word)
            mhz = m;
    if (mhz == 0) {
        *fault = "frequency word " + std::to_string(word) + " is no whole MHz in 420..510";
        return "";
    }
    s.frequency_word = word;
    s.frequency_mhz = mhz;
    return "frequency " + std::to_string(mhz) + " MHz (word " + std::to_string(word) + ")";
}

// Applies the well-formed command p to s. Returns the setting in words, or
// "" with the fault in *fault.
std::string apply_config(radio_settings &s, const uint8_t *p, std::string *fault)
{
    const uint8_t code = p[6];
    const int v = p[8];
    for (const auto &one : ONE_BYTE_SETTINGS)
        if (one.code == code) {
            s.*one.field = v;
            return one.name + (" " + std::to_string(v));
        }
    if (code == 0x09) {
        s.serial_rate[0] = v;
        s.serial_rate[1] = p[9];
        return "serial rate " + std::to_string(v) + "/" + std::to_string(p[9]);
    }
    if (code == 0x0B)
        return apply_frequency(s, p, fault);
    *fault = "unknown code";
    return "";
}

}  // namespace

uint32_t radio_frequency_word(int mhz)
{
    return static_cast<uint32_t>(static_cast<double>(mhz) * 1e9 / 61035.0);
}

uint8_t radio_modcrc(const uint8_t *p, size_t n)
{
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    return static_cast<uint8_t>(sum & 0xFF);
}

RadioModule::RadioModule(int port, int lamps)
    : port_(port),
      lamps_(lamps < 0     ? 0
             : lamps > 255 ? 255
                           : lamps)
{
    for (int &l : levels_)
        l = 100;
}

bool RadioModule::start()
{
    line_.on_bytes = [this](const bytes &chunk) {
        if (on_read)
            on_read();
        take(chunk);
    };
    return line_.start();
}

std::array<uint8_t, 6> RadioModule::lamp_address(int n) const
{
    return {0x4C, 0x50, 0x00, static_cast<uint8_t>(port_), 0x00, static_cast<uint8_t>(n)};
}

bytes RadioModule::status_frame(int n)
{
    std::lock_guard<std::mutex> hold(lock_);
    ++sequence_;
    auto a = lamp_address(n);
    return make_frame(a.data(), lamp_type(), static_cast<uint8_t>(port_), static_cast<uint8_t>(n),
                      0x01,
                      {static_cast<uint8_t>(sequence_ >> 8), static_cast<uint8_t>(sequence_),
                       static_cast<uint8_t>(levels_[n & 0xFF]), 0x00});
}

bytes RadioModule::send_status(int n, std::chrono::steady_clock::time_point *sent)
{
    bytes f = status_frame(n);
    line_.send(f);
    auto at = std::chrono::steady_clock::now();
    if (sent)
        *sent = at;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++counts_.status_sent;
    }
    if (on_status)
        on_status(f, at);
    return f;
}

void RadioModule::send_raw(const bytes &b)
{
    line_.send(b);
}

radio_settings RadioModule::settings() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return settings_;
}

radio_counts RadioModule::counts() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return counts_;
}

std::string RadioModule::settings_text() const
{
    radio_settings s = settings();
    char t[200];
    std::snprintf(t, sizeof t,
                  "net id %d, breath %d, RF factor %d, bandwidth %d, mode %d, power %d, wake %d, "
                  "serial rate %d/%d, %d MHz",
                  s.net_id, s.breath_time, s.rf_factor, s.rf_bandwidth, s.rf_mode, s.rf_power,
                  s.wake_timer, s.serial_rate[0], s.serial_rate[1], s.frequency_mhz);
    return t;
}

void RadioModule::log(const std::string &line)
{
    if (on_log)
        on_log(line);
}

void RadioModule::take(const bytes &chunk)
{
    std::vector<int> answer;  // lamps to answer once the lock is released
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const int falls = key_falls_.load(), rises = key_rises_.load();
        keyed_ = key_.load() || (falls != falls_seen_ && rises != rises_seen_);
        falls_seen_ = falls;
        rises_seen_ = rises;
        pending_.insert(pending_.end(), chunk.begin(), chunk.end());
        int noise = 0;
        for (;;) {
            size_t used = parse_one();
            if (used == 0)
                break;
            if (used == SIZE_MAX) {  // one byte that starts nothing known
                ++noise;
                used = 1;
            } else if (noise > 0) {
                flush_noise(noise);
            }
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(used));
        }
        if (noise > 0)
            flush_noise(noise);
        lines.swap(log_queue_);
        answer.swap(answer_queue_);
    }
    for (auto &l : lines)
        log(l);
    for (int n : answer)
        send_status(n);
}

void RadioModule::flush_noise(int &noise)
{
    counts_.noise_bytes += noise;
    log_queue_.push_back("skipped " + std::to_string(noise) +
                         " byte(s) that start no command or frame");
    noise = 0;
}

// Called with lock_ held. Returns the bytes to drop from the front of
// pending_: a whole command or frame, SIZE_MAX for one byte of noise, or 0
// while the bytes so far could still begin something.
size_t RadioModule::parse_one()
{
    const size_t n = pending_.size();
    if (n == 0)
        return 0;
    if (n >= 4 && pending_[2] == 0xA3 && pending_[3] == 0x20)
        return parse_radio_form();
    const size_t head = n < 6 ? n : 6;
    if (std::memcmp(pending_.data(), CONFIG_HEAD, head) == 0)
        return head == 6 ? parse_config() : 0;
    // Two prefix bytes may still be followed by A3 20.
    if (n < 3 || (n == 3 && pending_[2] == 0xA3))
        return 0;
    return SIZE_MAX;
}

// A configuration command: header, code, count (2, or 3 for the frequency),
// parameters, checksum over everything before it, 0D 0A.
size_t RadioModule::parse_config()
{
    const uint8_t *p = pending_.data();
    if (pending_.size() < 8)
        return 0;
    const uint8_t count = p[7];
    if (count != 2 && count != 3) {
        ++counts_.config_bad;
        log_queue_.push_back("bad configuration command: parameter count " + std::to_string(count) +
                             " in " + hex(p, 8));
        return 8;
    }
    const size_t total = 8u + count + 3u;
    if (pending_.size() < total)
        return 0;
    const std::string text = hex(p, total);
    std::string fault = config_form_fault(p, total);
    const std::string what = fault.empty() ? apply_config(settings_, p, &fault) : "";
    if (!fault.empty()) {
        ++counts_.config_bad;
        log_queue_.push_back("bad configuration command (" + fault + "): " + text);
    } else {
        ++counts_.config_ok;
        log_queue_.push_back("config " + text + " : " + what);
    }
    return total;
}

// A frame in radio form: two prefix bytes, then A3 20, length L, L bytes,
// CRC-16 high byte first; L + 8 bytes in all.
size_t RadioModule::parse_radio_form()
{
    const uint8_t *p = pending_.data();
    if (pending_.size() < 6)
        return 0;
    const size_t len = static_cast<size_t>(p[4]) << 8 | p[5];
    const size_t total = len + 8;
    if (total > LONGEST_FRAME)
        return SIZE_MAX;
    if (pending_.size() < total)
        return 0;
    const uint8_t *f = p + 2;  // the frame itself
    const uint16_t crc = modbus_crc(f, len + 4);
    if (f[len + 4] != (crc >> 8) || f[len + 5] != (crc & 0xFF)) {
        ++counts_.frames_bad;
        log_queue_.push_back("frame with a wrong CRC: " + hex(p, total));
        return SIZE_MAX;
    }
    std::string line = "<- " + hex(p, total);
    if (len < 10) {
        ++counts_.frames;
        log_queue_.push_back(line + " : too short for type and command");
        return total;
    }
    const uint8_t command = f[13];
    line += " : " + describe_frame(bytes(f, f + len + 6));
    ++counts_.frames;
    if (p[0] != f[11] || p[1] != f[12]) {
        ++counts_.frames_bad;
        line += ", PREFIX DIFFERS FROM FRAME BYTES 11-12";
    }
    if (!keyed_) {
        ++counts_.frames_unkeyed;
        line += ", unkeyed";
    }
    const auto mine = lamp_address(0);
    if (std::memcmp(f + 4, mine.data(), 5) == 0 && f[9] >= 1 && f[9] <= lamps_) {
        const int lamp = f[9];
        if (command == 0x02 && len >= 11)
            levels_[lamp] = f[14];
        ++counts_.lamp_answers;
        answer_queue_.push_back(lamp);
        line += ", lamp " + std::to_string(lamp) + " answers";
    }
    log_queue_.push_back(line);
    return total;
}
