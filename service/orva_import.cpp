// orva_import.cpp: replaces the channel table from the configuration file
// while the service runs.
//
// DESIGN: a transcoder belongs to its slot, and its slot to a channel of the
// table. Once the table is replaced, a process still running would belong to
// nothing: no status shows it and no stop reaches it. So every slot ends
// first (in order, then killed after about three seconds, as at shutdown),
// pending restarts of the old channels are cancelled, and only then is the
// table replaced, saved and started as at start-up.
#include <chrono>

#include "config/orva_channel.h"
#include "config/orva_config.h"
#include "engine/orva_text.h"
#include "orva_channel_ctl.h"
#include "orva_service.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kOrderlyStopTime{3000};
constexpr std::chrono::milliseconds kKilledReapTime{1000};
constexpr int kWaitStepMilliseconds = 30;

bool allSlotsIdle() {
    for (int slot = 0; slot < ORVA_SLOT_COUNT; slot++) {
        if (orvaGetState(slot) != ORVA_STATE_IDLE)
            return false;
    }
    return true;
}

// Polls the engine until every slot is idle or `limit` has passed; the
// supervision loop cannot poll while the caller holds the lock.
bool waitForIdleSlots(std::chrono::milliseconds limit) {
    Clock::time_point end = Clock::now() + limit;
    while (!allSlotsIdle()) {
        if (Clock::now() >= end)
            return false;
        orvaSleep(kWaitStepMilliseconds);  // ends early when a transcoder ends
        orvaPoll();
    }
    return true;
}

void killRemainingSlots() {
    for (int slot = 0; slot < ORVA_SLOT_COUNT; slot++) {
        if (orvaGetState(slot) != ORVA_STATE_IDLE)
            orvaStop(slot, ORVA_STOP_FORCED);
    }
}

}  // namespace

void orvaStopAllChannels() {
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++) {
        if (orvaGetChannelState(channel) != ORVA_STATE_IDLE)
            orvaStopChannel(channel, ORVA_STOP_ORDERLY);
    }
    if (waitForIdleSlots(kOrderlyStopTime))
        return;
    killRemainingSlots();
    waitForIdleSlots(kKilledReapTime);
}

void orvaInstallTable(const ORVA_GLOBAL_SETTINGS& settings, const ORVA_CHANNEL_TAG* table,
                      const ORVA_CHANNEL_CONTINUITY_TAG* continuity) {
    orvaStopAllChannels();
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++)
        orvaCancelTimer(channel);
    ORVA_GLOBAL_SETTINGS installed = settings;
    copyText(installed.AclFile, fieldText(g_globalSettings.AclFile));
    g_globalSettings = installed;
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++) {
        g_orvaChannels[channel] = table[channel];
        orvaPointAddressesAtFiles(g_orvaChannels[channel]);
        g_orvaContinuity[channel] = continuity[channel];
    }
    // The imported settings reach the engine before the first start.
    orvaSetLog(g_globalSettings.Log);
    orvaSetCpuAffinity(orvaClampToRange(OrvaRange::CpuPerChannel, g_globalSettings.CpuPerChannel));
    if (!g_orvaShuttingDown)
        initChannels();
}
