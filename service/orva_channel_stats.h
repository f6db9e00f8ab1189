// orva_channel_stats.h: what the service counts about its channels and
// itself, beyond what the engine records per slot.
#pragma once

#include <cstdint>

// Starts the supervision made on its own: a restart after the delay, the
// next file of a folder, a time-shift side started again. Caller holds the
// service lock for all three.
void orvaCountRestart(int channel);
uint64_t orvaRestartCount(int channel);
// The count of `from` becomes that of `to`, and `from` starts from nothing.
void orvaMoveRestartCount(int from, int to);

// Seconds since the process started.
double orvaUptimeSeconds();
// The version the service announces.
const char* orvaVersion();

// Writes every finished run of a channel's slots to the service log.
void orvaLogRunEnds();
