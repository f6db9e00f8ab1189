// orva_bench_supervise.cpp: measures what supervising live transcoders costs
// the service (CPU of its loop) and how soon it reaps a child that ended.
//
// The loop is the service's own: orvaSleep(20) then orvaSupervisePass(), with
// an empty channel table, so the figures are those of the engine's poll.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "bench_options.h"
#include "bench_phases.h"
#include "engine/orva.h"

namespace {

void onStopSignal(int) { g_benchStop = 1; }

void installStopHandlers() {
    struct sigaction sa{};
    sa.sa_handler = onStopSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// Sets `folder`; `owned` tells whether the benchmark made it and must remove it.
bool prepareWorkDir(const BenchOptions& options, std::string& folder, bool& owned) {
    owned = options.workDir.empty();
    if (owned) {
        char pattern[] = "/tmp/orva-bench-XXXXXX";
        if (!mkdtemp(pattern)) {
            perror("mkdtemp");
            return false;
        }
        folder = pattern;
    } else {
        folder = options.workDir;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder + "/log", ec);  // the engine does not make it
    if (ec)
        fprintf(stderr, "cannot create %s/log: %s\n", folder.c_str(), ec.message().c_str());
    return !ec;
}

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty())
        return NAN;
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * sorted.size()));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

void printHeader(const BenchOptions& options) {
    char stamp[32];
    time_t now = time(nullptr);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M", localtime(&now));
    printf("\norva supervision benchmark, %s, %ld cores, slots %d, log level %d\n", stamp,
           sysconf(_SC_NPROCESSORS_ONLN), options.slots, options.logLevel);
    printf("| figure | value |\n|---|---|\n");
}

void printCpu(const CpuWindow& w) {
    const UsageFigures& u = w.usage;
    printf("| CPU window | %.1f s |\n", u.seconds);
    printf("| service CPU, %% of one core (getrusage) | %.2f |\n", u.selfPct);
    printf("| of which in the kernel (system time) | %.2f |\n", u.selfSystemPct);
    printf("| service CPU, %% of one core (schedstat) | %.2f |\n", u.selfSchedPct);
    printf("| supervision passes per second | %.1f |\n", w.passesPerSecond);
    printf("| slots running / with progress parsed | %d / %d |\n", w.slotsRunning,
           w.slotsWithProgress);
    printf("| log bytes written in the window | %lld |\n", w.logBytes);
    printf("| children's CPU summed, %% of one core (%d children) | %.2f |\n",
           u.childrenCounted, u.childrenPct);
    printf("| machine busy, %% of all cores, CPU window | %.1f |\n", u.machineBusyPct);
}

void printReaps(ReapRounds r) {
    printf("| kills timed | %zu |\n", r.latencyMs.size());
    if (r.latencyMs.empty())
        return;
    std::sort(r.latencyMs.begin(), r.latencyMs.end());
    printf("| reap latency kill -> idle, ms: median / p90 / max | %.2f / %.2f / %.2f |\n",
           percentile(r.latencyMs, 50), percentile(r.latencyMs, 90), r.latencyMs.back());
    printf("| passes until idle, worst kill | %d |\n", r.maxPasses);
    printf("| restarts failed | %d |\n", r.restartFailures);
    printf("| service CPU during the kill phase, %% of one core | %.2f |\n", r.usage.selfPct);
    printf("| machine busy, %% of all cores, kill phase | %.1f |\n", r.usage.machineBusyPct);
}

int initEngine(const BenchOptions& options, const std::string& work) {
    std::string engineDir = options.engineDir.empty() ? ORVA_BENCH_FAKE_DIR : options.engineDir;
    ORVA_INIT_TAG init{};
    init.logLevel = options.logLevel;
    init.pszEngineDir = engineDir.c_str();
    init.pszWorkDir = work.c_str();
    int rc = orvaInitA(&init);
    if (rc != ORVA_OK)
        fprintf(stderr, "orvaInitA failed (%d): is %s/orval.so executable?\n", rc,
                engineDir.c_str());
    return rc;
}

// Caller has initialised the engine and frees it afterwards.
void runPhases(const BenchOptions& options, const std::string& work) {
    int started = startSlots(options.slots);
    fprintf(stderr, "started %d of %d slots; settling %d s\n", started, options.slots,
            options.settleSeconds);
    runPasses(monotonicSeconds() + options.settleSeconds);
    if (g_benchStop) {
        fprintf(stderr, "stopped before the CPU window\n");
        return;
    }
    fprintf(stderr, "CPU window: %d s\n", options.seconds);
    CpuWindow cpu = measureCpu(options.slots, options.seconds, (work + "/log").c_str());
    // A window cut short by a signal is still reported, with its real length.
    ReapRounds reaps;
    if (!g_benchStop) {
        fprintf(stderr, "kill phase: %d kills, 0.5 s apart\n", options.kills);
        reaps = measureReaps(options.slots, options.kills);
    }
    printHeader(options);
    printCpu(cpu);
    printReaps(reaps);
    if (g_benchStop)
        printf("(stopped early by a signal)\n");
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions options;
    BenchParse parsed = parseBenchOptions(argc, argv, options);
    if (parsed != BenchParse::Run)
        return parsed == BenchParse::Help ? 0 : 2;
    installStopHandlers();
    std::string work;
    bool ownsWork = false;
    if (!prepareWorkDir(options, work, ownsWork))
        return 1;
    int rc = initEngine(options, work);
    if (rc == ORVA_OK) {
        runPhases(options, work);
        orvaFree();
    }
    std::error_code ec;
    if (ownsWork)
        std::filesystem::remove_all(work, ec);
    return rc == ORVA_OK ? 0 : 1;
}
