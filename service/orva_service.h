// orva_service.h: the service core: start-up, supervision, timers, shutdown.
#pragma once

#include <signal.h>
#include <time.h>

#include <cstdint>
#include <mutex>

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
int orvaCGICallback(int);

// Caller holds the service lock for both. Stops every channel and waits,
// polling the engine, until all slots are idle: about three seconds for an
// orderly end, then whatever is left is killed.
void orvaStopAllChannels();
// Ends every transcoder and pending restart, reads the configuration file
// into the table, saves it and starts the enabled channels as at start-up.
// Returns the number of channels read, or -1 when the table read could not
// be saved back (it is in use all the same).
int orvaReplaceTableFromFile();

void orvaSupervisePass();           // takes the service lock
void orvaSupervise();               // runs passes until `quit` is set

// The management server sits above the service, so the program hands the
// service its start and stop. `start` returns 1 once it listens and 0 when it
// cannot, with errno saying why where there is a reason; `stop` returns once
// no request is in progress.
struct OrvaFrontEnd {
    int (*start)();
    void (*stop)();
};
void orvaShutdown(const OrvaFrontEnd& frontEnd);
int orvaServiceMain(const OrvaFrontEnd& frontEnd);
