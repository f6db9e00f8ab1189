// orva_supervise.cpp: the start-up pass and the supervision loop that keeps
// enabled channels running.
//
// Every 20 ms (sooner when a transcoder ends) one pass polls the engine and
// walks the channels: a time-shifted channel is restarted at once, a folder
// channel moves on to its next file, and any other channel is restarted by a
// one-shot timer after AutoRestart seconds.
#include "config/orva_channel.h"
#include "engine/orva_service_log.h"
#include "orva_channel_ctl.h"
#include "orva_channel_stats.h"
#include "orva_folders.h"
#include "orva_service.h"
#include "playlist/orva_playlist.h"

namespace {

constexpr int kPassMilliseconds = 20;

ORVA_CHANNEL_SOURCE_TAG& firstSource(int channel) { return g_orvaChannels[channel].Sources[0]; }

// Caller holds the service lock.
void startFolderChannel(int channel) {
    CPlayList& playlist = g_orvaPlaylists[channel];
    ORVA_CHANNEL_SOURCE_TAG& source = firstSource(channel);
    source.pszAddress = playlist.GetCurFile();
    for (int attempt = 0; attempt < playlist.GetCount(); attempt++) {
        if (source.pszAddress && orvaStartChannel(channel) == 0)
            break;
        source.pszAddress = playlist.MoveNext(g_globalSettings.AutoRestart);
    }
    orvaStartChannel(channel);
}

int recorderSlot(int channel) { return channel + kOrvaRecorderSlotOffset; }

// Caller holds the service lock.
void superviseTimeShifted(int channel) {
    int recorder = orvaGetState(recorderSlot(channel));
    if (recorder == ORVA_STATE_IDLE ||
        (recorder == ORVA_STATE_RUNNING && orvaGetState(channel) == ORVA_STATE_IDLE)) {
        if (orvaStartChannel(channel) == ORVA_OK)
            orvaCountRestart(channel);
    }
}

// Caller holds the service lock.
void superviseStopped(int channel) {
    ORVA_CHANNEL_SOURCE_TAG& source = firstSource(channel);
    if (isDirectory(source.File)) {
        CPlayList& playlist = g_orvaPlaylists[channel];
        playlist.refresh();
        source.pszAddress = playlist.MoveNext(g_globalSettings.AutoRestart);
        if (source.pszAddress && orvaStartChannel(channel) == ORVA_OK)
            orvaCountRestart(channel);
        return;
    }
    if (g_globalSettings.AutoRestart == 0 || g_timers[channel] != kOrvaNoTimer)
        return;
    int delay = orvaRestartDelayMs(g_globalSettings.AutoRestart);
    orvaServiceLog("channel %d ended; restart in %d ms", channel + 1, delay);
    createTimer(channel, delay, channelTimeout);
}

// Caller holds the service lock.
void supervisePlain(int channel) {
    // A recorder left from a time shift turned off meanwhile ends once the
    // player it fed has ended; the channel then starts again as a plain one.
    if (orvaGetState(channel) == ORVA_STATE_IDLE &&
        orvaGetState(recorderSlot(channel)) == ORVA_STATE_RUNNING)
        orvaStop(recorderSlot(channel), ORVA_STOP_ORDERLY);
    if (orvaGetChannelState(channel) == ORVA_STATE_IDLE)
        superviseStopped(channel);
}

// Caller holds the service lock.
void walkChannels() {
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++) {
        if (quit)
            return;
        if (!g_orvaChannels[channel].Enable)
            continue;
        if (g_orvaChannels[channel].TimeShiftSec != 0)
            superviseTimeShifted(channel);
        else
            supervisePlain(channel);
    }
}

}  // namespace

int initChannels() {
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++) {
        if (!g_orvaChannels[channel].Enable)
            continue;
        if (isDirectory(firstSource(channel).pszAddress))
            startFolderChannel(channel);
        else
            orvaStartChannel(channel);
    }
    return 0;
}

void orvaSupervisePass() {
    std::lock_guard<std::mutex> lock(g_serviceLock);
    orvaPoll();
    walkChannels();
}

void orvaSupervise() {
    while (!quit) {
        // The sleep ends early when a transcoder ends, so it is reaped at once.
        orvaSleep(kPassMilliseconds);
        if (quit)
            break;
        orvaSupervisePass();
    }
}
