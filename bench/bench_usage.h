// bench_usage.h: CPU time of this process, of its children and of the whole
// machine, sampled at the two ends of a window.
#pragma once

#include <sys/types.h>

#include <map>
#include <vector>

struct UsageSample {
    double wall = 0;          // CLOCK_MONOTONIC, seconds
    double selfUser = 0, selfSystem = 0;  // getrusage utime and stime, seconds
    double selfSched = 0;     // on-CPU seconds of all our threads (schedstat)
    long long machineBusy = 0, machineTotal = 0;  // jiffies of all cores
    std::map<pid_t, double> children;             // on-CPU seconds (schedstat)
};

struct UsageFigures {
    double seconds = 0;
    double selfPct = 0;        // % of one core, user and system time together
    double selfSystemPct = 0;  // the system time's part of it
    double selfSchedPct = 0;   // % of one core
    double childrenPct = 0;    // % of one core, summed over children alive at both ends
    int childrenCounted = 0;
    double machineBusyPct = 0; // % of all cores together
};

double monotonicSeconds();
UsageSample takeUsageSample(const std::vector<pid_t>& children);
UsageFigures usageBetween(const UsageSample& start, const UsageSample& end);
