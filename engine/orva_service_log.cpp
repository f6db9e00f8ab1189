// orva_service_log.cpp: the service log "<log folder>/orval.log", rotated
// like the slot logs, and the table of result code meanings.
//
// Lines come from web threads, timer threads and the supervision loop, so
// each append (and the rotation before it) is done under a lock of its own;
// it is never the service lock, so a log line can be written anywhere.
#include "orva_service_log.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "orva_engine.h"
#include "orva_text.h"

namespace {

constexpr size_t kStemSize = 512;
constexpr size_t kLineSize = 1500;

struct ResultText {
    int code;
    const char* text;
};

constexpr ResultText kStartResults[] = {
    {ORVA_OK, "success"},
    {ORVA_ERR_NOT_INITIALISED, "the engine is not initialised"},
    {ORVA_ERR_SLOT_RANGE, "no such slot"},
    {ORVA_ERR_SLOT_BUSY, "the slot is running or stopping"},
    {ORVA_ERR_PIPE, "no pipe for the transcoder's output"},
    {ORVA_ERR_INPUT_PORT, "the input port is invalid"},
    {ORVA_ERR_INPUT_ADDRESS, "the input address is invalid"},
    {ORVA_ERR_OUTPUT_AUDIO, "the output audio is invalid"},
    {ORVA_ERR_VIDEO_CODEC, "the video codec is unknown"},
    {ORVA_ERR_OUTPUT_FORMAT, "the output format is unknown"},
    {ORVA_ERR_LOG, "the slot log cannot be written"},
    {ORVA_ERR_SPAWN, "the transcoder could not be started"},
    {ORVA_ERR_LINE_TOO_LONG, "the command line does not fit"},
    {ORVA_ERR_TEXT_TOO_LONG, "an option text or address does not fit"},
    {ORVA_ERR_NO_PLAYLIST, "the folder holds no file to play"},
};

std::mutex g_logLock;
char g_stem[kStemSize];  // empty while the log is off
bool g_toStderr;

void writeToStderr(const char* line) {
    iovec parts[2] = {{const_cast<char*>(line), strlen(line)}, {const_cast<char*>("\n"), 1}};
    // Nothing more can be done about a short write here.
    [[maybe_unused]] ssize_t written = writev(STDERR_FILENO, parts, 2);
}

}  // namespace

void orvaServiceLogOpen(const char* folder) {
    std::lock_guard<std::mutex> lock(g_logLock);
    g_stem[0] = '\0';
    if (!folder || !folder[0])
        return;
    TextCursor t(g_stem, sizeof g_stem);
    appendf(t, "%s/orval", folder);
    if (t.truncated)
        g_stem[0] = '\0';  // a cut path would name another file
}

void orvaServiceLogToStderr(bool on) {
    std::lock_guard<std::mutex> lock(g_logLock);
    g_toStderr = on;
}

void orvaServiceLog(const char* format, ...) {
    char line[kLineSize];
    va_list args;
    va_start(args, format);
    // A cut line is still worth having: it is read by people.
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_stem[0])
        orvaAppendLog(g_stem, true, line);
    if (g_toStderr)
        writeToStderr(line);
}

void orvaLogFailedCall(const char* call, const char* purpose) {
    int err = errno;
    char text[256];
    // The GNU strerror_r returns the text, which may not be in `text`.
    const char* meaning = strerror_r(err, text, sizeof text);
    orvaServiceLog("%s() failed (%s): %s", call, purpose, meaning);
    errno = err;
}

const char* orvaStartResultText(int code) {
    for (const ResultText& r : kStartResults) {
        if (r.code == code)
            return r.text;
    }
    return "unknown error";
}

const char* orvaInitResultText(int code) {
    if (code == ORVA_ERR_NO_TRANSCODER)
        return "the transcoder is missing or not executable";
    return orvaStartResultText(code);
}
