// orva_metrics.h: the "/metrics" endpoint: the channels and the service in
// the Prometheus text format, version 0.0.4.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/orva_alarms.h"

struct MHD_Connection;

struct OrvaChannelSample {
    int number = 0;          // 1-based, as in the paths and on the page
    int state = 0;           // ORVA_STATE_*
    int streamTime = 0;      // seconds; 0 while not running or not yet reported
    int64_t bitrate = 0;     // bit/s; 0 while not running or not yet reported
    uint64_t starts = 0;
    uint64_t restarts = 0;
    uint64_t hangKills = 0;
    int lastExitStatus = 0;
    std::array<int, kOrvaAlarmKindCount> alarms{};  // 1 while raised, by OrvaAlarmKind
    int onBackup = 0;        // 0 source, 1 backup, 2 slate
    uint64_t sourceLosses = 0;
    int enabled = 0;          // the run flag: 1 when the channel is meant to run
    uint64_t failedRuns = 0;  // the channel's and its time-shift recorder's
    int targets = 0;         // configured targets: 1 to `targets` have a series
    std::array<int, kOrvaAlarmTargetCount> targetUp{};  // target K at K-1: 0 while down
};

struct OrvaMetricsSample {
    std::vector<OrvaChannelSample> channels;  // configured channels only
    double uptimeSeconds = 0;
    int runningSlots = 0;
    uint64_t httpRequests = 0;
    std::string version;
};

// Counts one request that reached the router. Safe from any thread.
void orvaCountHttpRequest();
// Reads the channel table and the engine. Caller holds the service lock.
OrvaMetricsSample orvaSampleMetrics();
// Every family has its help and type lines whether or not it has series, so
// the set of names is the same for any number of channels.
std::string orvaComposeMetrics(const OrvaMetricsSample& sample);
// Holds the service lock only while it samples.
int orvaCGIMetrics(MHD_Connection* connection);
