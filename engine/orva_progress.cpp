// orva_progress.cpp: takes stream time and bitrate from transcoder output,
// logs the output and stops slots whose transcoder reports a fatal condition.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "orva_engine.h"

namespace {

// Messages after which the transcoder's output is no longer usable.
constexpr const char* kStopMessages[] = {"Number of bands", "channel element",
                                         "Queue input is backward in time"};

void parseStreamTime(ORVA_PROC_TAG& proc, const char* chunk) {
    const char* at = strstr(chunk, " time=");
    if (!at)
        return;
    char token[100];
    if (sscanf(at + 6, "%99[^. \t\r\n]", token) != 1)
        return;
    int h, m, s;
    if (sscanf(token, "%d:%d:%d", &h, &m, &s) == 3)
        proc.streamTime = h * 3600 + m * 60 + s;
}

void parseBitrate(ORVA_PROC_TAG& proc, const char* chunk) {
    const char* at = strstr(chunk, " bitrate=");
    int kbits;
    if (at && sscanf(at + 9, "%d", &kbits) == 1)
        proc.bitrate = kbits;
}

bool holdsStopMessage(const char* chunk) {
    for (const char* message : kStopMessages) {
        if (strstr(chunk, message))
            return true;
    }
    return false;
}

}  // namespace

long orvaParseProgress(int slot, const char* chunk) {
    ORVA_PROC_TAG& proc = g_procChannels[slot];
    proc.tmLastOutput = time(nullptr);
    parseStreamTime(proc, chunk);
    parseBitrate(proc, chunk);
    orvaLog(slot, 0, chunk);
    if (holdsStopMessage(chunk))
        orvaStop(slot, ORVA_STOP_ORDERLY);
    if (g_cfg.appCallback)
        return g_cfg.appCallback(static_cast<unsigned long>(slot), chunk);
    return 0;
}
