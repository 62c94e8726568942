// The load mode's figures as a Markdown table, each beside its goal.
#include <cstdio>
#include <string>

#include "drivers/load.h"

namespace {

bool absent(const load_report &r, int d)
{
    return (d == LOAD_SER2NET && !r.ser2net) || (d == LOAD_PREVIOUS && !r.previous) ||
           (d == LOAD_TLS && !r.tls);
}

// Daemon d's share of one core while idle.
std::string idle_share(const load_options &opt, const load_report &r, int d)
{
    if (d == LOAD_SER2NET && !r.ser2net)
        return "-";
    char t[32];
    const double s = r.cpu_seconds[d][LOAD_IDLE];
    std::snprintf(t, sizeof t, "%.4f %%", s < 0 ? -1.0 : 100 * s / opt.phase_seconds);
    return t;
}

std::string latency(const load_report &r, const load_latency &l, bool p99, int d)
{
    if (d == LOAD_SER2NET && !r.ser2net)
        return "-";
    char t[48];
    std::snprintf(t, sizeof t, "%.3f ms", p99 ? l.p99_ms : l.median_ms);
    return t;
}

// Daemon d's CPU seconds per 10,000 frames under full load; -1 when unknown.
double per10k(const load_report &r, int d)
{
    const load_latency &l = r.both[d][LOAD_FULL];
    if (absent(r, d))
        return -1.0;
    return l.received > 0 ? r.cpu_seconds[d][LOAD_FULL] * 10000 / l.received : -1.0;
}

std::string number(double v, const char *fmt)
{
    if (v < 0)
        return "-";
    char t[48];
    std::snprintf(t, sizeof t, fmt, v);
    return t;
}

// ours against ser2net's figure, met when at most limit times it.
std::string against_ser2net(const load_report &r, double ours, double theirs, double limit)
{
    if (!r.ser2net || theirs <= 0)
        return "(no ser2net)";
    char t[64];
    std::snprintf(t, sizeof t, "%.2fx: %s", ours / theirs,
                  ours <= limit * theirs ? "met" : "MISSED");
    return t;
}

void print_full_load(FILE *out, const load_options &opt, const load_report &r)
{
    const load_latency &gw = r.both[LOAD_GATEWAY][LOAD_FULL], &sn = r.both[LOAD_SER2NET][LOAD_FULL];
    std::fprintf(out,
                 "| uplink latency median, both ports at 960 B/s, 25-byte frames, %.0f s | %s | %s "
                 "| <= 1.2x ser2net | %s |\n",
                 opt.phase_seconds, latency(r, gw, false, 0).c_str(),
                 latency(r, sn, false, 1).c_str(),
                 against_ser2net(r, gw.median_ms, sn.median_ms, 1.2).c_str());
    std::fprintf(out, "| uplink latency p99, same load | %s | %s | - | %s |\n",
                 latency(r, gw, true, 0).c_str(), latency(r, sn, true, 1).c_str(),
                 against_ser2net(r, gw.p99_ms, sn.p99_ms, 1e9).c_str());
    std::fprintf(out,
                 "| CPU seconds per 10,000 frames, same load | %s | %s | <= 1.0x ser2net | %s |\n",
                 number(per10k(r, 0), "%.4f s").c_str(), number(per10k(r, 1), "%.4f s").c_str(),
                 against_ser2net(r, per10k(r, 0), per10k(r, 1), 1.0).c_str());
}

// Both builds saw the same frames at the same moments: the ratio is the
// change this build made, the machine's own variation cancelling.
void print_previous(FILE *out, const load_options &opt, const load_report &r)
{
    char result[96];
    if (r.compare_ratio > 0)
        std::snprintf(result, sizeof result, "%.2fx (median of %d windows): %s", r.compare_ratio,
                      r.compare_windows, r.compare_ratio <= 1.05 ? "met" : "MISSED");
    else
        std::snprintf(result, sizeof result, "(no figure: %s)",
                      r.previous ? "no frames delivered" : r.previous_fault.c_str());
    std::fprintf(out,
                 "| CPU seconds per 10,000 frames, same load, against %s | %s | %s | <= 1.05x "
                 "previous | %s |\n",
                 opt.compare_label.empty() ? "the previous build" : opt.compare_label.c_str(),
                 number(per10k(r, LOAD_GATEWAY), "%.4f s").c_str(),
                 number(per10k(r, LOAD_PREVIOUS), "%.4f s").c_str(), result);
}

void print_delivered(FILE *out, const load_report &r)
{
    const load_latency &gw = r.both[LOAD_GATEWAY][LOAD_FULL], &sn = r.both[LOAD_SER2NET][LOAD_FULL];
    const std::string theirs =
        r.ser2net ? std::to_string(sn.received) + " of " + std::to_string(sn.sent) : "-";
    std::fprintf(out, "| frames delivered, same load | %d of %d | %s | all | %s |\n", gw.received,
                 gw.sent, theirs.c_str(), gw.received == gw.sent ? "met" : "MISSED");
}

// /dev/ttyO2's latency with /dev/ttyO1 quiet, and with noise on it.
void print_noise(FILE *out, const load_report &r)
{
    const double quiet = r.ttyo2[LOAD_GATEWAY][LOAD_ALONE].p99_ms,
                 noisy = r.ttyo2[LOAD_GATEWAY][LOAD_NOISE].p99_ms;
    std::fprintf(out, "| /dev/ttyO2 latency p99, /dev/ttyO1 quiet | %s | %s | - | - |\n",
                 latency(r, r.ttyo2[0][LOAD_ALONE], true, 0).c_str(),
                 latency(r, r.ttyo2[1][LOAD_ALONE], true, 1).c_str());
    char noise_ratio[48];
    std::snprintf(noise_ratio, sizeof noise_ratio, "%.2fx: %s", quiet > 0 ? noisy / quiet : 0,
                  noisy <= 2 * quiet ? "met" : "MISSED");
    std::fprintf(out,
                 "| /dev/ttyO2 latency p99, /dev/ttyO1 random bytes at 960 B/s | %s | %s | <= 2x "
                 "quiet | %s |\n",
                 latency(r, r.ttyo2[0][LOAD_NOISE], true, 0).c_str(),
                 latency(r, r.ttyo2[1][LOAD_NOISE], true, 1).c_str(), noise_ratio);
}

void print_memory(FILE *out, const load_report &r)
{
    const std::string theirs = r.ser2net ? std::to_string(r.rss_kib[1]) + " KiB (" +
                                               std::to_string(r.peak_rss_kib[1]) + " KiB)"
                                         : "-";
    std::fprintf(
        out,
        "| resident memory after the load (peak) | %ld KiB (%ld KiB) | %s | <= 6144 KiB | %s |\n",
        r.rss_kib[0], r.peak_rss_kib[0], theirs.c_str(),
        r.peak_rss_kib[0] > 0 && r.peak_rss_kib[0] <= 6144 ? "met" : "MISSED");
}

std::string memory(const load_report &r, int d)
{
    return std::to_string(r.rss_kib[d]) + " KiB (" + std::to_string(r.peak_rss_kib[d]) + " KiB)";
}

// The TLS gateway's own figures, the plain gateway's beside them.
void print_tls_figures(FILE *out, const load_report &r)
{
    const load_latency &tls = r.both[LOAD_TLS][LOAD_FULL], &plain = r.both[LOAD_GATEWAY][LOAD_FULL];
    std::fprintf(out,
                 "| TLS link: uplink latency median / p99, same load | %.3f ms / %.3f ms | "
                 "plain TCP: %.3f ms / %.3f ms | - | - |\n",
                 tls.median_ms, tls.p99_ms, plain.median_ms, plain.p99_ms);
    std::fprintf(out,
                 "| TLS link: CPU seconds per 10,000 frames, same load | %s | plain TCP: %s | - | "
                 "- |\n",
                 number(per10k(r, LOAD_TLS), "%.4f s").c_str(),
                 number(per10k(r, LOAD_GATEWAY), "%.4f s").c_str());
    std::fprintf(out, "| TLS link: frames delivered, same load | %d of %d | - | all | %s |\n",
                 tls.received, tls.sent, tls.received == tls.sent ? "met" : "MISSED");
    std::fprintf(out,
                 "| TLS link: resident memory after the load (peak) | %s | plain TCP: %s | - | "
                 "%+ld KiB (peak %+ld KiB) |\n",
                 memory(r, LOAD_TLS).c_str(), memory(r, LOAD_GATEWAY).c_str(),
                 r.rss_kib[LOAD_TLS] - r.rss_kib[LOAD_GATEWAY],
                 r.peak_rss_kib[LOAD_TLS] - r.peak_rss_kib[LOAD_GATEWAY]);
}

// Both gateways are this build and saw the same frames at the same moments:
// the CPU ratio (the median over windows) and the difference of the latency
// medians are what the protected link costs.
void print_tls(FILE *out, const load_report &r)
{
    const char *const figure =
        "TLS link against plain TCP, same run: CPU per 10,000 frames "
        "(ratio); added latency median";
    if (!r.tls) {
        std::fprintf(out, "| %s | - | - | <= 1.5x; < 1 ms | (no figure: %s) |\n", figure,
                     r.tls_fault.c_str());
        return;
    }
    print_tls_figures(out, r);
    const double added =
        r.both[LOAD_TLS][LOAD_FULL].median_ms - r.both[LOAD_GATEWAY][LOAD_FULL].median_ms;
    const bool cpu_met = r.tls_ratio > 0 && r.tls_ratio <= 1.5, latency_met = added < 1.0;
    std::fprintf(out,
                 "| %s | %.2fx (median of %d windows); %+.3f ms | - | <= 1.5x; < 1 ms | %s; %s "
                 "|\n",
                 figure, r.tls_ratio, r.tls_windows, added, cpu_met ? "met" : "MISSED",
                 latency_met ? "met" : "MISSED");
}

}  // namespace

void load_print_table(FILE *out, const load_options &opt, const load_report &r)
{
    const double idle = 100 * r.cpu_seconds[LOAD_GATEWAY][LOAD_IDLE] / opt.phase_seconds;
    std::fprintf(out,
                 "| figure | lampgw | yardstick (ser2net; plain rescan) | goal | result "
                 "|\n|---|---|---|---|---|\n");
    std::fprintf(out,
                 "| idle CPU, link up, %.0f s (share of one core) | %s | %s | <= 0.5 %% | %s |\n",
                 opt.phase_seconds, idle_share(opt, r, 0).c_str(), idle_share(opt, r, 1).c_str(),
                 idle <= 0.5 ? "met" : "MISSED");
    print_full_load(out, opt, r);
    if (!opt.compare.empty())
        print_previous(out, opt, r);
    print_delivered(out, r);
    print_noise(out, r);
    print_memory(out, r);
    if (opt.tls)
        print_tls(out, r);
    for (const auto &f : r.failures)
        std::fprintf(out, "\nFAILED: %s\n", f.c_str());
    std::fflush(out);
}
