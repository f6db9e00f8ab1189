// orva_channel_ctl.cpp: the bridge between a channel record and the engine.
#include "orva_channel_ctl.h"

#include <cstdio>
#include <cstring>

#include "config/orva_channel.h"
#include "engine/orva_runs.h"
#include "engine/orva_service_log.h"
#include "engine/orva_text.h"
#include "orva_folders.h"
#include "orva_service.h"
#include "playlist/orva_playlist.h"

namespace {

char tszAppName[100];
char tszAppTitle[100];

}  // namespace

// Both slots are stopped whenever they run: a recorder goes on after its time
// shift is turned off in the editor, and nothing else would ever end it. The
// recorder goes first, so the player does not outlast it. Idle slots are
// left alone by the engine. Every stop asked for here is the operator's,
// or the shutdown's once that has begun.
void orvaStopChannel(int channel, int mode) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return;
    if (orvaGetChannelState(channel) != ORVA_STATE_IDLE)
        orvaServiceLog("channel %d stopping (%s)", channel + 1,
                       mode == ORVA_STOP_FORCED ? "forced" : "orderly");
    OrvaRunEnd cause = g_orvaShuttingDown ? OrvaRunEnd::Shutdown : OrvaRunEnd::Stopped;
    orvaMarkStopCause(channel + kOrvaRecorderSlotOffset, cause);
    orvaMarkStopCause(channel, cause);
    orvaStop(channel + kOrvaRecorderSlotOffset, mode);
    orvaStop(channel, mode);
}

// A time-shifted channel is what its recorder does (the loop restarts a
// player that ended), any other channel what its own slot does. Either way
// a channel is not reported stopped while its other slot still runs: a
// recorder left from a time shift turned off meanwhile, or a player whose
// recorder has ended.
int orvaGetChannelState(int channel) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return 0;
    int own = orvaGetState(channel);
    int recorder = orvaGetState(channel + kOrvaRecorderSlotOffset);
    bool shifted = g_orvaChannels[channel].TimeShiftSec != 0;
    int first = shifted ? recorder : own;
    return first != ORVA_STATE_IDLE ? first : (shifted ? own : recorder);
}

// A folder channel shows the name of the file it plays; any other channel its
// stream time and bitrate, once the transcoder has reported them.
int orvaGetChannelStatus(int channel, char* text, size_t size) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT || !text || size == 0)
        return -1;
    if (isDirectory(g_orvaChannels[channel].Sources[0].File)) {
        const char* current = g_orvaPlaylists[channel].GetCurFile();
        const char* slash = current ? strrchr(current, '/') : nullptr;
        if (slash)
            copyText(text, size, slash + 1);
        return 0;
    }
    int seconds = orvaGetStreamTime(channel);
    if (seconds >= 0)
        snprintf(text, size, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    int bitrate = orvaGetStreamBitrate(channel);
    if (bitrate >= 0) {
        // A status is only shown, so a text cut at the caller's size is acceptable.
        size_t used = strnlen(text, size - 1);
        text[used] = '\0';
        snprintf(text + used, size - used, " %6dKbps", bitrate);
    }
    return 0;
}

const char* orvaAppTitle() {
    // Filled once, by whichever thread asks first: the banner and the web
    // server's threads ask at about the same time.
    static const bool filled = copyText(tszAppTitle, "Kestova Live!");
    (void)filled;
    return tszAppTitle;
}

// The first line of "orvaoem.txt" in the program folder brands the service.
const char* orvaAppName() {
    if (tszAppName[0] != '\0')
        return tszAppName;
    char path[400];
    snprintf(path, sizeof path, "%s%sorvaoem.txt", orvaGetProgDir(), "/");
    if (FILE* f = fopen(path, "re")) {
        if (!fgets(tszAppName, 99, f))
            tszAppName[0] = '\0';
        fclose(f);
    }
    if (tszAppName[0] == '\0' || tszAppName[0] == '\n' || tszAppName[0] == '\r')
        copyText(tszAppName, "Kestova Live!");
    return tszAppName;
}
