// orva_alarms.h: the alarms the transcoders report on their output: what
// is raised now, since when, and the last raised and cleared.
//
// A transcoder reports an alarm with a line of its own, "orval-alarm: raise
// KIND" or "orval-alarm: clear KIND"; a target that fails alone is reported
// as "orval-alarm: raise target_down K REASON" and "orval-alarm: clear
// target_down K", K its number 1 to 5. When a run ends every alarm it raised
// is cleared. A channel's alarms are those of its slot and of its recorder
// slot together. Caller holds the service lock for every call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

// The kinds before TargetDown are the channel's own, one of each; TargetDown
// is raised for each target on its own.
enum class OrvaAlarmKind { SourceLost, OnBackup, Black, Frozen, Silent, TargetDown };
constexpr size_t kOrvaAlarmKindCount = 5;  // the channel's own kinds
constexpr int kOrvaAlarmTargetCount = 5;   // targets 1 to 5
constexpr size_t kOrvaAlarmEventsKept = 20;

// "source_lost", "on_backup", "black", "frozen", "silent" or "target_down".
const char* orvaAlarmKindName(OrvaAlarmKind kind);

struct OrvaAlarmEvent {
    time_t time = 0;
    OrvaAlarmKind kind = OrvaAlarmKind::SourceLost;
    bool raised = false;  // false: cleared
    int target = 0;       // 1 to 5 for TargetDown, else 0
};

struct OrvaChannelAlarms {
    std::array<time_t, kOrvaAlarmKindCount> since{};  // indexed by kind; 0 while not raised
    std::array<time_t, kOrvaAlarmTargetCount> targetSince{};  // target K at K-1; 0 while up
    uint64_t sourceLosses = 0;  // times source_lost was raised

    // For TargetDown: whether any target is down.
    bool raised(OrvaAlarmKind kind) const;
    // Target 1 to 5; false for any other number.
    bool targetDown(int target) const {
        return target >= 1 && target <= kOrvaAlarmTargetCount &&
               targetSince[static_cast<size_t>(target - 1)] != 0;
    }
    // 0 the source plays, 1 the backup plays, 2 the slate shows (the source
    // is lost and no backup plays).
    int onBackup() const;
};

// Channel 0 to 63; a channel out of range has none.
OrvaChannelAlarms orvaChannelAlarms(int channel);
// The last kOrvaAlarmEventsKept raised and cleared alarms of a channel, oldest first.
std::vector<OrvaAlarmEvent> orvaChannelAlarmEvents(int channel);
