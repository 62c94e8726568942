// The soak's invariants, one section per name (docs/reliability.md says
// what each holds). An invariant judges events as the street sees them (the
// handlers the street's threads call) and what is overdue (the checks the
// main loop runs about once a simulated second, run_checks()). A broken
// invariant calls state::fail() with its name; the first one ends the run.
// `counters` has a file of its own (soak_counters.cpp).
//
// Timed bounds are simulated seconds plus the machine's share: a fixed
// allowance of real time (real_slack), the soak's own oversleeps since the
// event (stalled) and the kernel's pressure figures since then. A busy
// machine widens a bound by what it took; a gateway that is late on its own
// account still breaks it. A check that fails returns false where its caller
// must then skip the checks after it (check_overdue()), so a broken run
// reports the same figures as it always did.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <sys/wait.h>

#include "drivers/soak_state.h"
#include "peers/hex.h"

namespace soak {

namespace {

constexpr double PASS_S = 20;  // one supervision pass
constexpr int DAILY_PASSES = 4320;
constexpr double FEED_FIRST = 20;     // start of the process to the start-up pulse
constexpr double FEED_STARTUP = 60;   // start-up pulse to the first pass's feed
constexpr double FEED_GAP = 25;       // between two feeds of the supervision loop
constexpr double TYPE2_SLACK = 1;     // beyond the 4 s pause and one listing
constexpr double REPLY_AFTER = 60;    // a command unanswered
constexpr double DELETE_AFTER = 180;  // an SMS never deleted
constexpr double SIM_AGE = 120;       // longest stay on the SIM outside modem faults
constexpr double BABBLE_MEDIAN = 1;   // lamp frames' median way while the modem babbles
constexpr double SAMPLE_EVERY = 60;   // resource samples

std::string port_name(int p)
{
    return "/dev/ttyO" + std::to_string(p + 1);
}
double lost_after(const state &s)
{
    return LOST_AFTER + s.real_slack(250);
}
// How long something sent at `sent` (with cpu_pressure() then) may stay
// pending before it counts as lost: a stalled machine delays it, only the
// gateway may lose it. mu held.
double overdue_after(const state &s, double sent, double pressure_then, double pressure_now)
{
    return lost_after(s) + s.stalled(sent) + (pressure_now - pressure_then) * s.scale;
}

std::string unquote(std::string s)
{
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        s = s.substr(1, s.size() - 2);
    return s;
}

// ---- watchdog: the watchdog line rises within FEED_FIRST of a process start, within
// FEED_STARTUP after that, then within FEED_GAP of the previous feed, while
// the gateway is not asking for a reboot. ----

bool check_watchdog(state &s, double t)
{
    const double bound = s.feeds == 0 ? FEED_FIRST : s.feeds == 1 ? FEED_STARTUP : FEED_GAP;
    const double ref = s.feeds == 0 ? s.life_start : s.last_feed;
    const double since = t - ref, slack = s.real_slack(30) + s.stalled(ref) +
                                          (cpu_pressure() - s.feed_pressure) * s.scale;
    if (since <= bound + slack)
        return true;
    char b[160];
    std::snprintf(b, sizeof b,
                  "no watchdog feed for %.0f s (bound %.0f s + %.0f s slack, %d feeds since the "
                  "start)",
                  since, bound, slack, s.feeds);
    s.fail("watchdog", b);
    return false;
}

// ---- daily-reboot: start-up feeds once, then every pass: the 4320th pass
// is the last one that feeds before the daily reboot. ----

void check_daily_reboot(state &s, double t)
{
    if (s.feeds > DAILY_PASSES + 1)
        s.fail("daily-reboot", "the gateway fed the watchdog " + std::to_string(s.feeds) +
                                   " times in " +
                                   std::to_string(static_cast<long>(t - s.life_start)) +
                                   " s without asking for its daily reboot");
}

// ---- uplink: every lamp frame reaches the server once, byte for byte, in
// order per port; only frames sent in a window of their port, the link or a
// restart (or up to uplink_reach() before one) may be lost. ----

// Frame f of port p is given up as lost; false (and a failure) when nothing
// excuses it. mu held.
bool give_up_lamp_frame(state &s, int p, const up_pending &f, const std::string &because)
{
    if (!s.at_risk(f.sent - 1, f.sent + s.uplink_reach(), uplink_scope(p))) {
        s.fail("uplink", "lamp frame " + std::to_string(f.seq) + " of " + port_name(p) +
                             " sent at " + fmt_time(f.sent) +
                             " outside any fault window never reached the server" + because);
        return false;
    }
    ++s.r.up_risk;
    ++s.r.up_risk_lost;
    ++s.life.up_lost[p];
    return true;
}

bool check_uplink(state &s, double t, double pressure)
{
    for (int p = 0; p < 2; ++p) {
        auto &q = s.up[p];
        while (!q.empty() && t - q.front().sent >
                                 overdue_after(s, q.front().sent, q.front().pressure, pressure)) {
            const up_pending f = q.front();
            q.pop_front();
            if (!give_up_lamp_frame(s, p, f, ""))
                return false;
        }
    }
    return true;
}

void babble_frame(state &s, int p, const up_pending &got, double at);

// Frame seq of port p reached the server. mu held.
void uplink_frame_seen(state &s, int p, uint32_t seq, const bytes &f)
{
    auto &q = s.up[p];
    if (q.empty() || seq < q.front().seq) {
        s.fail("uplink", "lamp frame " + std::to_string(seq) + " of " + port_name(p) +
                             " reached the server twice or out of order");
        return;
    }
    if (f != seq_frame(p == 0 ? 1 : 5, p + 1, 1, UP_MARK, seq)) {
        s.fail("uplink", "lamp frame " + std::to_string(seq) + " of " + port_name(p) +
                             " reached the server changed: " + hex(f));
        return;
    }
    // Frames sent before it and still missing are lost: order is kept.
    while (!q.empty() && q.front().seq < seq) {
        const up_pending lost = q.front();
        q.pop_front();
        if (!give_up_lamp_frame(s, p, lost, " (frame " + std::to_string(seq) + " did)"))
            return;
    }
    if (q.empty() || q.front().seq != seq) {
        s.fail("uplink", "lamp frame " + std::to_string(seq) + " of " + port_name(p) +
                             " reached the server but was never sent");
        return;
    }
    const up_pending got = q.front();
    q.pop_front();
    ++s.r.up_delivered;
    if (!s.babbles.empty())
        babble_frame(s, p, got, s.now());
    if (s.at_risk(got.sent - 1, got.sent + s.uplink_reach(), uplink_scope(p))) {
        ++s.r.up_risk;
        ++s.r.up_risk_delivered;
    }
}

// ---- downlink: every server frame sent while the link is up reaches its
// module once, byte for byte in radio form, on the right port; lost only in
// a link or restart window. downlink-key: ... and inside its transmit key
// window (the module's reader drains the GPIO FIFOs before it looks at
// bytes, so every level written before them is known). ----

bool check_downlink_key(state &s, int k, uint32_t seq, const std::string &line)
{
    if (line.find(", unkeyed") == std::string::npos)
        return true;
    s.fail("downlink-key", "server frame " + std::to_string(seq) + " reached " + port_name(k) +
                               " outside a transmit key window");
    return false;
}

// A frame in radio form reached module k: "<- " and its bytes.
void downlink_arrived(state &s, int k, const std::string &line)
{
    const size_t sep = line.find(" : ");
    bytes rf;
    parse_hex(std::string_view(line).substr(3, sep == std::string::npos ? sep : sep - 3), &rf);
    if (rf.size() != 27 || rf[16] != DOWN_MARK)
        return;  // not one of ours
    const bytes f(rf.begin() + 2, rf.end());
    const uint32_t seq = frame_seq(f);
    std::lock_guard<std::mutex> hold(s.mu);
    auto it = s.down.find(seq);
    if (it == s.down.end()) {
        s.fail("downlink", "server frame " + std::to_string(seq) + " reached " + port_name(k) +
                               " again, or after it was given up: " + line);
        return;
    }
    if (it->second.port != k + 1 || it->second.radio != rf) {
        s.fail("downlink", "server frame " + std::to_string(seq) + " reached " + port_name(k) +
                               " changed or on the wrong port: " + line);
        return;
    }
    if (!check_downlink_key(s, k, seq, line))
        return;
    ++s.r.down_delivered;
    s.down.erase(it);
}

bool check_downlink(state &s, double t, double pressure)
{
    for (auto it = s.down.begin(); it != s.down.end();) {
        const down_pending &d = it->second;
        if (t - d.sent <= overdue_after(s, d.sent, d.pressure, pressure)) {
            ++it;
            continue;
        }
        if (!s.at_risk(d.sent - 1, d.sent + 30 + s.uplink_reach(), W_LINK | W_RESTART)) {
            s.fail("downlink", "server frame " + std::to_string(it->first) + " for /dev/ttyO" +
                                   std::to_string(d.port) + " sent at " + fmt_time(d.sent) +
                                   " with the link up never reached its module");
            return false;
        }
        ++s.r.down_risk;
        ++s.r.down_risk_lost;
        it = s.down.erase(it);
    }
    return true;
}

// ---- sim-age: outside a modem fault window no message stays on the SIM
// longer than SIM_AGE. The gateway lists every message at least once a
// minute and a fresh process lists them all first, so neither a lost or cut
// listing nor a restart may keep one there. The age runs from the later of
// its arrival and the end of the last modem window it met. ----

double sim_age(const state &s, const sms_rec &m, double t)
{
    const double e = s.risk_end(m.added, W_MODEM);
    return e == INF ? 0 : t - std::max(e, m.added);
}

void check_sim_age(state &s, double t)
{
    const double pressure = cpu_pressure();
    for (const auto &slot : s.inbox)
        for (const sms_rec &m : slot.second) {
            const double age = sim_age(s, m, t);
            const double share =
                s.real_slack(30) + s.stalled(t - age) + (pressure - m.pressure) * s.scale;
            if (age <= SIM_AGE + share)
                continue;
            char b[120];
            std::snprintf(b, sizeof b, " has stayed %.0f s on the SIM (bound %.0f s + %.0f s", age,
                          SIM_AGE, share);
            s.fail("sim-age",
                   "\"" + m.text + "\" from " + m.sender + b + " for the machine's share)");
            return;
        }
}

// ---- sms-delete: every stored SMS is deleted exactly once, never before
// it was read (listed, or read with AT+CMGR). A message read and then left
// (a cut listing, a restart, a failed delete) is found again by the next
// listing of all: nothing excuses one that stays DELETE_AFTER past the last
// modem or restart window. ----

// Takes the deleted message off the soak's inbox into *rec. mu held.
bool take_deleted(state &s, bool found, const emu_sms &m, sms_rec *rec)
{
    if (!found) {
        s.fail("sms-delete", "AT+CMGD of index " + std::to_string(m.index) +
                                 ", which holds no message: a message deleted twice");
        return false;
    }
    auto it = s.inbox.find(m.index);
    if (it == s.inbox.end() || it->second.front().text != m.text) {
        s.fail("sms-delete", "a message the soak did not store was deleted: " + m.text);
        return false;
    }
    if (!m.read) {
        s.fail("sms-delete", "\"" + m.text + "\" was deleted before it was read");
        return false;
    }
    *rec = it->second.front();
    it->second.pop_front();
    if (it->second.empty())
        s.inbox.erase(it);
    return true;
}

void check_sms_delete(state &s, double t)
{
    for (const auto &slot : s.inbox)
        for (const sms_rec &m : slot.second) {
            const double e = s.risk_end(m.added, W_MODEM | W_RESTART);
            if (e != INF && t - std::max(e, m.added) > DELETE_AFTER + s.real_slack(250)) {
                s.fail("sms-delete", "\"" + m.text + "\" from " + m.sender + " stored at " +
                                         fmt_time(m.added) + " was never deleted");
                return;
            }
        }
}

// ---- config, sms-forged: config.txt always parses and holds what the last
// accepted command wrote, never the address a refused text named. ----

// Reads config.txt: false (with why) when a line does not parse or a value
// is not the one the last accepted command wrote.
bool config_holds(const std::string &path, const std::string &ip, const std::string &port,
                  std::string *why)
{
    std::ifstream f(path);
    if (!f) {
        *why = "config.txt cannot be read";
        return false;
    }
    std::map<std::string, std::string> kv;
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t eq = line.find('=');
        const std::string key = line.substr(0, eq);
        if (eq == std::string::npos ||
            (key != "server_ip_addr" && key != "server_port_num" && key != "device_id" &&
             key != "sms_admin_numbers" && key != "sms_password" && key != "stats_interval" &&
             key.compare(0, 4, "tls_") != 0)) {
            *why = "config.txt has a line that does not parse: \"" + line + "\"";
            return false;
        }
        kv[key] = line.substr(eq + 1);
    }
    if (kv["server_ip_addr"] != ip || kv["server_port_num"] != port ||
        kv["device_id"] != DEVICE_ID || kv["stats_interval"] != "0") {
        *why = "config.txt holds server_ip_addr=" + kv["server_ip_addr"] +
               " server_port_num=" + kv["server_port_num"] + " device_id=" + kv["device_id"] +
               " stats_interval=" + kv["stats_interval"] + ", the last accepted commands wrote " +
               ip + ":" + port;
        return false;
    }
    return true;
}

// ---- sms-reply: every valid admin command is answered "ok" exactly once,
// before the next message is deleted; nothing else is ever answered. A
// command cut off by a restart or a modem fault before its answer is
// counted, and what it wrote counts. sms-effect: an answered radio command
// puts its bytes on the 434 MHz module. ----

// An "ok" went to `to`: the command waiting for it is carried out. mu held.
void reply_sent(state &s, const std::string &to)
{
    if (to != ADMIN) {
        s.fail("sms-reply",
               "\"ok\" sent to " + to +
                   (to == ADMIN_BAD ? ", whose texts are no commands" : ", who is no admin"));
        return;
    }
    if (s.awaiting_reply.empty()) {
        s.fail("sms-reply", "an \"ok\" with no command waiting for it: a command answered twice");
        return;
    }
    const sms_rec rec = s.awaiting_reply.front();
    s.awaiting_reply.pop_front();
    ++s.r.sms_commands_done;
    std::string why;
    if (rec.fx == FX_IP || rec.fx == FX_PORT) {
        const std::string ip = rec.fx == FX_IP ? rec.value : s.last_ip;
        const std::string port = rec.fx == FX_PORT ? rec.value : s.last_port;
        if (!config_holds(s.config, ip, port, &why))
            s.fail("config", "after \"" + rec.text + "\" was answered: " + why);
        s.last_ip = ip;
        s.last_port = port;
    } else if (rec.fx == FX_RADIO) {
        s.awaiting_radio.emplace_back(rec, s.now());
    } else if (rec.fx == FX_RESET) {
        s.reset_answered = s.now();
    }
}

void check_sms_reply(state &s, double t)
{
    if (!s.awaiting_reply.empty() &&
        t - s.awaiting_reply.front().deleted > REPLY_AFTER + s.real_slack(250))
        resolve_reply(s, "no answer in time");
}

bool check_sms_effect(state &s, double t)
{
    for (auto it = s.awaiting_radio.begin(); it != s.awaiting_radio.end();) {
        auto seen = s.radio_seen.find(it->first.value);
        if (seen != s.radio_seen.end() && seen->second > 0) {
            --seen->second;
            it = s.awaiting_radio.erase(it);
        } else if (t - it->second > 5 + s.real_slack(2000)) {
            s.fail("sms-effect", "\"" + it->first.text +
                                     "\" was answered but the 434 MHz module never got " +
                                     it->first.value);
            return false;
        } else {
            ++it;
        }
    }
    return true;
}

// ---- type2-sms: the SMS of a type-2 frame starts (AT+CMGS) within 4 s +
// one listing + TYPE2_SLACK of the frame's last byte, when no other SMS is
// waiting; one sent while the modem babbles only has to come. ----

// An SMS other than "ok" went out: the forward of a type-2 frame. mu held.
void type2_forwarded(state &s, const emu_sent_sms &sms)
{
    auto it = s.type2.find(sms.text);
    if (it == s.type2.end())
        return;
    const double took = s.sim_time(sms.started) - it->second.first;
    const double bound = 4 + LISTING_MS / 1000.0 + TYPE2_SLACK + s.real_slack(10) +
                         s.stalled(it->second.first) +
                         (cpu_pressure() - it->second.second) * s.scale;
    const double sent = it->second.first;
    s.type2.erase(it);
    // A babbling modem may slow a forward; it must still go out.
    if (s.at_risk(sent, sent, W_BABBLE)) {
        ++s.r.babble_type2;
        return;
    }
    ++s.r.type2_checked;
    s.r.type2_worst_s = std::max(s.r.type2_worst_s, took);
    if (took > bound) {
        char b[160];
        std::snprintf(b, sizeof b,
                      "the SMS of a type-2 frame started %.1f s after the frame's last byte; the "
                      "bound is %.1f s (4 s pause, one listing, slack)",
                      took, bound);
        s.fail("type2-sms", b);
    }
}

bool check_type2_sms(state &s, double t, double pressure)
{
    for (auto it = s.type2.begin(); it != s.type2.end();) {
        if (t - it->second.first <=
            overdue_after(s, it->second.first, it->second.second, pressure)) {
            ++it;
            continue;
        }
        if (!s.at_risk(it->second.first, t, W_MODEM | W_RESTART)) {
            s.fail("type2-sms",
                   "no SMS for the type-2 frame sent at " + fmt_time(it->second.first));
            return false;
        }
        it = s.type2.erase(it);  // the modem's fault took it
    }
    return true;
}

// ---- babble-uplink: a babbling modem must not slow the radios. The lamp
// frames sent while it babbles (and not in a window of their port, the link
// or a restart) are timed on their way to the server, the machine's share
// taken off. Once the babble's window has ended and a frame could have
// arrived, each port's median must stay under BABBLE_MEDIAN; a frame still
// missing then counts as endless. ----

// Frame `got` of port p reached the server at `at`. mu held.
void babble_frame(state &s, int p, const up_pending &got, double at)
{
    for (babble_watch &b : s.babbles) {
        const window *w = s.find_window(b.window);
        if (w == nullptr || got.sent < w->start || got.sent > w->end ||
            s.at_risk(got.sent - 1, got.sent + s.uplink_reach(), uplink_scope(p)))
            continue;
        const double share = s.stalled(got.sent) + (cpu_pressure() - got.pressure) * s.scale;
        b.way[p].push_back(std::max(0.0, at - got.sent - share));
    }
}

void judge_babble_port(state &s, const window &w, int p, std::vector<double> way)
{
    for (const up_pending &u : s.up[p])
        if (u.sent >= w.start && u.sent <= w.end &&
            !s.at_risk(u.sent - 1, u.sent + s.uplink_reach(), uplink_scope(p)))
            way.push_back(INF);
    if (way.empty())
        return;
    std::nth_element(way.begin(), way.begin() + static_cast<long>(way.size() / 2), way.end());
    const double median = way[way.size() / 2];
    s.r.babble_frames += static_cast<long>(way.size());
    s.r.babble_median_s = std::max(s.r.babble_median_s, median);
    if (median < BABBLE_MEDIAN)
        return;
    char b[200];
    std::snprintf(b, sizeof b,
                  "while the modem babbled (%s to %s) the lamp frames of /dev/ttyO%d took %.2f s "
                  "to the server in the median (%zu frames; bound %.0f s)",
                  fmt_time(w.start).c_str(), fmt_time(w.end).c_str(), p + 1, median, way.size(),
                  BABBLE_MEDIAN);
    s.fail("babble-uplink", b);
}

// Judges the babbles whose window ended at least `settle` ago. mu held.
void check_babble_uplink(state &s, double t, double settle)
{
    for (auto it = s.babbles.begin(); it != s.babbles.end();) {
        const window *w = s.find_window(it->window);
        if (w != nullptr && (w->end == INF || t < w->end + settle)) {
            ++it;
            continue;
        }
        for (int p = 0; w != nullptr && p < 2; ++p)
            judge_babble_port(s, *w, p, it->way[p]);
        it = s.babbles.erase(it);
    }
}

// ---- resources: descriptors, threads and resident memory of the gateway
// process within their bounds (soak.h), sampled every SAMPLE_EVERY.
// resources-growth: no day's highest figure above the first day's by more
// than 2 descriptors, 1 thread, a twelfth of the memory bound. ----

bool check_resources(state &s, int fds, long threads, long rss)
{
    const long max_rss = soak_max_rss_kib(s.opt);
    if (fds <= SOAK_MAX_FDS && threads <= SOAK_MAX_THREADS && rss <= max_rss)
        return true;
    char b[200];
    std::snprintf(b, sizeof b,
                  "%d descriptors, %ld threads, %ld KiB resident; the bounds are %d, %d, %ld KiB",
                  fds, threads, rss, SOAK_MAX_FDS, SOAK_MAX_THREADS, max_rss);
    s.fail("resources", b);
    return false;
}

void check_resources_growth(state &s, size_t day)
{
    const soak_day &d = s.r.days[day], &first = s.r.days[0];
    if (day == 0 || (d.max_fds <= first.max_fds + 2 && d.max_threads <= first.max_threads + 1 &&
                     d.max_rss_kib <= first.max_rss_kib + soak_max_rss_kib(s.opt) / 12))
        return;
    char b[200];
    std::snprintf(b, sizeof b,
                  "day %zu reached %d descriptors, %d threads, %ld KiB; day 1 %d, %d, %ld", day + 1,
                  d.max_fds, d.max_threads, d.max_rss_kib, first.max_fds, first.max_threads,
                  first.max_rss_kib);
    s.fail("resources-growth", b);
}

void sample_resources(state &s, double t)
{
    if (s.pid <= 0 || t - s.life_start < 60)
        return;  // not yet, or no longer, the gateway itself
    const int fds = count_fds(s.pid);
    const long threads = process_status(s.pid, "Threads"), rss = process_status(s.pid, "VmRSS");
    if (fds < 0 || threads < 0 || rss < 0)
        return;  // between a kill and the reap
    std::lock_guard<std::mutex> hold(s.mu);
    s.last_fds = fds;
    s.last_threads = static_cast<int>(threads);
    s.last_rss = rss;
    // The moments after the last daily reboot count to the last day.
    const size_t day = static_cast<size_t>(
        std::min(s.day, std::max(0, static_cast<int>(std::ceil(s.opt.days)) - 1)));
    if (s.r.days.size() <= day)
        s.r.days.resize(day + 1);
    soak_day &d = s.r.days[day];
    d.max_fds = std::max(d.max_fds, fds);
    d.max_threads = std::max(d.max_threads, static_cast<int>(threads));
    d.max_rss_kib = std::max(d.max_rss_kib, rss);
    if (check_resources(s, fds, threads, rss))
        check_resources_growth(s, day);
}

}  // namespace

