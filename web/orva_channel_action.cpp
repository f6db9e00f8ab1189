// orva_channel_action.cpp: the start, stop and remove actions of a channel.
//
// Start and stop set the run flag that supervision acts on and are not
// saved; a removal changes the table and is.
#include <strings.h>

#include "config/orva_channel.h"
#include "orva_channel_ops.h"
#include "service/orva_channel_ctl.h"
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

int removeChannel(int channel) {
    orvaRemoveChannel(channel);
    return orvaCGICallback(0) == 0 ? 0 : ORVA_WEB_NOT_SAVED;
}

}  // namespace

int orvaRunChannelAction(int channel, const char* action) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT || !action)
        return 0;
    if (strcasecmp(action, "start") == 0)
        startChannel(channel);
    else if (strcasecmp(action, "stop") == 0)
        stopChannel(channel);
    else if (strcasecmp(action, "remove") == 0)
        return removeChannel(channel);
    return 0;
}
