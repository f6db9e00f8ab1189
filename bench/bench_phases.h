// bench_phases.h: drives the engine the way the service does and times it:
// the steady CPU window and the kill-and-reap rounds.
#pragma once

#include <csignal>
#include <vector>

#include "bench_usage.h"

// Set by SIGINT or SIGTERM; every phase ends early when it is set.
extern volatile std::sig_atomic_t g_benchStop;

// Starts slots 0..count-1; returns how many started.
int startSlots(int count);

// The service's own loop (sleep, then one supervision pass) until `until`
// (CLOCK_MONOTONIC seconds); returns the number of passes.
long runPasses(double until);

struct CpuWindow {
    UsageFigures usage;
    double passesPerSecond = 0;
    long long logBytes = 0;     // written to the slots' log files in the window
    int slotsRunning = 0;       // at the end of the window
    int slotsWithProgress = 0;  // of those, slots whose stream time was parsed
};

CpuWindow measureCpu(int slots, int seconds, const char* logFolder);

struct ReapRounds {
    std::vector<double> latencyMs;  // from kill() to the pass that left the slot idle
    int maxPasses = 0;              // passes it took, worst round
    int restartFailures = 0;
    UsageFigures usage;             // of the whole kill phase
};

// Kills a random running slot `kills` times, 0.5 s apart, restarting each.
ReapRounds measureReaps(int slots, int kills);
