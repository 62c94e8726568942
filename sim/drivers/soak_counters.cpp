// The `counters` invariant: the gateway's own account (its statistics line,
// asked for by SIGUSR1 before each daily reboot and at the end of the run)
// against what the soak saw of the same process's life.
//
// The soak's figures are taken before asking and, once the street has read
// everything the gateway wrote before its line, after the answer (drain,
// then compare): an event under way meanwhile may fall on either side. The
// tolerances left are what faults, and the one step a thread takes between
// doing a thing and counting it, make impossible to know; each is bounded
// by events the soak counted, and each row says why.
#include <algorithm>
#include <csignal>
#include <thread>

#include "drivers/soak_state.h"
#include "drivers/stats_check.h"

namespace soak {

namespace {

constexpr double STATS_WAIT = 30;  // SIGUSR1 to the statistics line

struct figures {
    long up[2], risk[2], lost[2], keyed[2];
    long deleted[SMS_KINDS], ok, heartbeats, answers, accepts, faults, closes, feeds;
};

// Deletions the modem has done and not yet reported. mu held.
void count_in_flight(state &s, figures *f)
{
    std::map<int, size_t> held;  // the SIM's messages by index: 0 or 1
    for (const emu_sms &m : s.modem.inbox())
        held[m.index] = 1;
    for (const auto &slot : s.inbox)
        for (size_t i = 0; i + held[slot.first] < slot.second.size(); ++i)
            ++f->deleted[slot.second[i].kind];
}

// The soak's figures for the running process; in_flight: deletions the
// modem has done and not yet reported count too.
figures take_figures(state &s, bool in_flight)
{
    figures f{};
    s.gpio.drain();
    const radio_counts rc[2] = {s.radio1.counts(), s.radio2.counts()};
    std::lock_guard<std::mutex> hold(s.mu);
    std::copy(std::begin(s.life.kind_deleted), std::end(s.life.kind_deleted), f.deleted);
    if (in_flight && s.life_started())
        count_in_flight(s, &f);
    const life_counts &L = s.life;
    for (int p = 0; p < 2; ++p) {
        f.up[p] = L.up_at_server[p];
        // Frames not yet seen that a fault may have taken after the
        // gateway wrote them.
        f.risk[p] = 0;
        for (const up_pending &u : s.up[p])
            f.risk[p] += s.at_risk(u.sent - 1, u.sent + s.uplink_reach(), uplink_scope(p));
        f.lost[p] = L.up_lost[p];
        f.keyed[p] =
            L.keyed_base[p] < 0 ? 0 : rc[p].frames - rc[p].frames_unkeyed - L.keyed_base[p];
    }
    f.ok = L.ok_sent;
    f.heartbeats = L.heartbeats;
    f.answers = L.answers;
    f.accepts = L.accepts;
    f.faults = L.link_faults;
    f.closes = L.closes;
    f.feeds = s.feeds;
    return f;
}

using check_list = std::vector<count_check>;
void add(check_list *v, const char *keys, const char *figure, long before, long after, long below,
         long above, const char *why)
{
    v->push_back({keys, figure, before, after, below, above, why});
}

void radio_rows(const figures &a, const figures &b, check_list *v)
{
    const char *const relayed[2] = {"other_relayed", "ludeng_relayed"};
    const char *const down[2] = {"server_to_other", "server_to_ludeng"};
    const char *const module[2] = {"keyed frames at the 434 MHz module",
                                   "keyed frames at the 450 MHz module"};
    for (int p = 0; p < 2; ++p) {
        add(v, relayed[p],
            p == 0 ? "frames of type 1 at the server" : "frames of type 5 at the server", a.up[p],
            b.up[p], 1, b.lost[p] + b.risk[p],
            "below: a frame written, counted a step later; above: lamp frames lost to a "
            "fault, or sent in a fault window and not seen yet");
        add(v, down[p], module[p], a.keyed[p], b.keyed[p], 1, 0,
            "a transmit under way, counted when its key window closes");
    }
}

// Every message deleted is counted once, and once by what it was.
void sms_rows(const figures &a, const figures &b, check_list *v)
{
    static const struct {
        const char *keys, *figure;
        unsigned kinds;
    } rows[] = {
        {"sms_received", "messages deleted", ~0u},
        {"sms_done", "commands deleted", 1u << SMS_VALID},
        {"sms_unknown sms_refused", "admins' texts deleted that are no command", 1u << SMS_INVALID},
        {"sms_ignored", "strangers' texts deleted", 1u << SMS_STRANGER | 1u << SMS_FORGED},
        {"sms_bad_password", "texts deleted without the password", 1u << SMS_PASSWORD},
        {"sms_multiline", "texts of two lines deleted", 1u << SMS_LINES},
    };
    auto kinds = [](const figures &f, unsigned mask) {
        long n = 0;
        for (int k = 0; k < SMS_KINDS; ++k)
            n += (mask >> k & 1u) != 0 ? f.deleted[k] : 0;
        return n;
    };
    for (const auto &row : rows)
        add(v, row.keys, row.figure, kinds(a, row.kinds), kinds(b, row.kinds), 1, 0,
            "a delete the modem confirmed, counted a step later");
    add(v, "sms_replies", "\"ok\" sent, up to the commands deleted", a.ok, b.deleted[SMS_VALID], 1,
        0, "an answer the modem took, counted when the send returns");
}

void link_rows(const figures &a, const figures &b, check_list *v)
{
    add(v, "hb_sent", "heartbeats at the server", a.heartbeats, b.heartbeats, 1, b.faults,
        "below: one written, counted a step later; above: one per link fault, written "
        "into a connection the server had dropped");
    add(v, "hb_answered", "heartbeats the server answered", a.answers, b.answers,
        b.faults + 4 * b.closes + 1, 0,
        "an answer on a connection a link fault ended (up to five answered after the "
        "gateway closed the link for silence), or the one answer the server had sent and "
        "the gateway not yet read");
    add(v, "link_connects", "connections the server accepted", a.accepts, b.accepts, 1, b.faults,
        "below: a connection counted a step after the server took it; above: one made as "
        "the server stopped listening");
    add(v, "watchdog_feeds", "rises of line 60", a.feeds, b.feeds, 1, 0,
        "a feed written, counted a step later");
}

check_list counts_of(const figures &a, const figures &b)
{
    check_list v;
    radio_rows(a, b, &v);
    sms_rows(a, b, &v);
    link_rows(a, b, &v);
    return v;
}

// SIGUSR1, then the statistics line the console reader takes (empty when
// none came in time). *pressure: cpu_pressure() when it was asked for.
std::string ask_stats(state &s, double *pressure)
{
    {
        std::lock_guard<std::mutex> hold(s.mu);
        s.stats_wanted = true;
        s.stats_line.clear();
    }
    const double asked = s.now();
    *pressure = cpu_pressure();
    kill(s.pid, SIGUSR1);
    std::string line;
    while (line.empty() && s.now() - asked <= STATS_WAIT + s.real_slack(100) +
                                                  (cpu_pressure() - *pressure) * s.scale) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard<std::mutex> hold(s.mu);
        line = s.stats_line;
    }
    return line;
}

// The street reads what the gateway wrote before its line: the servers what
// has arrived and the connections made, the modules up to a marker behind
// the gateway's bytes (take_figures() drains the GPIO FIFOs).
bool drain_street(state &s, int drain_ms)
{
    bool drained = true;
    for (auto &srv : s.server)
        drained = srv.drain(false, drain_ms) && drained;
    for (RadioModule *m : s.radio)
        drained = m->drain(drain_ms) && drained;
    return drained;
}

void judge(state &s, const std::string &day, const gw_stats &st, check_list checks)
{
    count_checks_run(st, &checks);
    std::string seen;
    for (const count_check &k : checks)
        seen += " " + k.keys.substr(0, k.keys.find(' ')) + " " + std::to_string(k.gateway) + "/" +
                std::to_string(k.street_before) +
                (k.street_after != k.street_before ? "-" + std::to_string(k.street_after) : "");
    s.say(day + "the gateway's counts / the soak's:" + seen);
    std::lock_guard<std::mutex> hold(s.mu);
    ++s.r.counters_checked;
    for (const count_check &k : checks)
        if (!k.ok) {
            s.fail("counters", day + count_check_text(k));
            return;
        }
}

}  // namespace

