// orva_progress.cpp: takes stream time and bitrate from transcoder output,
// logs the output, hands its lines to the alarms and stops slots whose
// encoder reports a fatal condition.
#include <charconv>
#include <climits>
#include <cstring>
#include <ctime>
#include <string_view>

#include "orva_engine.h"

namespace {

// A number as scanf's "%lld" reads it: blanks, a sign, digits. The chunks
// come twice a second from each of up to 128 transcoders, and scanf's
// machinery was the loop's largest single cost in user space.
bool readNumber(std::string_view& text, long long& value) {
    size_t start = text.find_first_not_of(" \t");
    if (start == text.npos)
        return false;
    text.remove_prefix(start);
    if (text.size() > 1 && text[0] == '+' && text[1] != '-')
        text.remove_prefix(1);
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end == text.data())
        return false;
    if (error == std::errc::result_out_of_range)
        value = text[0] == '-' ? LLONG_MIN : LLONG_MAX;  // too large to fit anything
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    return true;
}

bool skipColon(std::string_view& text) {
    if (text.empty() || text[0] != ':')
        return false;
    text.remove_prefix(1);
    return true;
}

void parseStreamTime(ORVA_PROC_TAG& proc, const char* chunk) {
    const char* at = strstr(chunk, " time=");
    if (!at)
        return;
    // "hh:mm:ss" up to the fraction or the next blank.
    std::string_view field(at + 6, strcspn(at + 6, ". \t\r\n"));
    long long h, m, s;
    if (field.empty() || !readNumber(field, h) || !skipColon(field) || !readNumber(field, m) ||
        !skipColon(field) || !readNumber(field, s))
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
    if (!at)
        return;
    std::string_view field(at + 9);
    long long kbits;
    if (readNumber(field, kbits) && kbits >= INT_MIN && kbits <= INT_MAX)
        proc.bitrate = static_cast<int>(kbits);
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
