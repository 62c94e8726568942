// The soak's faults: the plan drawn from the seed, each kind's start and
// end, and the fault windows they open.
//
// A fault window lasts from a fault's start until things are calm again:
// its fault is over, its hold has passed and, for the link and restarts, the
// gateway is connected again (on a connection accepted after the fault, if
// need_conn) for GRACE more. The invariants excuse only what a window
// covers, so a window must never close early; one that stays open too long
// only makes the soak blind for a while.
//
// To add or change a kind: its row in FAULTS (name, length, start, end),
// its enum in soak.h and its category in plan_faults().
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "drivers/soak_state.h"

namespace soak {

namespace {

constexpr double RESTART_SLOT_S = 2400;  // a soak day's opening, with its two reboots
constexpr int BABBLE_MS = 200;           // a babbling modem's line period, gateway time

double unit(std::mt19937 &rng)
{
    std::uniform_real_distribution<double> u(0, 1);
    return u(rng);
}

// Each start and end runs on the main loop with mu held. A fault that opens
// a window keeps its id in fault_window until its end closes it.
void open_fault_window(state &s, int kind, int scope, double hold, bool need_conn, double t)
{
    s.fault_window[kind] = s.open_window(scope, hold, need_conn, t);
}
int port_scope(int p)
{
    return p == 0 ? W_PORT1 : W_PORT2;
}

void server_drop(state &s, const fault_event &f, double t)
{
    ++s.life.link_faults;
    open_fault_window(s, f.kind, W_LINK, 0, true, t);
    s.fault_over(s.fault_window[f.kind], t);
    for (auto &srv : s.server)
        srv.drop();
}

void server_refuse_start(state &s, const fault_event &f, double t)
{
    ++s.life.link_faults;
    open_fault_window(s, f.kind, W_LINK, 0, true, t);
    for (auto &srv : s.server)
        srv.set_refusing(true);
}
void server_refuse_end(state &s, int, double)
{
    for (auto &srv : s.server)
        srv.set_refusing(false);
}

// The gateway may still drop the link a heartbeat period after the silence
// ends, on a count it reached during it.
void server_silent_start(state &s, const fault_event &f, double t)
{
    open_fault_window(s, f.kind, W_LINK, 130, false, t);
    ++s.life.link_faults;
    for (auto &srv : s.server)
        srv.answer_heartbeats = false;
}
void server_silent_end(state &s, int, double)
{
    for (auto &srv : s.server)
        srv.answer_heartbeats = true;
}

void server_garbage_start(state &s, const fault_event &, double)
{
    s.link_garbage = true;
}
void server_garbage_end(state &s, int, double)
{
    s.link_garbage = false;
}
void segments_start(state &s, const fault_event &, double)
{
    s.segments = true;
}
void segments_end(state &s, int, double)
{
    s.segments = false;
}

template <int P>
void radio_garbage_start(state &s, const fault_event &f, double t)
{
    open_fault_window(s, f.kind, port_scope(P), 5, false, t);
    s.port_garbage[P] = true;
    s.next_burst[P] = t;
}
template <int P>
void radio_garbage_end(state &s, int, double)
{
    s.port_garbage[P] = false;
}

template <int P>
void radio_overflow(state &s, const fault_event &f, double t)
{
    open_fault_window(s, f.kind, port_scope(P), 5 + s.real_slack(200), false, t);
    s.fault_over(s.fault_window[f.kind], t);
    write_job j;
    j.data = garbage(s, 70 * 1024);
    s.writer[P]->push(std::move(j));
}

template <int P>
void radio_flood_start(state &s, const fault_event &f, double t)
{
    open_fault_window(s, f.kind, port_scope(P), 5, false, t);
    s.flood[P] = true;
    s.next_flood[P] = t;
}
template <int P>
void radio_flood_end(state &s, int, double)
{
    s.flood[P] = false;
}

template <int P>
void radio_split_start(state &s, const fault_event &, double)
{
    s.split[P] = true;
}
template <int P>
void radio_split_end(state &s, int, double)
{
    s.split[P] = false;
}

// 3 to 10 messages: a wrong password, two lines from an admin and a forged
// listing among them, at random places; the day's first storm carries an
// admin's "reset".
void sms_storm(state &s, const fault_event &f, double)
{
    // Room for every special message: a storm of three that also carries
    // the reset would look for a free slot for ever.
    const size_t n = std::max<size_t>(3 + pick(s, 8), f.reset ? 4 : 3);
    std::vector<int> slot(n, -1);
    for (int k : {SMS_PASSWORD, SMS_LINES, SMS_FORGED, SMS_VALID}) {
        if (k == SMS_VALID && !f.reset)
            break;
        size_t at = pick(s, n);
        while (slot[at] >= 0)
            at = (at + 1) % n;
        slot[at] = k;
    }
    for (int k : slot) {
        if (k == SMS_VALID)
            add_sms(s, ADMIN, std::string(PASSWORD) + " reset", SMS_VALID, FX_RESET, "");
        else if (k >= 0)
            hostile_sms(s, static_cast<sms_kind>(k));
        else
            random_sms(s);
    }
}

void modem_silent_start(state &s, const fault_event &f, double t)
{
    open_fault_window(s, f.kind, W_MODEM, 10, false, t);
    s.modem.set_silent(true);
}
void modem_silent_end(state &s, int, double)
{
    s.modem.set_silent(false);
}

void modem_listing_start(state &s, const fault_event &f, double t)
{
    open_fault_window(s, f.kind, W_MODEM, 10, false, t);
    s.modem.set_listing_fault(
        f.kind == SOAK_FAULT_MODEM_JUNK ? emu_listing::junk : emu_listing::cut,
        static_cast<uint32_t>(s.rng()));
}
void modem_listing_end(state &s, int, double)
{
    s.modem.set_listing_fault(emu_listing::whole, 0);
}

// The modem babbles: an unsolicited line every BABBLE_MS for the fault's
// length. Its window is a modem window (SMS may wait) that also times the
// lamp frames (babble-uplink); type-2 frames go out at a quarter, a half and
// three quarters of it, whatever else waits for the modem.
void modem_babble_start(state &s, const fault_event &f, double t)
{
    const int id = s.open_window(W_MODEM | W_BABBLE, 10, false, t);
    s.babbles.push_back({id, {}});
    s.modem.set_babble(BABBLE_MS);
    s.babble_t2 = {t + f.len / 4, t + f.len / 2, t + f.len * 3 / 4};
    s.fault_window[f.kind] = id;
}
void modem_babble_end(state &s, int, double)
{
    s.modem.set_babble(0);
    s.babble_t2.clear();
}

// The gateway must reboot; the reboot ends the fault (restart_gateway()).
void modem_vanish_start(state &s, const fault_event &f, double t)
{
    open_fault_window(s, f.kind, W_MODEM, 10, false, t);
    s.vanished = true;
    s.modem.set_silent(true);
    modem_nodes(s, false);
}
void modem_vanish_end(state &s, int, double t)
{
    if (!s.vanished)
        return;
    modem_nodes(s, true);
    s.modem.set_silent(false);
    s.vanished = false;
    s.vanish_end = t;
}

// One row per kind, in the order of the enum. Lengths are simulated seconds
// (0, 0: at once). A kind without an end is over as it starts.
struct fault_spec {
    int kind;
    const char *name;
    double len_min, len_max;
    void (*start)(state &, const fault_event &, double t);
    void (*end)(state &, int kind, double t);
};
constexpr fault_spec FAULTS[SOAK_FAULT_KINDS] = {
    {SOAK_FAULT_SERVER_DROP, "server drops the link", 0, 0, server_drop, nullptr},
    {SOAK_FAULT_SERVER_REFUSE, "server refuses connections", 60, 600, server_refuse_start,
     server_refuse_end},
    {SOAK_FAULT_SERVER_SILENT, "server ignores heartbeats", 400, 900, server_silent_start,
     server_silent_end},
    {SOAK_FAULT_SERVER_GARBAGE, "server sends garbage", 60, 600, server_garbage_start,
     server_garbage_end},
    {SOAK_FAULT_DOWNLINK_SEGMENTS, "downlink in 1-byte/joined segments", 300, 1800, segments_start,
     segments_end},
    {SOAK_FAULT_RADIO1_GARBAGE, "/dev/ttyO1 garbage bursts", 60, 600, radio_garbage_start<0>,
     radio_garbage_end<0>},
    {SOAK_FAULT_RADIO2_GARBAGE, "/dev/ttyO2 garbage bursts", 60, 600, radio_garbage_start<1>,
     radio_garbage_end<1>},
    {SOAK_FAULT_RADIO1_OVERFLOW, "/dev/ttyO1 ring overflow (70 KiB)", 0, 0, radio_overflow<0>,
     nullptr},
    {SOAK_FAULT_RADIO2_OVERFLOW, "/dev/ttyO2 ring overflow (70 KiB)", 0, 0, radio_overflow<1>,
     nullptr},
    {SOAK_FAULT_RADIO1_FLOOD, "/dev/ttyO1 0xA3 floods", 60, 300, radio_flood_start<0>,
     radio_flood_end<0>},
    {SOAK_FAULT_RADIO2_FLOOD, "/dev/ttyO2 0xA3 floods", 60, 300, radio_flood_start<1>,
     radio_flood_end<1>},
    {SOAK_FAULT_RADIO1_SPLIT, "/dev/ttyO1 frames split at random", 300, 1800, radio_split_start<0>,
     radio_split_end<0>},
    {SOAK_FAULT_RADIO2_SPLIT, "/dev/ttyO2 frames split at random", 300, 1800, radio_split_start<1>,
     radio_split_end<1>},
    {SOAK_FAULT_SMS_STORM, "SMS storms (up to 10 listed)", 0, 0, sms_storm, nullptr},
    {SOAK_FAULT_MODEM_SILENT, "modem silent", 30, 300, modem_silent_start, modem_silent_end},
    {SOAK_FAULT_MODEM_JUNK, "modem answers junk listings", 60, 600, modem_listing_start,
     modem_listing_end},
    {SOAK_FAULT_MODEM_CUT, "modem cuts listings off", 60, 600, modem_listing_start,
     modem_listing_end},
    {SOAK_FAULT_MODEM_BABBLE, "modem babbles without pause", 600, 600, modem_babble_start,
     modem_babble_end},
    {SOAK_FAULT_MODEM_VANISH, "modem nodes vanish", 25, 90, modem_vanish_start, modem_vanish_end},
};
constexpr bool faults_in_order()
{
    for (int k = 0; k < SOAK_FAULT_KINDS; ++k)
        if (FAULTS[k].kind != k)
            return false;
    return true;
}
static_assert(faults_in_order(), "FAULTS must list the kinds in the order of the enum");

double draw_length(std::mt19937 &rng, int kind)
{
    const double lo = FAULTS[kind].len_min, hi = FAULTS[kind].len_max;
    return lo + unit(rng) * (hi - lo);
}

// A soak day opens with its two reboots: the modem's nodes vanish, then an
// admin's "reset" arrives in a storm. The process started after them then
// lives a whole day, up to its daily reboot, which comes before the next day
// opens.
void plan_opening(std::mt19937 &rng, int day, double len, std::vector<fault_event> *out)
{
    const double opening = std::min(RESTART_SLOT_S, len * 0.5);  // a short run's is shorter
    fault_event vanish;
    vanish.kind = SOAK_FAULT_MODEM_VANISH;
    vanish.day = day;
    vanish.at = opening / 5 + unit(rng) * opening / 5;
    vanish.len = draw_length(rng, vanish.kind);
    fault_event reset;
    reset.kind = SOAK_FAULT_SMS_STORM;
    reset.reset = true;
    reset.day = day;
    reset.at = opening / 2 + unit(rng) * opening / 5;
    for (const fault_event &f : {vanish, reset})
        if (f.at < len)
            out->push_back(f);
}

// One category's faults for one day: the day is cut into twice as many
// slots as the category has kinds and every kind gets a slot of its own, so
// faults of one category never overlap; categories overlap freely.
void plan_category(std::mt19937 &rng, const std::vector<int> &cat, int day, double len,
                   std::vector<fault_event> *out)
{
    // Modem faults and storms stay out of the reboots' slot; the others
    // only out of day 0's start-up.
    const bool modem = cat[0] == SOAK_FAULT_MODEM_SILENT || cat[0] == SOAK_FAULT_SMS_STORM;
    const double skip = std::min(modem ? RESTART_SLOT_S : day == 0 ? 600.0 : 0.0, len * 0.5);
    const size_t slots = cat.size() * 2;
    const double slot = (len - skip) / static_cast<double>(slots);
    std::vector<size_t> order(slots);
    for (size_t i = 0; i < slots; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t i = 0; i < cat.size(); ++i) {
        fault_event f;
        f.kind = cat[i];
        f.day = day;
        f.len = std::min(draw_length(rng, f.kind), slot * 0.6);
        f.at = skip + static_cast<double>(order[i]) * slot + unit(rng) * (slot - f.len) * 0.5;
        out->push_back(f);
    }
}

void start_fault(state &s, const fault_event &f, double t)
{
    const fault_spec &kind = FAULTS[f.kind];
    ++s.r.faults[f.kind];
    s.say(std::string("fault: ") + kind.name +
          (f.len > 0 ? " for " + std::to_string(static_cast<int>(f.len)) + " s" : ""));
    std::lock_guard<std::mutex> hold(s.mu);
    kind.start(s, f, t);
    if (kind.end != nullptr)
        s.ends.emplace_back(t + f.len, f.kind);
}

// A day's faults are due from its opening; one its daily reboot outran
// starts at once.
bool fault_due(const state &s, const fault_event &f, double t)
{
    return f.day < s.day || (f.day == s.day && s.day_start + f.at <= t);
}

// The link and restarts are calm once the gateway has been connected for
// `grace` (on a connection accepted after the fault, if need_conn).
bool link_calm(const state &s, const window &w, double t, double grace, bool up)
{
    return up && s.last_connect >= 0 && t >= s.last_connect + grace &&
           (!w.need_conn || s.last_connect > w.over_at);
}

// A window ends once its fault is over and things are calm again. mu held.
void close_windows(state &s, double t)
{
    const double grace = GRACE + s.real_slack(10);
    const bool up = connected(s);
    for (window &w : s.windows) {
        if (w.end != INF || w.over_at < 0 || t < w.over_at + w.hold)
            continue;
        if (!(w.scope & (W_LINK | W_RESTART)) || link_calm(s, w, t, grace, up))
            w.end = t;
    }
    // Old windows matter no more once everything sent before them is resolved.
    s.windows.erase(std::remove_if(s.windows.begin(), s.windows.end(),
                                   [t](const window &w) { return w.end < t - 7200; }),
                    s.windows.end());
}

}  // namespace

const char *fault_name(int kind)
{
    return FAULTS[kind].name;
}

std::vector<fault_event> plan_faults(std::mt19937 &rng, double days)
{
    const std::vector<std::vector<int>> categories = {
        {SOAK_FAULT_SERVER_DROP, SOAK_FAULT_SERVER_REFUSE, SOAK_FAULT_SERVER_SILENT,
         SOAK_FAULT_SERVER_GARBAGE, SOAK_FAULT_DOWNLINK_SEGMENTS},
        {SOAK_FAULT_RADIO1_GARBAGE, SOAK_FAULT_RADIO1_OVERFLOW, SOAK_FAULT_RADIO1_FLOOD,
         SOAK_FAULT_RADIO1_SPLIT},
        {SOAK_FAULT_RADIO2_GARBAGE, SOAK_FAULT_RADIO2_OVERFLOW, SOAK_FAULT_RADIO2_FLOOD,
         SOAK_FAULT_RADIO2_SPLIT},
        {SOAK_FAULT_MODEM_SILENT, SOAK_FAULT_MODEM_JUNK, SOAK_FAULT_MODEM_CUT,
         SOAK_FAULT_MODEM_BABBLE},
        {SOAK_FAULT_SMS_STORM},
    };
    std::vector<fault_event> out;
    for (int day = 0; day < days; ++day) {
        const double len = std::min(1.0, days - day) * 86400;
        plan_opening(rng, day, len, &out);
        for (const auto &cat : categories)
            plan_category(rng, cat, day, len, &out);
    }
    std::stable_sort(out.begin(), out.end(), [](const fault_event &a, const fault_event &b) {
        return a.day != b.day ? a.day < b.day : a.at < b.at;
    });
    return out;
}

void drive_faults(state &s, double t, bool traffic)
{
    while (traffic && s.next_fault < s.faults.size() && fault_due(s, s.faults[s.next_fault], t))
        start_fault(s, s.faults[s.next_fault++], t);
    std::lock_guard<std::mutex> hold(s.mu);
    for (auto it = s.ends.begin(); it != s.ends.end();) {
        if (it->first <= t || !traffic) {
            end_fault(s, it->second, t);
            it = s.ends.erase(it);
        } else {
            ++it;
        }
    }
    close_windows(s, t);
}

void end_fault(state &s, int kind, double t)
{
    auto it = s.fault_window.find(kind);
    if (it != s.fault_window.end()) {
        s.fault_over(it->second, t);
        s.fault_window.erase(it);
    }
    if (FAULTS[kind].end != nullptr)
        FAULTS[kind].end(s, kind, t);
}

void modem_nodes(state &s, bool present)
{
    unlink(s.usb1.c_str());
    unlink(s.usb2.c_str());
    if (present) {
        if (symlink(s.modem.slave_path().c_str(), s.usb1.c_str()) != 0)
            perror("symlink");
        std::ofstream w(s.usb2);
    }
}

bool state::at_risk(double a, double b, int mask) const
{
    for (const window &w : windows)
        if ((w.scope & mask) && w.start <= b && w.end >= a)
            return true;
    return false;
}

double state::risk_end(double a, int mask) const
{
    double e = -1;
    for (const window &w : windows)
        if ((w.scope & mask) && w.end >= a)
            e = std::max(e, w.end);
    return e;
}

int state::open_window(int scope, double hold, bool need_conn, double at)
{
    window w;
    w.id = ++window_ids;
    w.start = at;
    w.scope = scope;
    w.hold = hold;
    w.need_conn = need_conn;
    windows.push_back(w);
    return w.id;
}

void state::fault_over(int id, double at)
{
    for (window &w : windows)
        if (w.id == id)
            w.over_at = at;
}

const window *state::find_window(int id) const
{
    for (const window &w : windows)
        if (w.id == id)
            return &w;
    return nullptr;
}

}  // namespace soak
