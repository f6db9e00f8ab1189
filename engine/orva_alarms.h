// orva_alarms.h: the alarms the transcoders report on their output: what
// is raised now, since when, and the last raised and cleared.
//
// A transcoder reports an alarm with a line of its own, "orval-alarm: raise
// KIND" or "orval-alarm: clear KIND"; when its run ends every alarm it raised
// is cleared. A channel's alarms are those of its slot and of its recorder
// slot together. Caller holds the service lock for every call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

enum class OrvaAlarmKind { SourceLost, OnBackup, Black, Frozen, Silent };
constexpr size_t kOrvaAlarmKindCount = 5;
constexpr size_t kOrvaAlarmEventsKept = 20;

// "source_lost", "on_backup", "black", "frozen" or "silent".
const char* orvaAlarmKindName(OrvaAlarmKind kind);

struct OrvaAlarmEvent {
    time_t time = 0;
    OrvaAlarmKind kind = OrvaAlarmKind::SourceLost;
    bool raised = false;  // false: cleared
};

struct OrvaChannelAlarms {
    std::array<time_t, kOrvaAlarmKindCount> since{};  // indexed by kind; 0 while not raised
    uint64_t sourceLosses = 0;  // times source_lost was raised

    bool raised(OrvaAlarmKind kind) const { return since[static_cast<size_t>(kind)] != 0; }
    // 0 the source plays, 1 the backup plays, 2 the slate shows (the source
    // is lost and no backup plays).
    int onBackup() const;
};

// Channel 0 to 63; a channel out of range has none.
OrvaChannelAlarms orvaChannelAlarms(int channel);
// The last kOrvaAlarmEventsKept raised and cleared alarms of a channel, oldest first.
std::vector<OrvaAlarmEvent> orvaChannelAlarmEvents(int channel);
