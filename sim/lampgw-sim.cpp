// lampgw-sim: runs the gateway, unchanged and in-process, against a
// simulated street, prints its console interleaved with the street's events
// and ends with a summary. Exit status 0 when every check passed.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "emu/simulator.h"

#ifndef LAMPGW_ZUZIZE_VID
#define LAMPGW_ZUZIZE_VID ""
#endif

int main(int argc, char **argv)
{
    // Before any output: one line at a time, whatever stdout is.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    sim_options opt;
    opt.companion = LAMPGW_ZUZIZE_VID;
    std::string err;
    int rc = sim_parse_args(argc, argv, &opt, &err);
    if (rc == 2) {
        std::fputs(sim_usage(), stdout);
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