// ---- the handlers the street's threads call ----

void watchdog_fed(state &s, clock_type::time_point at)
{
    std::lock_guard<std::mutex> hold(s.mu);
    const double t = s.sim_time(at);
    if (s.feeds > 1)
        s.r.feed_worst_gap_s = std::max(s.r.feed_worst_gap_s, t - s.last_feed);
    s.last_feed = t;
    s.feed_pressure = cpu_pressure();
    ++s.feeds;
}

void radio_line(state &s, int k, const std::string &line)
{
    if (line.compare(0, 7, "config ") == 0) {
        // What sms-effect waits for: a configuration command the 434 MHz module took.
        const size_t sep = line.find(" : ");
        std::lock_guard<std::mutex> hold(s.mu);
        if (k == 0 && sep != std::string::npos)
            ++s.radio_seen[line.substr(7, sep - 7)];
        return;
    }
    if (line.compare(0, 21, "frame with a wrong CRC") == 0) {
        std::lock_guard<std::mutex> hold(s.mu);
        s.fail("downlink", port_name(k) + " received a corrupted frame: " + line);
        return;
    }
    if (line.compare(0, 3, "<- ") == 0)
        downlink_arrived(s, k, line);
}

void sms_deleted(state &s, bool found, const emu_sms &m)
{
    std::lock_guard<std::mutex> hold(s.mu);
    sms_rec rec;
    if (!take_deleted(s, found, m, &rec))
        return;
    rec.deleted = s.now();
    ++s.r.sms_deleted;
    s.r.sim_worst_age_s = std::max(s.r.sim_worst_age_s, sim_age(s, rec, rec.deleted));
    if (s.life_started()) {
        ++s.life.sms_deleted;
        ++s.life.kind_deleted[rec.kind];
    }
    resolve_reply(s, "another message was deleted first");
    // The gateway keeps the sender of a text that passed the sender, line
    // and password checks, to forward type-2 frames to.
    s.admin_known = s.admin_known || rec.kind == SMS_VALID || rec.kind == SMS_INVALID;
    if (rec.kind == SMS_VALID) {
        s.awaiting_reply.push_back(rec);
        s.reset_deleted = s.reset_deleted || rec.fx == FX_RESET;
    } else {
        ++s.r.sms_ignored;
        // Whatever a refused text asked for must never show in config.txt.
        s.config_check_at = std::min(s.config_check_at, rec.deleted + 30);
    }
}