// What each server reads on a connection of the running process.
void count_frame(state &s, int k, const bytes &f)
{
    if (f.size() < 14)
        return;
    std::lock_guard<std::mutex> hold(s.mu);
    if (s.conn_life[k] != s.life_serial)
        return;
    if (f[10] == 1 || f[10] == 5)
        ++s.life.up_at_server[f[10] == 1 ? 0 : 1];
    if (f[10] == 0 && f[13] == 6) {
        ++s.life.heartbeats;
        s.life.answers += s.server[k].answer_heartbeats.load();
    }
}

// A connection belongs to the running process once its start-up is over;
// the modules' keyed frames count from its first one.
void server_connected(state &s, int k)
{
    std::lock_guard<std::mutex> hold(s.mu);
    s.last_connect = s.now();
    s.conn_life[k] = s.life_started() ? s.life_serial : -1;
    if (s.conn_life[k] != s.life_serial)
        return;
    ++s.life.accepts;
    for (int p = 0; p < 2; ++p)
        if (s.life.keyed_base[p] < 0) {
            const radio_counts c = s.radio[p]->counts();
            s.life.keyed_base[p] = c.frames - c.frames_unkeyed;
        }
}

void server_closed(state &s, int k)
{
    std::lock_guard<std::mutex> hold(s.mu);
    const bool ours = s.conn_life[k] == s.life_serial;
    s.life.link_faults += ours;
    s.life.closes += ours;
}

void check_counters(state &s, const std::string &when)
{
    const figures a = take_figures(s, false);
    double pressure = 0;
    const std::string line = ask_stats(s, &pressure);
    std::string day;
    {
        std::lock_guard<std::mutex> hold(s.mu);
        s.stats_wanted = false;
        day = "day " + std::to_string(s.day + 1) + ", " + when + ": ";
    }
    gw_stats st;
    if (!stats_parse(line, &st)) {
        std::lock_guard<std::mutex> hold(s.mu);
        s.fail("counters", day + "no statistics line within " +
                               std::to_string(static_cast<int>(STATS_WAIT)) + " s after SIGUSR1");
        return;
    }
    const int drain_ms = static_cast<int>(5000 + (cpu_pressure() - pressure) * 1000);
    if (!drain_street(s, drain_ms)) {
        std::lock_guard<std::mutex> hold(s.mu);
        s.fail("counters", day + "the street could not read what the gateway wrote within " +
                               std::to_string(drain_ms) + " ms");
        return;
    }
    judge(s, day, st, counts_of(a, take_figures(s, true)));
}

}  // namespace soak
