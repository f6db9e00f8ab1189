// orva_timers.cpp: one-shot restart timers, one per channel. An expired
// timer runs on a thread of its own and starts its channel.
#include <algorithm>
#include <cerrno>

#include "config/orva_channel.h"
#include "engine/orva_service_log.h"
#include "orva_channel_ctl.h"
#include "orva_channel_stats.h"
#include "orva_service.h"

const timer_t kOrvaNoTimer = reinterpret_cast<timer_t>(-1L);
timer_t g_timers[64];

void orvaResetTimers() {
    for (timer_t& timer : g_timers)
        timer = kOrvaNoTimer;
}

namespace {

// No restart is pending before the loop begins either.
[[maybe_unused]] const bool g_timersReset = (orvaResetTimers(), true);

}  // namespace

// Caller holds the service lock. The handle is kept only once the timer is
// armed: a handle kept for a timer that never fires would block every later
// restart of the channel. A timer that expires at once finds its handle all
// the same, since its callback waits for the lock.
int createTimer(int channel, int milliseconds, void (*callback)(union sigval)) {
    if (g_timers[channel] != kOrvaNoTimer)
        return 0;
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD;
    ev.sigev_value.sival_int = channel;
    ev.sigev_notify_function = callback;
    timer_t timer;
    if (timer_create(CLOCK_REALTIME, &ev, &timer) != 0) {
        orvaLogFailedCall("timer_create", "a channel's restart delay");
        return -1;
    }
    // A zero delay would leave the timer unarmed, and a negative one is refused.
    int delay = std::max(milliseconds, 1);
    itimerspec when{};
    when.it_value.tv_sec = delay / 1000;
    when.it_value.tv_nsec = (delay % 1000) * 1000000L;
    if (timer_settime(timer, 0, &when, nullptr) != 0) {
        orvaLogFailedCall("timer_settime", "a channel's restart delay");
        timer_delete(timer);
        return -1;
    }
    g_timers[channel] = timer;
    return 0;
}

int orvaRestartDelayMs(int32_t seconds) {
    return orvaClampToRange(OrvaRange::AutoRestartSec, seconds) * 1000;
}

void orvaCancelTimer(int channel) {
    if (g_timers[channel] == kOrvaNoTimer)
        return;
    timer_delete(g_timers[channel]);
    g_timers[channel] = kOrvaNoTimer;
}

void orvaMoveTimer(int from, int to) {
    if (g_timers[from] == kOrvaNoTimer)
        return;
    itimerspec left{};
    timer_gettime(g_timers[from], &left);
    orvaCancelTimer(from);
    long milliseconds = left.it_value.tv_sec * 1000 + left.it_value.tv_nsec / 1000000;
    // A timer that has just expired still owes its channel a start. Its
    // callback, on its way for the old number, finds no timer there and
    // does nothing, unless that number has got a pending restart of its own
    // meanwhile, which it then runs early.
    createTimer(to, milliseconds > 0 ? static_cast<int>(milliseconds) : 1, channelTimeout);
}

void channelTimeout(union sigval value) {
    int channel = value.sival_int;
    std::lock_guard<std::mutex> lock(g_serviceLock);
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT || g_timers[channel] == kOrvaNoTimer)
        return;
    timer_delete(g_timers[channel]);
    g_timers[channel] = kOrvaNoTimer;
    // The engine is being released: nothing may start any more. A channel the
    // operator stopped while its restart was pending stays stopped.
    if (g_orvaShuttingDown || !g_orvaChannels[channel].Enable)
        return;
    orvaServiceLog("channel %d restarting", channel + 1);
    if (orvaStartChannel(channel) == ORVA_OK)
        orvaCountRestart(channel);
}
