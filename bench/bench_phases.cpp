// bench_phases.cpp: runs the supervision loop against live slots and records
// what one pass costs and how soon an ended child is reaped.
#include "bench_phases.h"

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "engine/orva.h"
#include "service/orva_service.h"

volatile std::sig_atomic_t g_benchStop;

namespace {

constexpr int kPassMs = 20;               // the service's own pace
constexpr double kKillGapSeconds = 0.5;
constexpr double kReapGiveUpSeconds = 5;  // well past the engine's once-a-second sweep

int startSlot(int slot) {
    // A plain file-to-file request; whatever line it becomes, the fake ignores it.
    static ORVA_INPUT_TAG input{};
    static ORVA_OUTPUT_TAG output{};
    input.pszAddress = "bench.ts";
    output.pszAddress = "out.ts";
    return orvaTranscodeA(slot, &input, &output);
}

std::vector<pid_t> slotPids(int slots) {
    std::vector<pid_t> pids;
    for (int slot = 0; slot < slots; slot++)
        pids.push_back(g_procChannels[slot].pid);
    return pids;
}

long long folderBytes(const char* folder) {
    long long total = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::error_code sizeEc;
        auto size = entry.file_size(sizeEc);
        if (!sizeEc)
            total += static_cast<long long>(size);
    }
    return total;
}

void countSlots(int slots, CpuWindow& window) {
    for (int slot = 0; slot < slots; slot++) {
        if (orvaGetState(slot) != ORVA_STATE_RUNNING)
            continue;
        window.slotsRunning++;
        if (orvaGetStreamTime(slot) > 0)
            window.slotsWithProgress++;
    }
}

int pickRunningSlot(int slots, std::mt19937& rng) {
    std::vector<int> running;
    for (int slot = 0; slot < slots; slot++) {
        if (orvaGetState(slot) == ORVA_STATE_RUNNING && g_procChannels[slot].pid > 0)
            running.push_back(slot);
    }
    if (running.empty())
        return -1;
    return running[std::uniform_int_distribution<size_t>(0, running.size() - 1)(rng)];
}

// The clock is read right after each pass, as the service would see the slot.
void timeOneReap(int slot, ReapRounds& rounds) {
    pid_t pid = g_procChannels[slot].pid;
    double start = monotonicSeconds();
    kill(pid, SIGKILL);
    int passes = 0;
    double now = start;
    while (!g_benchStop && now - start < kReapGiveUpSeconds) {
        orvaSleep(kPassMs);
        orvaSupervisePass();
        passes++;
        now = monotonicSeconds();
        if (orvaGetState(slot) == ORVA_STATE_IDLE)
            break;
    }
    rounds.latencyMs.push_back((now - start) * 1000.0);
    rounds.maxPasses = std::max(rounds.maxPasses, passes);
    if (orvaGetState(slot) != ORVA_STATE_IDLE || startSlot(slot) != ORVA_OK)
        rounds.restartFailures++;
}

}  // namespace

int startSlots(int count) {
    int started = 0;
    for (int slot = 0; slot < count; slot++) {
        if (startSlot(slot) == ORVA_OK)
            started++;
    }
    return started;
}

long runPasses(double until) {
    long passes = 0;
    while (!g_benchStop && monotonicSeconds() < until) {
        orvaSleep(kPassMs);
        orvaSupervisePass();
        passes++;
    }
    return passes;
}

CpuWindow measureCpu(int slots, int seconds, const char* logFolder) {
    CpuWindow window;
    long long logStart = folderBytes(logFolder);
    UsageSample start = takeUsageSample(slotPids(slots));
    long passes = runPasses(start.wall + seconds);
    UsageSample end = takeUsageSample(slotPids(slots));
    window.usage = usageBetween(start, end);
    window.passesPerSecond = window.usage.seconds > 0 ? passes / window.usage.seconds : 0;
    window.logBytes = folderBytes(logFolder) - logStart;
    countSlots(slots, window);
    return window;
}

ReapRounds measureReaps(int slots, int kills) {
    ReapRounds rounds;
    std::mt19937 rng(20240601);  // the same slots every run
    UsageSample start = takeUsageSample({});
    for (int k = 0; k < kills && !g_benchStop; k++) {
        int slot = pickRunningSlot(slots, rng);
        if (slot < 0)
            break;
        double roundStart = monotonicSeconds();
        timeOneReap(slot, rounds);
        runPasses(roundStart + kKillGapSeconds);
    }
    rounds.usage = usageBetween(start, takeUsageSample({}));
    return rounds;
}
