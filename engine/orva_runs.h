// orva_runs.h: what the engine keeps about the runs of each slot: its
// counters, the run in progress and the last finished runs.
//
// The engine records what it sees itself (a launch, the transcoder's error
// lines, a hang kill, the exit status). Why an orderly or forced stop was
// asked for is the caller's to say, before it stops the slot. Records follow
// their slot when two slots are exchanged. Caller holds the service lock for
// every call (or is the only thread left, as at the engine's release).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

enum class OrvaRunEnd {
    Exited,    // the transcoder ended by itself; `code` is its exit status
    Hung,      // killed after going silent
    Stopped,   // stopped by the operator
    Refused,   // refused at start; `code` is the start result
    Shutdown,  // ended because the service shut down
};

struct OrvaRun {
    time_t start = 0;
    time_t end = 0;
    OrvaRunEnd how = OrvaRunEnd::Exited;
    // Exit status as a shell shows it (128 + the signal for a killed process),
    // or the refusal code.
    int code = 0;
    std::string lastError;  // the transcoder's last line that reads as an error
};

struct OrvaSlotCounters {
    uint64_t starts = 0;
    uint64_t hangKills = 0;
    int lastExitStatus = 0;  // as OrvaRun::code; 0 before any run has ended
    // Runs that failed: ended by themselves with a status other than 0, were
    // killed for going silent, or were refused at start (every refusal, also
    // those that share one record, but not one that found the slot busy). A
    // clean end (a folder's file played to its end) and a stop that was asked
    // for are no failures.
    uint64_t failedRuns = 0;
};

constexpr size_t kOrvaRunsKept = 20;
constexpr size_t kOrvaErrorLineMax = 300;  // a longer error line is kept cut to this

// "exited", "hung", "stopped", "refused" or "shutdown".
const char* orvaRunEndName(OrvaRunEnd how);
// The finished runs of a slot, oldest first; empty for a slot out of range.
std::vector<OrvaRun> orvaSlotRuns(int slot);
OrvaSlotCounters orvaSlotCounters(int slot);
// Says why the slot's running process is about to end. The first cause said
// for a run holds; a run with none that ends by itself counts as exited.
void orvaMarkStopCause(int slot, OrvaRunEnd how);
// Records a start refused before any process ran. Refusals with the same
// code in a row share one record, whose end moves on, so a start retried on
// every pass cannot push the real runs out.
void orvaRecordRefusal(int slot, int code);

// Told of every finished run, refusals apart (their caller logs them).
using OrvaRunHook = void (*)(int slot, const OrvaRun& run);
void orvaSetRunHook(OrvaRunHook hook);
