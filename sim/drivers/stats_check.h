// The gateway's statistics line read back, and its counts held against what
// the street counted of the same events: the simulator does it at the end of
// a run, the soak at the end of every gateway process's day.
#pragma once

#include <map>
#include <string>
#include <vector>

// The whole-number values of a "stats key=value ..." line, by key (version
// and link, which are words, are left out).
using gw_stats = std::map<std::string, long long>;

// Parses the line (a console line may carry text before "stats "). False
// when it holds no statistics line.
bool stats_parse(const std::string &line, gw_stats *out);

// One event counted twice, by the gateway (the sum of `keys`) and by the
// street. The street's count is taken before the gateway's line was asked
// for (street_before) and after it arrived (street_after); for a settled
// run both are the same. The gateway's count agrees when it lies within
// [street_before - below, street_after + above]; a tolerance needs a reason.
struct count_check {
    std::string keys;    // blank-separated keys of the statistics line, summed
    std::string figure;  // what the street counted, in words
    long long street_before = 0, street_after = 0;
    long long below = 0, above = 0;
    std::string why;         // why the tolerance; empty when exact
    long long gateway = -1;  // -1: a key is missing from the line
    bool ok = false;
};

// Fills in gateway and ok of every check.
void count_checks_run(const gw_stats &stats, std::vector<count_check> *checks);

// "other_relayed: gateway 13, frames at the server 14 (tolerance -0/+1: why)".
std::string count_check_text(const count_check &c);