void sms_sent(state &s, const emu_sent_sms &sms)
{
    std::lock_guard<std::mutex> hold(s.mu);
    s.life.ok_sent += sms.text == "ok" && s.life_started();
    if (sms.text != "ok")
        type2_forwarded(s, sms);
    else
        reply_sent(s, unquote(sms.number));
}

void uplink_arrived(state &s, const bytes &f)
{
    if (f.size() != 25 || f[14] != UP_MARK || (f[10] != 1 && f[10] != 5))
        return;
    const int p = f[15] - 1;
    if (p < 0 || p > 1 || f[10] != (p == 0 ? 1 : 5))
        return;
    const uint32_t seq = frame_seq(f);
    std::lock_guard<std::mutex> hold(s.mu);
    uplink_frame_seen(s, p, seq, f);
}

// ---- what the main loop checks ----

// process: the gateway process ends only by a reboot it asked for. mu held.
bool check_process(state &s, int status)
{
    // The console may still hold the reboot request that preceded the end.
    if (s.reboot_asked)
        return true;
    s.fail("process", std::string("the gateway ended without asking for a reboot: ") +
                          (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                             : "signal " + std::to_string(WTERMSIG(status))));
    return false;
}

// reboot-cause: every reboot has a cause: an admin's "reset", vanished modem
// nodes, or the daily count (DAILY_PASSES feeds since start-up).
int restart_cause(const state &s, double t)
{
    if (s.reset_deleted)
        return SOAK_RESTART_SMS_RESET;
    if (s.vanished || (s.vanish_end >= 0 && t - s.vanish_end < PASS_S + 5 + s.real_slack(20)))
        return SOAK_RESTART_MODEM_GONE;
    if (s.feeds >= DAILY_PASSES)
        return SOAK_RESTART_DAILY;
    return -1;
}

