// orva_progress.cpp: takes stream time and bitrate from transcoder output,
// logs the output, hands its lines to the alarms and stops slots whose
// encoder reports a fatal condition.
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "orva_engine.h"

namespace {

void parseStreamTime(ORVA_PROC_TAG& proc, const char* chunk) {
    const char* at = strstr(chunk, " time=");
    if (!at)
        return;
    char token[100];
    if (sscanf(at + 6, "%99[^. \t\r\n]", token) != 1)
        return;
    long long h, m, s;
    if (sscanf(token, "%lld:%lld:%lld", &h, &m, &s) != 3)
        return;
    // Broken timestamps make the transcoder print hours in the hundreds of
    // thousands; a time that does not fit the field is not taken.
    auto fitsInt = [](long long v) { return v >= INT_MIN && v <= INT_MAX; };
    if (!fitsInt(h) || !fitsInt(m) || !fitsInt(s))
        return;
    long long total = h * 3600 + m * 60 + s;
    if (fitsInt(total))
        proc.streamTime = static_cast<int>(total);
}

void parseBitrate(ORVA_PROC_TAG& proc, const char* chunk) {
    const char* at = strstr(chunk, " bitrate=");
    int kbits;
    if (at && sscanf(at + 9, "%d", &kbits) == 1)
        proc.bitrate = kbits;
}

}  // namespace

long orvaParseProgress(int slot, const char* chunk) {
    ORVA_PROC_TAG& proc = g_procChannels[slot];
    proc.tmLastOutput = time(nullptr);
    parseStreamTime(proc, chunk);
    parseBitrate(proc, chunk);
    orvaRunOutput(slot, chunk);
    orvaLog(slot, 0, chunk);
    if (orvaTakeOutputLines(slot, chunk))
        orvaStop(slot, ORVA_STOP_ORDERLY);
    if (g_cfg.appCallback)
        return g_cfg.appCallback(static_cast<unsigned long>(slot), chunk);
    return 0;
}
