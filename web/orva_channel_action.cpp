// orva_channel_action.cpp: the start, stop and remove actions of a channel.
//
// Start and stop set the run flag that supervision acts on and are not
// saved; a removal changes the table and is, before it takes effect.
#include <strings.h>

#include <memory>
#include <mutex>
#include <string>

#include "config/orva_channel.h"
#include "config/orva_config.h"
#include "orva_channel_ops.h"
#include "orva_revision.h"
#include "service/orva_channel_ctl.h"
#include "service/orva_save.h"
#include "service/orva_service.h"

namespace {

void startChannel(int channel) {
    if (orvaGetChannelState(channel) == ORVA_STATE_IDLE)
        orvaStartChannel(channel);
    g_orvaChannels[channel].Enable = 1;
}

void stopChannel(int channel) {
    g_orvaChannels[channel].Enable = 0;
    int state = orvaGetChannelState(channel);
    if (state == ORVA_STATE_RUNNING)
        orvaStopChannel(channel, ORVA_STOP_ORDERLY);
    else if (state == ORVA_STATE_STOPPING)
        orvaStopChannel(channel, ORVA_STOP_FORCED);  // it did not end when asked
}

// The table as it will be: each channel after `removed` one number down,
// the last one empty.
OrvaConfigRecords recordsWithout(int removed, const ORVA_CHANNEL_TAG& empty) {
    OrvaConfigRecords records = orvaLiveConfigRecords();
    static const ORVA_CHANNEL_CONTINUITY_TAG defaults{};
    for (int i = removed; i < ORVA_CHANNEL_COUNT; i++) {
        records.channels[i] = i + 1 < ORVA_CHANNEL_COUNT ? &g_orvaChannels[i + 1] : &empty;
        records.continuity[i] = i + 1 < ORVA_CHANNEL_COUNT ? &g_orvaContinuity[i + 1] : &defaults;
    }
    return records;
}

// Saved first: a removal that cannot be saved leaves the channel running.
// The removed channel and every later one then hold other records.
int removeChannel(int channel, std::unique_lock<std::mutex>& serviceLock, const uint32_t* revision) {
    auto empty = std::make_unique<ORVA_CHANNEL_TAG>();
    OrvaChange change{
        [&](std::string& text) {
            if (orvaIsStale(channel, revision))
                return static_cast<int>(ORVA_WEB_STALE);
            return orvaComposeConfigText(text, recordsWithout(channel, *empty)) == 0
                       ? 0
                       : static_cast<int>(ORVA_WEB_NOT_SAVED);
        },
        [&] {
            orvaRemoveChannel(channel);
            orvaBumpRevision(channel, true);
        }};
    int rc = orvaSaveChange(serviceLock, change);
    return rc == 0 || rc == ORVA_WEB_STALE ? rc : ORVA_WEB_NOT_SAVED;
}

}  // namespace

int orvaRunChannelAction(int channel, const char* action,
                         std::unique_lock<std::mutex>& serviceLock, const uint32_t* revision) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT || !action)
        return 0;
    if (strcasecmp(action, "remove") == 0)
        return removeChannel(channel, serviceLock, revision);
    if (orvaIsStale(channel, revision))
        return ORVA_WEB_STALE;
    if (strcasecmp(action, "start") == 0)
        startChannel(channel);
    else if (strcasecmp(action, "stop") == 0)
        stopChannel(channel);
    return 0;
}

int orvaRunChannelAction(int channel, const char* action) {
    std::unique_lock<std::mutex> lock(g_serviceLock);
    return orvaRunChannelAction(channel, action, lock);
}