int check_reboot_cause(state &s, double t)
{
    const int cause = restart_cause(s, t);
    if (cause < 0)
        s.fail("reboot-cause", "the gateway asked for a reboot after " +
                                   std::to_string(static_cast<long>(t - s.life_start)) +
                                   " s up, with no reset answered, the modem nodes in place and "
                                   "the day not over");
    return cause;
}

void check_reset_answered(state &s, double t)
{
    if (s.reset_answered < 0 && !s.at_risk(s.life_start, t, W_MODEM))
        s.fail("sms-reply", "the gateway rebooted on \"reset\" without answering it");
}

// A valid command deleted and not answered: excused only in a modem or
// restart window (then it is cut off, and what it wrote counts). mu held.
void resolve_reply(state &s, const char *why)
{
    if (s.awaiting_reply.empty())
        return;
    const sms_rec rec = s.awaiting_reply.front();
    s.awaiting_reply.pop_front();
    if (!s.at_risk(rec.deleted, s.now(), W_MODEM | W_RESTART)) {
        s.fail("sms-reply", "the command \"" + rec.text + "\" deleted at " + fmt_time(rec.deleted) +
                                " was never answered (" + why + ")");
        return;
    }
    ++s.r.sms_cut_off;
    if (rec.fx == FX_IP || rec.fx == FX_PORT) {
        std::string why2;
        const std::string ip = rec.fx == FX_IP ? rec.value : s.last_ip;
        const std::string port = rec.fx == FX_PORT ? rec.value : s.last_port;
        if (config_holds(s.config, ip, port, &why2)) {
            s.last_ip = ip;
            s.last_port = port;
        }
    }
}

