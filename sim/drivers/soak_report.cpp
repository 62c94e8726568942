// What the soak prints: event lines as it goes, a broken invariant with
// what led to it, a CSV row and an event line every simulated hour, and the
// summary at the end. docs/reliability.md quotes these lines; the record
// tables there are read off the summary, so its rows keep their wording.
#include <cstdio>

#include "drivers/soak_state.h"

namespace soak {

namespace {

const char *const RESTART_NAMES[SOAK_RESTART_CAUSES] = {"daily (4320 passes)", "SMS reset",
                                                        "modem nodes gone"};

}  // namespace

std::string fmt_time(double s)
{
    const long t = static_cast<long>(s);
    char b[48];
    std::snprintf(b, sizeof b, "day %ld %02ld:%02ld:%02ld", t / 86400 + 1, t / 3600 % 24,
                  t / 60 % 60, t % 60);
    return b;
}

const char *restart_name(int cause)
{
    return RESTART_NAMES[cause];
}

void state::say(const std::string &line)
{
    if (!opt.quiet)
        std::fprintf(log, "soak | %s  %s\n", fmt_time(now()).c_str(), line.c_str());
}

// The detail names the moment, the seed to replay it, where each gateway
// thread was (tid:state:kernel wait) and the gateway's last console lines.
void state::fail(const std::string &invariant, const std::string &detail)
{
    if (failed.exchange(true))
        return;
    r.invariant = invariant;
    r.detail = detail + " (at " + fmt_time(now()) + ", seed " + std::to_string(r.seed) +
               "); gateway threads (tid:state:wait)" + gateway_threads(*this) +
               "; the gateway's last lines:";
    for (const auto &l : console)
        r.detail += "\n    gw | " + l;
}

bool open_csv(state &s)
{
    if (s.opt.csv.empty())
        return true;
    s.csv = std::fopen(s.opt.csv.c_str(), "w");
    if (s.csv == nullptr) {
        std::fprintf(s.log, "lampgw-sim: cannot write %s\n", s.opt.csv.c_str());
        return false;
    }
    std::fprintf(s.csv,
                 "hour,restarts,up_sent,up_delivered,up_at_risk,up_lost_at_risk,down_sent,"
                 "down_delivered,down_lost_at_risk,sms_in,sms_deleted,sms_answered,faults,"
                 "fds,threads,rss_kib\n");
    return true;
}

void report_hour(state &s)
{
    const soak_report &r = s.r;
    int restarts = 0, nfaults = 0;
    for (int c : r.restarts)
        restarts += c;
    for (int c : r.faults)
        nfaults += c;
    if (s.csv != nullptr) {
        std::fprintf(s.csv, "%d,%d,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%d,%d,%d,%ld\n", s.hour,
                     restarts, r.up_sent, r.up_delivered, r.up_risk, r.up_risk_lost, r.down_sent,
                     r.down_delivered, r.down_risk_lost, r.sms_in, r.sms_deleted,
                     r.sms_commands_done, nfaults, s.last_fds, s.last_threads, s.last_rss);
        std::fflush(s.csv);
    }
    char b[200];
    std::snprintf(b, sizeof b,
                  "hour %d: frames up %ld/%ld, down %ld/%ld, SMS %ld, %d restarts, %d faults, %d "
                  "fds, %d threads, %ld KiB",
                  s.hour, r.up_delivered, r.up_sent, r.down_delivered, r.down_sent, r.sms_in,
                  restarts, nfaults, s.last_fds, s.last_threads, s.last_rss);
    s.say(b);
}

}  // namespace soak

namespace {

void print_traffic(FILE *out, const soak_report &r)
{
    std::fprintf(out, "| lamp frames sent / delivered | %ld / %ld |\n", r.up_sent, r.up_delivered);
    std::fprintf(out, "| of them in fault windows: delivered / lost | %ld / %ld |\n",
                 r.up_risk_delivered, r.up_risk_lost);
    std::fprintf(
        out, "| server frames sent / at their module | %ld / %ld (lost in fault windows: %ld) |\n",
        r.down_sent, r.down_delivered, r.down_risk_lost);
    std::fprintf(out,
                 "| SMS stored / deleted / commands answered / refused / cut off by a restart | "
                 "%ld / %ld / %ld / %ld / %ld |\n",
                 r.sms_in, r.sms_deleted, r.sms_commands_done, r.sms_ignored, r.sms_cut_off);
    std::fprintf(out, "| SMS refused by the full SIM; longest stay on the SIM | %ld; %.1f s |\n",
                 r.sms_refused_by_sim, r.sim_worst_age_s);
    std::fprintf(out,
                 "| babbling modem: lamp frames timed, worst median to the server; type-2 sent on "
                 "| %ld, %.2f s; %ld |\n",
                 r.babble_frames, r.babble_median_s, r.babble_type2);
    std::fprintf(out,
                 "| type-2 frames sent / SMS timed, worst frame-to-AT+CMGS | %ld / %ld, %.1f s |\n",
                 r.type2_sent, r.type2_checked, r.type2_worst_s);
}

void print_process(FILE *out, const soak_options &opt, const soak_report &r)
{
    std::fprintf(out, "| longest gap between two watchdog feeds | %.1f s |\n", r.feed_worst_gap_s);
    std::fprintf(out, "| statistics lines held against the soak's figures | %d |\n",
                 r.counters_checked);
    std::fprintf(out, "| bounds: descriptors, threads, resident memory | %d, %d, %ld KiB |\n",
                 SOAK_MAX_FDS, SOAK_MAX_THREADS, soak_max_rss_kib(opt));
    for (size_t d = 0; d < r.days.size(); ++d)
        std::fprintf(
            out, "| day %zu: highest descriptors, threads, resident memory | %d, %d, %ld KiB |\n",
            d + 1, r.days[d].max_fds, r.days[d].max_threads, r.days[d].max_rss_kib);
}

}  // namespace

void soak_print_summary(FILE *out, const soak_options &opt, const soak_report &r)
{
    std::fprintf(out, "\nsoak summary (seed %u)\n", r.seed);
    std::fprintf(out, "| figure | value |\n|---|---|\n");
    std::fprintf(out, "| simulated time | %.2f days (%.0f s) |\n", r.sim_seconds / 86400,
                 r.sim_seconds);
    std::fprintf(out, "| real time, time scale | %.1f s at %u x (%.1f s per simulated day) |\n",
                 r.real_seconds, opt.time_scale,
                 r.sim_seconds > 0 ? r.real_seconds * 86400 / r.sim_seconds : 0);
    std::fprintf(out, "| CPU: soak / gateway processes | %.1f s / %.1f s |\n", r.cpu_seconds,
                 r.gateway_cpu_seconds);
    for (int c = 0; c < SOAK_RESTART_CAUSES; ++c)
        std::fprintf(out, "| restarts: %s | %d |\n", soak::restart_name(c), r.restarts[c]);
    for (int k = 0; k < SOAK_FAULT_KINDS; ++k)
        std::fprintf(out, "| fault: %s | %d |\n", soak::fault_name(k), r.faults[k]);
    print_traffic(out, r);
    print_process(out, opt, r);
    if (r.invariant.empty())
        std::fprintf(out, "\nevery invariant held\n");
    else
        std::fprintf(out,
                     "\nINVARIANT BROKEN: %s: %s\nreplay: lampgw-sim --soak --seed %u --days %g "
                     "--time-scale %u%s\n",
                     r.invariant.c_str(), r.detail.c_str(), r.seed, opt.days, opt.time_scale,
                     opt.tls ? " --tls" : "");
    std::fflush(out);
}
