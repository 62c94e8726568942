// lampgw-sim: runs the gateway, unchanged and in-process, against a
// simulated street, prints its console interleaved with the street's events
// and ends with a summary. Exit status 0 when every check passed.
//
// With --load it measures instead: the gateway as a process of its own
// (lampgw-hosted) under full radio load, ser2net and optionally an older
// build beside it, and prints a table of the figures.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/load.h"
#include "drivers/simulator.h"
#include "drivers/soak.h"

#ifndef LAMPGW_ZUZIZE_VID
#define LAMPGW_ZUZIZE_VID ""
#endif
#ifndef LAMPGW_HOSTED
#define LAMPGW_HOSTED "lampgw-hosted"
#endif

namespace {

const char *const LOAD_USAGE =
    "usage: lampgw-sim --load [--phase-seconds N] [--no-ser2net] [--ser2net PATH]\n"
    "                         [--ser2net-nodelay] [--compare PATH [--compare-label TEXT]] [--tls]\n"
    "  four phases of N seconds (default 60): idle, both ports at 960 B/s, /dev/ttyO2\n"
    "  alone, /dev/ttyO1 noise; ser2net relays the same traffic when installed\n"
    "  (--ser2net-nodelay: without its default delay for gathering characters);\n"
    "  --compare: an older lampgw-hosted fed the same frames beside this one, for\n"
    "  its CPU per frame (TEXT names it in the table, e.g. its commit); --tls: this\n"
    "  gateway once more beside, its server link in TLS, against the plain link\n";

int load_main(int argc, char **argv)
{
    load_options opt;
    opt.hosted = LAMPGW_HOSTED;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        char *end = nullptr;
        if (a == "--load")
            continue;
        if (a == "--no-ser2net") {
            opt.ser2net = false;
        } else if (a == "--ser2net-nodelay") {
            opt.ser2net_nodelay = true;
        } else if (a == "--ser2net" && i + 1 < argc) {
            opt.ser2net_exe = argv[++i];
        } else if (a == "--tls") {
            opt.tls = true;
        } else if (a == "--compare" && i + 1 < argc) {
            opt.compare = argv[++i];
        } else if (a == "--compare-label" && i + 1 < argc) {
            opt.compare_label = argv[++i];
        } else if (a == "--phase-seconds" && i + 1 < argc &&
                   (opt.phase_seconds = std::strtod(argv[++i], &end)) > 0 && *end == '\0' &&
                   opt.phase_seconds <= 3600) {
        } else {
            std::fprintf(stderr, "lampgw-sim: bad load option %s\n%s", a.c_str(), LOAD_USAGE);
            return 2;
        }
    }
    std::fprintf(stderr, "lampgw-sim: load run, 4 phases of %.0f s (about %.0f s in all)\n",
                 opt.phase_seconds, 4 * opt.phase_seconds + 10);
    load_report r;
    const int rc = load_run(opt, &r);
    load_print_table(stdout, opt, r);
    return rc;
}

int soak_main(int argc, char **argv)
{
    soak_options opt;
    opt.hosted = LAMPGW_HOSTED;
    std::string err;
    const int rc = soak_parse_args(argc, argv, &opt, &err);
    if (rc == 2) {
        std::fputs(soak_usage(), stdout);
        return 0;
    }
    if (rc != 0) {
        std::fprintf(stderr, "lampgw-sim: %s\n%s", err.c_str(), soak_usage());
        return 2;
    }
    soak_report r;
    const int result = soak_run(opt, &r, stdout);
    if (result != 2)
        soak_print_summary(stdout, opt, r);
    return result;
}

}  // namespace

int main(int argc, char **argv)
{
    // Before any output: one line at a time, whatever stdout is.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--load") == 0)
            return load_main(argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--soak") == 0)
            return soak_main(argc, argv);
    sim_options opt;
    opt.companion = LAMPGW_ZUZIZE_VID;
    std::string err;
    int rc = sim_parse_args(argc, argv, &opt, &err);
    if (rc == 2) {
        std::fputs(sim_usage(), stdout);
        std::fputs(LOAD_USAGE, stdout);
        std::fputs(soak_usage(), stdout);
        return 0;
    }
    if (rc != 0) {
        std::fprintf(stderr, "lampgw-sim: %s\n%s", err.c_str(), sim_usage());
        return 2;
    }
    std::vector<sim_event> events;
    if (!opt.scenario.empty() && !sim_load_scenario(opt.scenario, &events, &err)) {
        std::fprintf(stderr, "lampgw-sim: %s\n", err.c_str());
        return 2;
    }
    sim_counters counters;
    rc = sim_run(opt, events, &counters);
    if (rc == 2)
        return 2;
    sim_print_summary(stdout, opt, counters);
    // Gateway threads that were still busy at the end are not waited for.
    std::fflush(stdout);
    std::_Exit(rc);
}