void check_config(state &s)
{
    s.config_check_at = INF;
    std::string why;
    for (const auto &rec : s.awaiting_reply)
        if (rec.fx == FX_IP || rec.fx == FX_PORT)
            return;  // being written
    if (!config_holds(s.config, s.last_ip, s.last_port, &why))
        s.fail(why.find(FORGED_IP) != std::string::npos ? "sms-forged" : "config", why);
}

// The checks that wait for something, in this order; one that fails skips
// those after it. At the end of a run, with t far ahead, everything still
// pending is resolved.
void check_overdue(state &s, double t, bool running)
{
    const double pressure = cpu_pressure();
    if (!check_uplink(s, t, pressure) || !check_downlink(s, t, pressure))
        return;
    check_sms_reply(s, t);
    if (!check_sms_effect(s, t) || !check_type2_sms(s, t, pressure))
        return;
    if (running && !s.reboot_asked && check_watchdog(s, t))
        check_daily_reboot(s, t);
}

void run_checks(state &s, double t)
{
    if (t >= s.next_check) {
        s.next_check = t + 1 + s.real_slack(20);
        std::lock_guard<std::mutex> hold(s.mu);
        check_overdue(s, t, true);
        check_sms_delete(s, t);
        check_sim_age(s, t);
        check_babble_uplink(s, t, 30);
        if (t >= s.config_check_at)
            check_config(s);
    }
    if (t >= s.next_sample) {
        s.next_sample = t + SAMPLE_EVERY;
        sample_resources(s, t);
    }
    if (t >= s.next_hour) {
        s.next_hour += 3600;
        ++s.hour;
        std::lock_guard<std::mutex> hold(s.mu);
        check_config(s);
        report_hour(s);
    }
}

}  // namespace soak
