// orva_channel_remove.cpp: removes a channel and renumbers the channels after it.
//
// DESIGN: each channel after the removed one moves one number down together
// with everything bound to its number: its engine slot and its recorder slot
// (so a running transcoder goes on, and is reported, stopped and supervised,
// under the new number), its folder playlist with the playlist file, and a
// pending restart. Slots are exchanged, not overwritten: the removed
// channel's slots, still stopping, end up as those of the last channel,
// whose record is cleared, and the polls reap them there.
#include <cstdint>
#include <cstring>

#include "config/orva_channel.h"
#include "engine/orva_runs.h"
#include "engine/orva_slots.h"
#include "orva_channel_ctl.h"
#include "orva_channel_stats.h"
#include "orva_service.h"
#include "playlist/orva_playlist.h"

namespace {

constexpr int kLastChannel = ORVA_CHANNEL_COUNT - 1;

// Both slots end, the recorder too when the time shift is off by now: they
// must not run on without a channel. A slot already stopping is killed.
void stopRemoved(int channel) {
    for (int slot : {channel + kOrvaRecorderSlotOffset, channel}) {
        int state = orvaGetState(slot);
        orvaMarkStopCause(slot, OrvaRunEnd::Stopped);
        if (state != ORVA_STATE_IDLE)
            orvaStop(slot, state == ORVA_STATE_STOPPING ? ORVA_STOP_FORCED : ORVA_STOP_ORDERLY);
    }
}

// An address that pointed into the old record points at the same field of
// the new one; an address into a playlist moves with the playlist unchanged.
void rebase(const char*& address, const ORVA_CHANNEL_TAG& from, ORVA_CHANNEL_TAG& to) {
    auto at = reinterpret_cast<uintptr_t>(address);
    auto begin = reinterpret_cast<uintptr_t>(&from);
    if (address && at >= begin && at < begin + sizeof from)
        address = reinterpret_cast<const char*>(&to) + (at - begin);
}

void moveRecord(int from, int to) {
    ORVA_CHANNEL_TAG& source = g_orvaChannels[from];
    ORVA_CHANNEL_TAG& target = g_orvaChannels[to];
    target = source;
    for (ORVA_CHANNEL_SOURCE_TAG& input : target.Sources)
        rebase(input.pszAddress, source, target);
    for (ORVA_CHANNEL_TARGET_TAG& output : target.Targets)
        rebase(output.pszAddress, source, target);
}

void moveChannelDown(int from) {
    int to = from - 1;
    moveRecord(from, to);
    g_orvaContinuity[to] = g_orvaContinuity[from];
    orvaSwapSlots(to, from);
    orvaSwapSlots(to + kOrvaRecorderSlotOffset, from + kOrvaRecorderSlotOffset);
    g_orvaPlaylists[to].takeOver(g_orvaPlaylists[from]);
    orvaMoveTimer(from, to);
    orvaMoveRestartCount(from, to);
}

}  // namespace

void orvaRemoveChannel(int channel) {
    if (channel < 0 || channel > kLastChannel)
        return;
    stopRemoved(channel);
    orvaCancelTimer(channel);
    for (int from = channel + 1; from <= kLastChannel; from++)
        moveChannelDown(from);
    memset(&g_orvaChannels[kLastChannel], 0, sizeof g_orvaChannels[kLastChannel]);
    g_orvaContinuity[kLastChannel] = {};
    CPlayList none;
    g_orvaPlaylists[kLastChannel].takeOver(none);
}
