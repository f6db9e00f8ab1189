// orva_runs.cpp: the run records of the slots: counters, the run in progress
// with the transcoder's last error line, and the last finished runs.
//
// DESIGN: a run begins at a launch and ends when its process is reaped; only
// then is its cause settled: the first cause a caller marked, else a hang
// kill, else the process ended by itself. Output arrives in chunks that cut
// lines anywhere, so the unfinished tail of each chunk waits for the next.
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "orva_engine.h"
#include "orva_runs.h"
#include "orva_text.h"

namespace {

// Words of the transcoder's complaints; progress and informational lines hold none.
constexpr std::string_view kErrorWords[] = {"error",  "failed",  "invalid", "cannot",
                                            "could not", "unable", "no such", "not found",
                                            "denied", "refused"};
// A line without an end this long is judged as it is.
constexpr size_t kPartialLineMax = 1000;

struct SlotRuns {
    OrvaSlotCounters counters;
    bool running = false;
    time_t start = 0;
    std::optional<OrvaRunEnd> cause;
    bool hangKilled = false;
    std::string partialLine;
    std::string lastError;
    std::deque<OrvaRun> finished;
};

std::array<SlotRuns, ORVA_SLOT_COUNT> g_runs;
OrvaRunHook g_runHook;

// The words are ASCII, so an ASCII fold finds them whatever the locale. The
// folded copy is kept between lines: every progress line passes here.
bool looksLikeError(std::string_view line) {
    thread_local std::string lower;
    lower.assign(line);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return std::any_of(std::begin(kErrorWords), std::end(kErrorWords),
                       [](std::string_view word) { return lower.find(word) != std::string::npos; });
}

std::string_view trimmed(std::string_view line) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.remove_suffix(1);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front())))
        line.remove_prefix(1);
    return line;
}

// The launcher's alarm lines are kept as alarms: a target's reason
// ("Connection refused") is no error of the run.
bool isAlarmLine(std::string_view line) { return line.find("orval-alarm: ") != line.npos; }

void judgeLine(SlotRuns& runs, std::string_view line) {
    line = trimmed(line);
    if (!line.empty() && !isAlarmLine(line) && looksLikeError(line))
        runs.lastError.assign(line.substr(0, kOrvaErrorLineMax));
}

// The status a shell would show: the exit code, or 128 + the killing signal.
int shellStatus(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return waitStatus;
}

void keep(SlotRuns& runs, OrvaRun run) {
    runs.finished.push_back(std::move(run));
    while (runs.finished.size() > kOrvaRunsKept)
        runs.finished.pop_front();
}

SlotRuns* slotRuns(int slot) {
    return slot >= 0 && slot < ORVA_SLOT_COUNT ? &g_runs[static_cast<size_t>(slot)] : nullptr;
}

}  // namespace

const char* orvaRunEndName(OrvaRunEnd how) {
    switch (how) {
    case OrvaRunEnd::Exited: return "exited";
    case OrvaRunEnd::Hung: return "hung";
    case OrvaRunEnd::Stopped: return "stopped";
    case OrvaRunEnd::Refused: return "refused";
    case OrvaRunEnd::Shutdown: return "shutdown";
    }
    return "exited";
}

std::vector<OrvaRun> orvaSlotRuns(int slot) {
    const SlotRuns* runs = slotRuns(slot);
    return runs ? std::vector<OrvaRun>(runs->finished.begin(), runs->finished.end())
                : std::vector<OrvaRun>{};
}

OrvaSlotCounters orvaSlotCounters(int slot) {
    const SlotRuns* runs = slotRuns(slot);
    return runs ? runs->counters : OrvaSlotCounters{};
}

void orvaMarkStopCause(int slot, OrvaRunEnd how) {
    SlotRuns* runs = slotRuns(slot);
    if (runs && runs->running && !runs->cause)
        runs->cause = how;
}

void orvaRecordRefusal(int slot, int code) {
    SlotRuns* runs = slotRuns(slot);
    if (!runs)
        return;
    // A start that finds the slot busy met a run in progress (the start-up
    // pass starts a folder channel once more): nothing failed.
    if (code != ORVA_ERR_SLOT_BUSY)
        runs->counters.failedRuns++;
    time_t now = time(nullptr);
    if (!runs->finished.empty()) {
        OrvaRun& last = runs->finished.back();
        if (last.how == OrvaRunEnd::Refused && last.code == code) {
            last.end = now;
            return;
        }
    }
    OrvaRun run;
    run.start = run.end = now;
    run.how = OrvaRunEnd::Refused;
    run.code = code;
    keep(*runs, std::move(run));
}

void orvaSetRunHook(OrvaRunHook hook) { g_runHook = hook; }

void orvaRunLaunched(int slot) {
    SlotRuns& runs = g_runs[static_cast<size_t>(slot)];
    runs.counters.starts++;
    runs.running = true;
    runs.start = time(nullptr);
    runs.cause.reset();
    runs.hangKilled = false;
    runs.partialLine.clear();
    runs.lastError.clear();
}

void orvaRunOutput(int slot, std::string_view chunk) {
    SlotRuns& runs = g_runs[static_cast<size_t>(slot)];
    // Progress lines end in a carriage return, messages in a line feed.
    for (size_t end; (end = lineEnd(chunk)) != std::string_view::npos;) {
        runs.partialLine.append(chunk.substr(0, end));
        judgeLine(runs, runs.partialLine);
        runs.partialLine.clear();
        chunk.remove_prefix(end + 1);
    }
    runs.partialLine.append(chunk);
    if (runs.partialLine.size() >= kPartialLineMax) {
        judgeLine(runs, runs.partialLine);
        runs.partialLine.clear();
    }
}

void orvaRunHangKill(int slot) {
    SlotRuns& runs = g_runs[static_cast<size_t>(slot)];
    if (!runs.running || runs.hangKilled)
        return;  // the hang check fires on every pass until the process is reaped
    runs.hangKilled = true;
    runs.counters.hangKills++;
    if (!runs.cause)
        runs.cause = OrvaRunEnd::Hung;
}

void orvaRunReaped(int slot, int waitStatus) {
    SlotRuns& runs = g_runs[static_cast<size_t>(slot)];
    if (!runs.running)
        return;
    judgeLine(runs, runs.partialLine);  // a last line printed without an end
    OrvaRun run;
    run.start = runs.start;
    run.end = time(nullptr);
    run.how = runs.cause.value_or(OrvaRunEnd::Exited);
    run.code = shellStatus(waitStatus);
    run.lastError = std::move(runs.lastError);
    runs.counters.lastExitStatus = run.code;
    if (run.how == OrvaRunEnd::Hung || (run.how == OrvaRunEnd::Exited && run.code != 0))
        runs.counters.failedRuns++;
    runs.running = false;
    runs.partialLine.clear();
    runs.lastError.clear();
    if (g_runHook)
        g_runHook(slot, run);
    keep(runs, std::move(run));
}

void orvaSwapRuns(int slotA, int slotB) {
    std::swap(g_runs[static_cast<size_t>(slotA)], g_runs[static_cast<size_t>(slotB)]);
}

void orvaResetRuns() {
    for (SlotRuns& runs : g_runs)
        runs = SlotRuns{};
}
