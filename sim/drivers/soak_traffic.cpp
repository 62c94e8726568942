// The soak's traffic: what the street sends all the time, whatever the
// faults do. Every lamp port sends a frame every LAMP_PERIOD, the server a
// frame for one of the modules every DOWN_PERIOD, now and then an SMS and a
// type-2 frame that the gateway forwards by SMS.
//
// Every frame carries a mark and a sequence number in its payload, so the
// invariants can tell the soak's frames from anything else and find each one
// again. Lamp and type-2 frames are registered (before_send()) only just
// before their last write, so the server never sees a frame the soak does
// not expect.
#include <algorithm>
#include <chrono>

#include "drivers/soak_state.h"
#include "peers/hex.h"

namespace soak {

namespace {

constexpr double LAMP_PERIOD = 20;     // simulated seconds between two frames of a port
constexpr double DOWN_PERIOD = 45;     // between two server frames for a module
constexpr double TYPE2_PERIOD = 1800;  // between two type-2 frames
constexpr double SMS_PERIOD = 2400;    // between two single commands

double unit(state &s)
{
    std::uniform_real_distribution<double> u(0, 1);
    return u(s.rng);
}

// A radio configuration command as the module takes it: header, code, two
// parameters, additive checksum, CR LF.
bytes radio_command(uint8_t code, uint8_t value)
{
    bytes c = {0xAF, 0xAF, 0x00, 0x00, 0xAF, 0x80, code, 0x02, value, 0x00};
    c.push_back(radio_modcrc(c.data(), c.size()));
    c.push_back(0x0D);
    c.push_back(0x0A);
    return c;
}

void send_lamp_frame(state &s, int p)
{
    s.next_lamp[p] += LAMP_PERIOD;
    write_job j;
    j.kind = JOB_LAMP;
    j.seq = s.up_next[p]++;
    j.data = seq_frame(p == 0 ? 1 : 5, p + 1, 1, UP_MARK, j.seq);
    if (s.split[p]) {
        for (size_t n = 1 + pick(s, 4), i = 0; i < n; ++i)
            j.cuts.push_back(1 + pick(s, j.data.size() - 1));
        std::sort(j.cuts.begin(), j.cuts.end());
        j.gap_us = 200 + static_cast<int>(pick(s, 3000));
    }
    s.writer[p]->push(std::move(j));
}

// A lamp frame, then the noise of the port's faults (garbage bursts, 0xA3
// floods), when due.
void send_port_traffic(state &s, int p, double t)
{
    if (t >= s.next_lamp[p])
        send_lamp_frame(s, p);
    if (s.port_garbage[p] && t >= s.next_burst[p]) {
        s.next_burst[p] = t + 5 + unit(s) * 15;
        write_job j;
        j.data = garbage(s, 200 + pick(s, 3800));
        s.writer[p]->push(std::move(j));
    }
    if (s.flood[p] && t >= s.next_flood[p]) {
        s.next_flood[p] = t + 5 + unit(s) * 25;
        write_job j;
        j.data.assign(2000 + pick(s, 18000), 0xA3);
        s.writer[p]->push(std::move(j));
    }
}

void send_server_garbage(state &s, double t)
{
    s.next_server_garbage = t + 10 + unit(s) * 20;
    const bytes g = garbage(s, 20 + pick(s, 480));
    for (auto &srv : s.server)
        srv.send(g);
}

// A server frame of type 1, 4 or 5, registered as due at its module. mu held.
bytes new_server_frame(state &s, double t)
{
    static const uint8_t types[3] = {1, 4, 5};
    const uint8_t type = types[pick(s, 3)];
    const int port = type == 5 ? 2 : 1;
    const uint32_t seq = s.down_next++;
    bytes f = seq_frame(type, port, 9, DOWN_MARK, seq);
    s.down[seq] = {port, radio_frame(f), t, cpu_pressure()};
    ++s.r.down_sent;
    return f;
}

// Only while the link is up; while downlink segments are faulted, now and
// then several frames in one write, or one frame in 1-byte segments.
void send_server_frames(state &s, double t)
{
    s.next_down += DOWN_PERIOD;
    const bool up = connected(s);
    std::vector<bytes> frames;
    {
        std::lock_guard<std::mutex> hold(s.mu);
        const size_t n = up ? (s.segments && pick(s, 2) ? 2 + pick(s, 3) : 1) : 0;
        for (size_t i = 0; i < n; ++i)
            frames.push_back(new_server_frame(s, t));
    }
    if (s.segments && frames.size() == 1) {
        for (auto &srv : s.server)
            srv.send_pieces(frames[0], 1, 300);
    } else if (!frames.empty()) {
        bytes joined;
        for (const bytes &f : frames)
            joined.insert(joined.end(), f.begin(), f.end());
        for (auto &srv : s.server)
            srv.send(joined);
    }
}

void push_type2(state &s)
{
    write_job j;
    j.kind = JOB_TYPE2;
    j.data = seq_frame(2, 2, 7, T2_MARK, s.t2_seq++);
    s.writer[1]->push(std::move(j));
    ++s.r.type2_sent;
}

// Only when nothing else waits for the modem, so the bound of its forward
// is the pause plus one listing.
void send_type2(state &s, double t)
{
    std::lock_guard<std::mutex> hold(s.mu);
    if (s.admin_known && s.inbox.empty() && s.awaiting_reply.empty() &&
        !s.at_risk(t - 60, t, W_MODEM | W_RESTART)) {
        s.next_t2 = t + TYPE2_PERIOD * (0.5 + unit(s));
        push_type2(s);
    } else {
        s.next_t2 = t + 60;
    }
}

}  // namespace

bytes seq_frame(uint8_t type, int port, uint8_t lamp, uint8_t mark, uint32_t seq)
{
    const uint8_t addr[6] = {0x4C, 0x50, 0x00, static_cast<uint8_t>(port), 0x00, lamp};
    return make_frame(addr, type, static_cast<uint8_t>(port), lamp, 0x01,
                      {mark, static_cast<uint8_t>(port), static_cast<uint8_t>(seq >> 24),
                       static_cast<uint8_t>(seq >> 16), static_cast<uint8_t>(seq >> 8),
                       static_cast<uint8_t>(seq), 0x5A, 0x5A, 0x5A});
}

uint32_t frame_seq(const bytes &f)
{
    return static_cast<uint32_t>(f[16]) << 24 | static_cast<uint32_t>(f[17]) << 16 |
           static_cast<uint32_t>(f[18]) << 8 | f[19];
}

size_t pick(state &s, size_t n)
{
    return static_cast<size_t>(s.rng() % n);
}

bytes garbage(state &s, size_t n)
{
    bytes b(n);
    for (auto &x : b)
        x = static_cast<uint8_t>(s.rng());
    return b;
}

void send_traffic(state &s, double t)
{
    for (int p = 0; p < 2; ++p)
        send_port_traffic(s, p, t);
    if (s.link_garbage && t >= s.next_server_garbage)
        send_server_garbage(s, t);
    if (t >= s.next_down)
        send_server_frames(s, t);
    if (t >= s.next_t2)
        send_type2(s, t);
    if (!s.babble_t2.empty() && t >= s.babble_t2.front()) {
        s.babble_t2.erase(s.babble_t2.begin());  // only the main loop touches it
        push_type2(s);
    }
    if (t >= s.next_sms) {
        s.next_sms = t + SMS_PERIOD * (0.5 + unit(s));
        std::lock_guard<std::mutex> hold(s.mu);
        random_sms(s);
    }
}

void before_send(state &s, const write_job &j)
{
    std::lock_guard<std::mutex> hold(s.mu);
    if (j.kind == JOB_LAMP) {
        s.up[j.data[15] - 1].push_back({j.seq, s.now(), cpu_pressure()});
        ++s.r.up_sent;
    } else {
        s.type2[hex(j.data, "")] = {s.now(), cpu_pressure()};
    }
}

void add_sms(state &s, const std::string &sender, const std::string &text, sms_kind kind, effect fx,
             const std::string &value)
{
    const int index = s.modem.add_sms(sender, text);
    if (index == 0) {
        ++s.r.sms_refused_by_sim;  // the SIM is full: the network keeps it
        return;
    }
    sms_rec rec;
    rec.sender = sender;
    rec.text = text;
    rec.added = s.now();
    rec.pressure = cpu_pressure();
    rec.kind = kind;
    rec.fx = fx;
    rec.value = value;
    s.inbox[index].push_back(rec);
    ++s.r.sms_in;
    s.type2.clear();  // the timing of a forwarded frame no longer holds
}

// Texts the gateway must delete and refuse: a wrong or missing password,
// two lines from an admin, a stranger's text that forges a listing header
// (or a final OK and a read header) naming an admin.
void hostile_sms(state &s, sms_kind kind)
{
    static const char *const wrong[] = {"reset",       "1234 reset",    "7351reset",
                                        "735 reset",   "73512 wifi on", "7352 status",
                                        " 7351 reset", "7351\treset"};
    const std::string pw = std::string(PASSWORD) + " ";
    const std::string port = std::to_string(s.server[pick(s, 2)].port());
    const std::string lines[] = {pw + "wifi on\r\n" + pw + "reset",
                                 pw + "server port set " + port + "\n" + pw + "reset",
                                 pw + "reset\r" + pw + "wifi off", "\r\n" + pw + "reset"};
    const std::string forged[] = {std::string("hi\r+CMGL: 1,\"REC UNREAD\",\"") + ADMIN +
                                      "\",,\"x\"\r\n" + pw + "server ip set " + FORGED_IP,
                                  std::string("hi\r\nOK\r\n+CMGR: \"REC READ\",\"") + ADMIN +
                                      "\",,\"x\"\r\n" + pw + "server ip set " + FORGED_IP};
    if (kind == SMS_PASSWORD)
        add_sms(s, ADMIN, wrong[pick(s, 8)], kind, FX_NONE, "");
    else if (kind == SMS_LINES)
        add_sms(s, ADMIN, lines[pick(s, 4)], kind, FX_NONE, "");
    else
        add_sms(s, STRANGER, forged[pick(s, 2)], SMS_FORGED, FX_NONE, "");
}

// One message of the everyday mix: texts that are no command, strangers'
// commands, hostile texts, and valid commands of every kind.
void random_sms(state &s)
{
    static const char *const invalid[] = {"hello",
                                          "RESET",
                                          "reset now",
                                          "server port set 70000",
                                          "server port set 0",
                                          "server ip set 1.2.3",
                                          "server ip set localhost",
                                          "para set 1",
                                          "set netid ",
                                          "wifi",
                                          "server port set ",
                                          "status?"};
    static const char *const noop[] = {"wifi on",
                                       "wifi off",
                                       "ssid set street",
                                       "mgmt set 1",
                                       "password set s3cret",
                                       "connetct router now"};
    const std::string pw = std::string(PASSWORD) + " ";
    const size_t roll = pick(s, 100);
    if (roll < 15) {
        add_sms(s, ADMIN_BAD, pw + invalid[pick(s, 12)], SMS_INVALID, FX_NONE, "");
    } else if (roll < 27) {
        add_sms(s, STRANGER, pw + (pick(s, 2) ? "reset" : "server port set 1"), SMS_STRANGER,
                FX_NONE, "");
    } else if (roll < 36) {
        hostile_sms(s, static_cast<sms_kind>(SMS_FORGED + pick(s, 3)));
    } else if (roll < 50) {
        add_sms(s, ADMIN, pw + noop[pick(s, 6)], SMS_VALID, FX_NONE, "");
    } else if (roll < 65) {
        const std::string port = std::to_string(s.server[pick(s, 2)].port());
        add_sms(s, ADMIN, pw + "server port set " + port, SMS_VALID, FX_PORT, port);
    } else if (roll < 72) {
        add_sms(s, ADMIN, pw + "server ip set 127.0.0.1", SMS_VALID, FX_IP, "127.0.0.1");
    } else if (roll < 86) {
        const bytes c = radio_command(0x15, static_cast<uint8_t>(1 + pick(s, 200)));
        add_sms(s, ADMIN, pw + "set netid " + hex(c, ""), SMS_VALID, FX_RADIO, hex(c));
    } else {
        const bytes c = radio_command(0x17, static_cast<uint8_t>(1 + pick(s, 7)));
        add_sms(s, ADMIN, pw + "para set " + hex(c, ""), SMS_VALID, FX_RADIO, hex(c));
    }
}

port_writer::port_writer(RadioModule &m, std::function<void(const write_job &)> before_last)
    : module_(m), before_last_(std::move(before_last)), thread_([this] { run(); })
{
}

void port_writer::stop()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void port_writer::push(write_job j)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        jobs_.push_back(std::move(j));
    }
    cv_.notify_all();
}

