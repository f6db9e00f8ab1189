// orva_log.cpp: per-slot log files with rotation into numbered generations.
//
// Each slot appends to "<work>/log/orva_NNN.log". A log above 5,000,000 bytes
// is rotated before the next write: generations 1 (oldest) to 9 (newest) are
// kept. Generations above 9 left by an older scheme are shifted down and the
// surplus oldest ones deleted. Every call opens, appends and closes, so an
// operator may move or delete a log at any time. The service log is rotated
// by the same code under its own name.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "orva_engine.h"
#include "orva_text.h"

namespace {

constexpr off_t kLogRotateBytes = 5000000;
constexpr int kLogGenerations = 9;
// An older scheme kept up to twelve generations; the search for a free
// generation number looks no further than that.
constexpr int kLogProbeLimit = 12;
constexpr size_t kPathSize = 512;

// A log is named by its stem, the path without ".log": generation 0 is
// "<stem>.log", generation n is "<stem>-n.log".
bool logPath(char (&path)[kPathSize], const char* stem, int generation) {
    TextCursor t(path, sizeof path);
    if (generation == 0)
        appendf(t, "%s.log", stem);
    else
        appendf(t, "%s-%d.log", stem, generation);
    return !t.truncated;
}

bool slotStem(char (&stem)[kPathSize], int slot) {
    TextCursor t(stem, sizeof stem);
    appendf(t, "%s/log/orva_%03d", g_cfg.szWorkDir, slot + 1);
    return !t.truncated;
}

bool generationExists(const char* stem, int generation) {
    char path[kPathSize];
    struct stat st;
    return logPath(path, stem, generation) && stat(path, &st) == 0;
}

void renameGeneration(const char* stem, int from, int to) {
    char a[kPathSize], b[kPathSize];
    if (logPath(a, stem, from) && logPath(b, stem, to))
        rename(a, b);  // failures of the rotation are ignored
}

void removeGeneration(const char* stem, int generation) {
    char path[kPathSize];
    if (logPath(path, stem, generation))
        unlink(path);
}

int openLog(const char* path) {
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void formatTimeStamp(char (&stamp)[32]) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    if (strftime(stamp, sizeof stamp, "[%Y/%m/%d %H:%M:%S] ", &local) == 0)
        stamp[0] = '\0';
}

}  // namespace

void orvaRotateLog(const char* stem) {
    int m = 1;
    while (m < kLogProbeLimit && generationExists(stem, m))
        m++;
    if (m >= kLogGenerations) {
        int shift = m - kLogGenerations;
        for (int k = 1; k <= shift; k++)
            removeGeneration(stem, k);
        for (int j = 1; shift > 0 && j <= kLogGenerations - 1; j++)
            renameGeneration(stem, j + shift, j);
    }
    renameGeneration(stem, 0, m < 10 ? m : kLogGenerations);
}

int orvaAppendLog(const char* stem, bool stamped, const char* text) {
    char path[kPathSize];
    if (!logPath(path, stem, 0))
        return -1;
    int fd = openLog(path);
    if (fd < 0)
        return -1;
    // The size is taken from the open file: no second walk of the path.
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > kLogRotateBytes) {
        close(fd);
        orvaRotateLog(stem);
        fd = openLog(path);
        if (fd < 0)
            return -1;
    }
    char stamp[32];
    iovec parts[3];
    int count = 0;
    if (stamped) {
        formatTimeStamp(stamp);
        parts[count++] = {stamp, strlen(stamp)};
    }
    parts[count++] = {const_cast<char*>(text), strlen(text)};
    if (stamped && !strchr(text, '\n'))
        parts[count++] = {const_cast<char*>("\n"), 1};
    // A short write leaves a shorter line; nothing more can be done about it here.
    [[maybe_unused]] ssize_t written = writev(fd, parts, count);
    close(fd);
    return 0;
}

extern "C" {

int cleanLogFiles(int slot) {
    char stem[kPathSize];
    if (slotStem(stem, slot))
        orvaRotateLog(stem);
    return 0;
}

int orvaLog(int slot, int level, const char* text) {
    if (!g_cfg.initialised)
        return -1;
    if (g_cfg.logLevel == 0)
        return 0;
    char stem[kPathSize];
    if (!orvaSlotInRange(slot) || !text || !slotStem(stem, slot))
        return -1;
    return orvaAppendLog(stem, level == 1, text);
}

}  // extern "C"
