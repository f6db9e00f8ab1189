// orva_channel_ctl.h: starting, stopping and reporting on one channel.
#pragma once

#include <cstddef>

#include "engine/orva.h"

// Channel N runs in engine slot N; its time-shift recorder in slot N + 64.
constexpr int kOrvaRecorderSlotOffset = ORVA_CHANNEL_COUNT;

int orvaStartChannel(int channel);
void orvaStopChannel(int channel, int mode);
// Idle only when both slots of the channel are idle.
int orvaGetChannelState(int channel);
// Writes a one-line status into `text` (at most `size` bytes with the end);
// a channel with nothing to report leaves the text as it was.
int orvaGetChannelStatus(int channel, char* text, size_t size);
// Stops the channel and moves every channel after it one number down, with
// its slots, playlist and pending restart; the last record is cleared.
// Caller holds the service lock.
void orvaRemoveChannel(int channel);
const char* orvaAppName();
const char* orvaAppTitle();
