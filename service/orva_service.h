// orva_service.h: the service core: start-up, supervision, timers, shutdown.
#pragma once

#include <signal.h>
#include <time.h>

#include <cstdint>
#include <mutex>

#include "config/orva_channel.h"

// One lock serialises everything that reads or changes the channel table, the
// settings, the playlists or the engine: each supervision pass, each restart
// timer and each web handler. Functions marked "caller holds the service lock"
// never take it again.
extern std::mutex g_serviceLock;
// Set under the lock when shutdown begins; a timer that fires later starts nothing.
extern bool g_orvaShuttingDown;

extern volatile sig_atomic_t quit;
extern timer_t g_timers[64];
extern const timer_t kOrvaNoTimer;

void sig_handle(int signal);
void loadConf();
int initChannels();                 // caller holds the service lock
void orvaResetTimers();
// Caller holds the service lock. A delay below 1 ms is taken as 1 ms.
int createTimer(int channel, int milliseconds, void (*callback)(union sigval));
// The restart delay of `seconds` in milliseconds, held to 0..kOrvaMaxAutoRestartSec
// seconds so that the product always fits.
int orvaRestartDelayMs(int32_t seconds);
void channelTimeout(union sigval value);
// Caller holds the service lock for both.
void orvaCancelTimer(int channel);
// A pending restart of channel `from` becomes one of channel `to`, with the
// time it had left; `to` has none pending.
void orvaMoveTimer(int from, int to);
// Saves the table and the settings as they are, in the order of every save
// (orva_save.h). The caller holds neither the service lock nor the save lock.
int orvaCGICallback(int);

// Caller holds the service lock for both. Stops every channel and waits,
// polling the engine, until all slots are idle: about three seconds for an
// orderly end, then whatever is left is killed.
void orvaStopAllChannels();
// Caller holds the service lock. Ends every transcoder and pending restart,
// puts `settings` (but its AclFile) and the ORVA_CHANNEL_COUNT records at
// `table` in place of the settings and the table, and starts the enabled
// channels as at start-up.
void orvaInstallTable(const ORVA_GLOBAL_SETTINGS& settings, const ORVA_CHANNEL_TAG* table,
                      const ORVA_CHANNEL_CONTINUITY_TAG* continuity);

void orvaSupervisePass();           // takes the service lock
void orvaSupervise();               // runs passes until `quit` is set

// The management server sits above the service, so the program hands the
// service its start and stop. `start` returns 1 once it listens and 0 when it
// cannot, with errno saying why where there is a reason; `stop` returns once
// no request is in progress.
struct OrvaFrontEnd {
    int (*start)();
    void (*stop)();
    // True once `start` serves HTTPS; none means plain HTTP.
    bool (*secure)() = nullptr;
};
void orvaShutdown(const OrvaFrontEnd& frontEnd);
int orvaServiceMain(const OrvaFrontEnd& frontEnd);