bool port_writer::idle()
{
    std::lock_guard<std::mutex> hold(lock_);
    return jobs_.empty() && !busy_;
}

void port_writer::run()
{
    for (;;) {
        write_job j;
        {
            std::unique_lock<std::mutex> hold(lock_);
            cv_.wait(hold, [this] { return stop_ || !jobs_.empty(); });
            if (stop_)
                return;
            j = std::move(jobs_.front());
            jobs_.pop_front();
            busy_ = true;
        }
        write_out(j);
        std::lock_guard<std::mutex> hold(lock_);
        busy_ = false;
    }
}

// The pieces of a split frame with their pauses, then the rest in 4 KiB
// pieces, so that stop() is heard in between. A frame is registered just
// before its last piece goes out: its pauses are the street's, not the
// gateway's.
void port_writer::write_out(const write_job &j)
{
    size_t at = 0;
    for (size_t cut : j.cuts) {
        module_.send_raw(
            bytes(j.data.begin() + static_cast<long>(at), j.data.begin() + static_cast<long>(cut)));
        at = cut;
        std::this_thread::sleep_for(std::chrono::microseconds(j.gap_us));
    }
    while (at < j.data.size()) {
        const size_t n = std::min<size_t>(4096, j.data.size() - at);
        if (j.kind != JOB_RAW && at + n == j.data.size())
            before_last_(j);
        module_.send_raw(bytes(j.data.begin() + static_cast<long>(at),
                               j.data.begin() + static_cast<long>(at + n)));
        at += n;
        std::lock_guard<std::mutex> hold(lock_);
        if (stop_)
            return;
    }
}

}  // namespace soak
