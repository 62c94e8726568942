// The summary table that ends a demo run.
#include <algorithm>
#include <cmath>

#include "board/board.h"
#include "drivers/simulator.h"

namespace {

void print_ports(FILE *out, const sim_counters &c)
{
    const char *port_name[2] = {"/dev/ttyO1 (434 MHz, type 1)", "/dev/ttyO2 (450 MHz, type 5)"};
    std::fprintf(out, "%-30s %-28s %s\n", "port", "up: lamp/injected -> server",
                 "down: server -> module (unkeyed)");
    for (int i = 0; i < 2; ++i) {
        const sim_port_counters &p = c.port[i];
        char up[64], down[64];
        std::snprintf(up, sizeof up, "%d + %d -> %d", p.lamp_frames, p.injected_frames,
                      p.at_server);
        std::snprintf(down, sizeof down, "%d -> %d (%d)", p.server_sent, p.at_module, p.unkeyed);
        std::fprintf(out, "%-30s %-28s %s\n", port_name[i], up, down);
    }
}

// The street's own figures: link, SMS, lines, latency, module settings.
void print_street(FILE *out, const sim_counters &c)
{
    std::fprintf(out, "%-30s %d\n", "frames at the server", c.server_frames);
    std::fprintf(out, "%-30s %d sent, %d answered\n", "heartbeats", c.heartbeats,
                 c.heartbeats_answered);
    std::fprintf(out,
                 "%-30s %d by the server, %d by the gateway; %d connection(s), %d reconnect(s)\n",
                 "link drops", c.server_drops, c.gateway_closes, c.connections,
                 c.connections > 0 ? c.connections - 1 : 0);
    if (c.tls_handshakes > 0 || c.tls_refused > 0)
        std::fprintf(out, "%-30s %d handshake(s), %d refused\n", "tls", c.tls_handshakes,
                     c.tls_refused);
    std::fprintf(out, "%-30s %d in, %d handled, %d \"ok\" replies, %d frame(s) forwarded by SMS\n",
                 "SMS", c.sms_in, c.sms_handled, c.replies_ok, c.sms_forwarded);
    std::fprintf(out, "%-30s key %d (ttyO1): %d, key %d (ttyO2): %d\n", "transmit-key windows",
                 board.gpio_key_other, c.port[0].key_windows, board.gpio_key_ludeng,
                 c.port[1].key_windows);
    std::fprintf(out, "%-30s %d\n", "watchdog feeds", c.watchdog_feeds);
    std::fprintf(out, "%-30s %d\n", "modem resets by the server", c.modem_resets);
    std::fprintf(out, "%-30s %d\n", "reboots requested", c.reboots);
    std::fprintf(out, "%-30s %d\n", "companion starts", c.companion_starts);
    std::fprintf(out, "%-30s median %.2f ms, p99 %.2f ms (%zu frames, real time)\n",
                 "lamp -> server latency", sim_percentile(c.latency_ms, 0.5),
                 sim_percentile(c.latency_ms, 0.99), c.latency_ms.size());
    for (int i = 0; i < 2; ++i)
        std::fprintf(out, "%-30s %s; %d config command(s), %d malformed, %d noise byte(s)\n",
                     i == 0 ? "radio1 settings" : "radio2 settings", c.port[i].settings.c_str(),
                     c.port[i].config_ok, c.port[i].config_bad, c.port[i].noise_bytes);
}

// The gateway's own counts beside the street's, one row per check.
void print_counts(FILE *out, const sim_counters &c)
{
    std::fprintf(out, "\n%-44s %-44s %7s %7s\n", "the gateway's own counts: street figure",
                 "gateway key(s)", "street", "gateway");
    for (const count_check &k : c.counts) {
        std::string keys = k.keys;
        std::replace(keys.begin(), keys.end(), ' ', '+');
        std::string verdict = !k.ok ? "DISAGREE" : k.gateway == k.street_before ? "agree" : "";
        if (verdict.empty())
            verdict = "agree within -" + std::to_string(k.below) + "/+" + std::to_string(k.above) +
                      ": " + k.why;
        std::fprintf(out, "%-44s %-44s %7lld %7lld  %s\n", k.figure.c_str(), keys.c_str(),
                     k.street_before, k.gateway, verdict.c_str());
    }
}

}  // namespace

double sim_percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    double rank = std::ceil(p * static_cast<double>(v.size()));
    size_t i = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return v[std::min(i, v.size() - 1)];
}

void sim_print_summary(FILE *out, const sim_options &opt, const sim_counters &c)
{
    std::fprintf(
        out,
        "\n==== lampgw-sim summary: %.0f gateway s after start-up, clock x%u, %.1f s real ====\n",
        opt.duration, opt.time_scale, c.real_seconds);
    print_ports(out, c);
    print_street(out, c);
    print_counts(out, c);
    if (c.failures.empty())
        std::fprintf(out, "%-30s all passed\n", "checks");
    for (const auto &f : c.failures)
        std::fprintf(out, "%-30s FAILED: %s\n", "checks", f.c_str());
    std::fflush(out);
}
