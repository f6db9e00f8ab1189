// orva_channel_stats.cpp: the supervision's restart counts, the service's
// uptime and the service-log line of each finished run.
#include "orva_channel_stats.h"

#include <array>
#include <chrono>

#include "engine/orva_runs.h"
#include "engine/orva_service_log.h"
#include "orva_channel_ctl.h"

namespace {

// Taken while the program loads, before it leaves its starter.
const std::chrono::steady_clock::time_point g_processStart = std::chrono::steady_clock::now();

std::array<uint64_t, ORVA_CHANNEL_COUNT> g_restarts;

bool isChannel(int channel) { return channel >= 0 && channel < ORVA_CHANNEL_COUNT; }

void logRunEnd(int slot, const OrvaRun& run) {
    bool recorder = slot >= kOrvaRecorderSlotOffset;
    int channel = (recorder ? slot - kOrvaRecorderSlotOffset : slot) + 1;
    orvaServiceLog("channel %d%s run ended: %s, status %d, after %lld s%s%s", channel,
                   recorder ? " recorder" : "", orvaRunEndName(run.how), run.code,
                   static_cast<long long>(run.end - run.start),
                   run.lastError.empty() ? "" : "; last error: ", run.lastError.c_str());
}

}  // namespace

void orvaCountRestart(int channel) {
    if (isChannel(channel))
        g_restarts[static_cast<size_t>(channel)]++;
}

uint64_t orvaRestartCount(int channel) {
    return isChannel(channel) ? g_restarts[static_cast<size_t>(channel)] : 0;
}

void orvaMoveRestartCount(int from, int to) {
    if (!isChannel(from) || !isChannel(to))
        return;
    g_restarts[static_cast<size_t>(to)] = g_restarts[static_cast<size_t>(from)];
    g_restarts[static_cast<size_t>(from)] = 0;
}

double orvaUptimeSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - g_processStart).count();
}

void orvaLogRunEnds() { orvaSetRunHook(logRunEnd); }
