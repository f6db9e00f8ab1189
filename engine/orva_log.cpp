// orva_log.cpp: per-slot log files with rotation into numbered generations.
//
// Each slot appends to "<work>/log/orva_NNN.log". A log above 5,000,000 bytes
// is rotated before the next write: generations 1 (oldest) to 9 (newest) are
// kept. Generations above 9 left by an older scheme are shifted down and the
// surplus oldest ones deleted. Every call opens, appends and closes, so an
// operator may move or delete a log at any time.
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

bool logPath(char (&path)[kPathSize], int slot, int generation) {
    TextCursor t(path, sizeof path);
    if (generation == 0)
        appendf(t, "%s/log/orva_%03d.log", g_cfg.szWorkDir, slot + 1);
    else
        appendf(t, "%s/log/orva_%03d-%d.log", g_cfg.szWorkDir, slot + 1, generation);
    return !t.truncated;
}

bool generationExists(int slot, int generation) {
    char path[kPathSize];
    struct stat st;
    return logPath(path, slot, generation) && stat(path, &st) == 0;
}

void renameGeneration(int slot, int from, int to) {
    char a[kPathSize], b[kPathSize];
    if (logPath(a, slot, from) && logPath(b, slot, to))
        rename(a, b);  // failures of the rotation are ignored
}

void removeGeneration(int slot, int generation) {
    char path[kPathSize];
    if (logPath(path, slot, generation))
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

extern "C" {

int cleanLogFiles(int slot) {
    int m = 1;
    while (m < kLogProbeLimit && generationExists(slot, m))
        m++;
    if (m >= kLogGenerations) {
        int shift = m - kLogGenerations;
        for (int k = 1; k <= shift; k++)
            removeGeneration(slot, k);
        for (int j = 1; shift > 0 && j <= kLogGenerations - 1; j++)
            renameGeneration(slot, j + shift, j);
    }
    renameGeneration(slot, 0, m < 10 ? m : kLogGenerations);
    return 0;
}

int orvaLog(int slot, int level, const char* text) {
    if (!g_cfg.initialised)
        return -1;
    if (g_cfg.logLevel == 0)
        return 0;
    char path[kPathSize];
    if (!orvaSlotInRange(slot) || !text || !logPath(path, slot, 0))
        return -1;
    int fd = openLog(path);
    if (fd < 0)
        return -1;
    // The size is taken from the open file: no second walk of the path.
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > kLogRotateBytes) {
        close(fd);
        cleanLogFiles(slot);
        fd = openLog(path);
        if (fd < 0)
            return -1;
    }
    char stamp[32];
    iovec parts[3];
    int count = 0;
    if (level == 1) {
        formatTimeStamp(stamp);
        parts[count++] = {stamp, strlen(stamp)};
    }
    parts[count++] = {const_cast<char*>(text), strlen(text)};
    if (level == 1 && !strchr(text, '\n'))
        parts[count++] = {const_cast<char*>("\n"), 1};
    // A short write leaves a shorter line; nothing more can be done about it here.
    [[maybe_unused]] ssize_t written = writev(fd, parts, count);
    close(fd);
    return 0;
}

}  // extern "C"
