// orva_poll.cpp: one service pass over the process table (read output, reap,
// kill hung children) and the stop call.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "orva_engine.h"

namespace {

int g_hangSeconds = kOrvaHangSeconds;

// Reads what the slot's transcoder has printed, one terminated chunk at a
// time. A short read means the pipe is empty for now.
void drainOutput(int slot) {
    char chunk[kOrvaChunkSize];
    for (;;) {
        memset(chunk, 0, sizeof chunk);
        ssize_t n = read(g_procChannels[slot].fdOut[0], chunk, sizeof chunk - 1);
        if (n <= 0)
            return;
        orvaParseProgress(slot, chunk);
        if (n < static_cast<ssize_t>(sizeof chunk - 1))
            return;
    }
}

// Output left behind by a process that is gone (or by its own children) is
// read and dropped, so an idle slot does not keep reporting data.
void discardOutput(int slot) {
    char sink[kOrvaChunkSize];
    while (read(g_procChannels[slot].fdOut[0], sink, sizeof sink) > 0) {
    }
}

void reapSlot(int slot) {
    if (!orvaReap(slot))
        return;
    ORVA_PROC_TAG& proc = g_procChannels[slot];
    drainOutput(slot);  // whatever the process wrote just before it ended
    proc.state = ORVA_STATE_IDLE;
    orvaRunReaped(slot, proc.exitStatus);
    orvaAlarmsRunEnded(slot);
    char line[64];
    snprintf(line, sizeof line, "transcoding stopped (0x%08x)", proc.exitStatus);
    orvaLog(slot, 1, line);
}

void checkHang(int slot, time_t now) {
    const ORVA_PROC_TAG& proc = g_procChannels[slot];
    if (proc.tmLastOutput > 0 && now - proc.tmLastOutput > g_hangSeconds) {
        orvaLog(slot, 1, "channel seems to be hanging for over 30 secs, killing...");
        orvaRunHangKill(slot);
        orvaStop(slot, ORVA_STOP_FORCED);
    }
}

}  // namespace

void orvaSetHangTimeout(int seconds) { g_hangSeconds = seconds > 0 ? seconds : kOrvaHangSeconds; }
int orvaHangTimeout() { return g_hangSeconds; }

extern "C" {

int orvaPoll(void) {
    if (!g_procChannels)
        return 0;
    bool readable[ORVA_SLOT_COUNT] = {};
    bool ended[ORVA_SLOT_COUNT] = {};
    orvaCollectEvents(readable, ended);
    time_t now = time(nullptr);
    for (int slot = 0; slot < g_cfg.slotCount; slot++) {
        if (g_procChannels[slot].state == ORVA_STATE_IDLE) {
            if (readable[slot] && g_procChannels[slot].fdOut[0] > 0)
                discardOutput(slot);
            continue;
        }
        if (readable[slot])
            drainOutput(slot);
        if (ended[slot])
            reapSlot(slot);
        checkHang(slot, now);
    }
    return 0;
}

void orvaStop(int slot, int mode) {
    if (!orvaSlotInRange(slot) || g_procChannels[slot].state == ORVA_STATE_IDLE)
        return;
    ORVA_PROC_TAG& proc = g_procChannels[slot];
    if (mode == ORVA_STOP_ORDERLY) {
        if (proc.state == ORVA_STATE_RUNNING)
            orvaSignal(slot, SIGINT);
        proc.state = ORVA_STATE_STOPPING;
        orvaLog(slot, 1, "stop transcoding");
    } else if (mode == ORVA_STOP_FORCED) {
        orvaSignal(slot, SIGKILL);
        proc.state = ORVA_STATE_STOPPING;
        orvaLog(slot, 1, "stop transcoding forcedly");
    }
}

}  // extern "C"
