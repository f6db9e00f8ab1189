// orva_log.cpp: per-slot log files with rotation into numbered generations.
//
// Each slot appends to "<work>/log/orva_NNN.log". A log above 5,000,000 bytes
// is rotated before the next write: generations 1 (oldest) to 9 (newest) are
// kept. Generations above 9 left by an older scheme are shifted down and the
// surplus oldest ones deleted. The service log is rotated by the same code
// under its own name.
//
// DESIGN: a slot's log stays open between lines (opening and closing it for
// each chunk of output was most of what supervision cost). Every line is
// still one write to the kernel, so a crash loses nothing written before it.
// The open file is given up and the current one opened again after each
// rotation, when the operator has deleted it (seen at the next line, from the
// open file) and when its name now stands for another file or none, moved
// away by the operator or by a rotation tool (seen from the path, looked up
// at most once a second and only when the log folder changed, or every ten
// seconds; the lines in between land in the moved file). The
// engine's caller serialises its operations, so the table of open logs has
// no lock of its own. The service log is opened and closed for each line.
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

constexpr time_t kPathCheckSeconds = 1;
// A log's name is looked up at least this often even when its folder seems
// unchanged: a change in the same clock tick as the folder's look-up can
// leave the folder's change time as it was.
constexpr time_t kNameRecheckSeconds = 10;

struct OpenLog {
    int fd = -1;
    time_t pathCheckedAt = 0;
    time_t nameCheckedAt = 0;
    timespec folderSeen{};  // the log folder's change time before the last name look-up
    char stem[kPathSize] = "";  // its name without ".log", while it is open
};
OpenLog g_slotLogs[ORVA_SLOT_COUNT];

// The slots' log folder's change time, looked up at most once a second for
// all of them. A log can only have been moved away or replaced when an entry
// of its folder changed, so a slot looks up its own name only then: one
// lookup a second instead of one per slot.
struct LogFolder {
    time_t lookedAt = 0;
    bool known = false;
    timespec changed{};
};
LogFolder g_logFolder;

const timespec* logFolderChange(time_t now) {
    if (g_logFolder.lookedAt != now) {
        char folder[kPathSize];
        TextCursor t(folder, sizeof folder);
        appendf(t, "%s/log", g_cfg.szWorkDir);
        struct stat st;
        g_logFolder.known = !t.truncated && stat(folder, &st) == 0;
        g_logFolder.changed = g_logFolder.known ? st.st_ctim : timespec{};
        g_logFolder.lookedAt = now;
    }
    return g_logFolder.known ? &g_logFolder.changed : nullptr;
}

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

int openLog(const char* path) {
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

// Opens "<stem>.log" for appending, rotating it first when it is above the
// rotation size. Returns -1 when it cannot be opened.
int openCurrentLog(const char* stem) {
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
    }
    return fd;
}

void closeSlotLog(OpenLog& log) {
    if (log.fd >= 0)
        close(log.fd);
    log.fd = -1;
}

bool namesFile(const char* stem, const struct stat& opened) {
    char path[kPathSize];
    struct stat named;
    return logPath(path, stem, 0) && stat(path, &named) == 0 && named.st_dev == opened.st_dev &&
           named.st_ino == opened.st_ino;
}

// Whether the slot's open log takes the next line as it is: not due for
// rotation, not deleted, and still the file its name stands for (looked up
// at most once a second, when the log folder changed or ten seconds passed).
bool stillCurrent(OpenLog& log, time_t now) {
    struct stat opened;
    if (fstat(log.fd, &opened) != 0 || opened.st_nlink == 0 || opened.st_size > kLogRotateBytes)
        return false;
    if (now >= log.pathCheckedAt && now - log.pathCheckedAt < kPathCheckSeconds)
        return true;
    log.pathCheckedAt = now;
    const timespec* folder = logFolderChange(now);
    if (folder && sameTime(*folder, log.folderSeen) && now >= log.nameCheckedAt &&
        now - log.nameCheckedAt < kNameRecheckSeconds)
        return true;
    log.nameCheckedAt = now;
    log.folderSeen = folder ? *folder : timespec{};
    return namesFile(log.stem, opened);
}

// The slot's log, open for appending; -1 when it cannot be opened. Its name
// is composed when it is opened, not for every line.
int slotLog(int slot) {
    OpenLog& log = g_slotLogs[slot];
    time_t now = time(nullptr);
    if (log.fd >= 0 && !stillCurrent(log, now))
        closeSlotLog(log);
    if (log.fd < 0 && slotStem(log.stem, slot)) {
        // The folder as it was before the open, so any later change shows.
        const timespec* folder = logFolderChange(now);
        log.folderSeen = folder ? *folder : timespec{};
        log.fd = openCurrentLog(log.stem);
        log.pathCheckedAt = log.nameCheckedAt = now;
    }
    return log.fd;
}

void formatTimeStamp(char (&stamp)[32]) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    if (strftime(stamp, sizeof stamp, "[%Y/%m/%d %H:%M:%S] ", &local) == 0)
        stamp[0] = '\0';
}

// One write per line, so a line is never split between writers or files.
void writeLine(int fd, bool stamped, const char* text) {
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
    int fd = openCurrentLog(stem);
    if (fd < 0)
        return -1;
    writeLine(fd, stamped, text);
    close(fd);
    return 0;
}

void orvaCloseSlotLogs() {
    for (OpenLog& log : g_slotLogs)
        closeSlotLog(log);
    g_logFolder = {};  // the next engine may log elsewhere
}

extern "C" {

int cleanLogFiles(int slot) {
    char stem[kPathSize];
    if (!slotStem(stem, slot))
        return 0;
    if (slot >= 0 && slot < ORVA_SLOT_COUNT)
        closeSlotLog(g_slotLogs[slot]);  // the next line goes to the new current log
    orvaRotateLog(stem);
    return 0;
}

int orvaLog(int slot, int level, const char* text) {
    if (!g_cfg.initialised)
        return -1;
    if (g_cfg.logLevel == 0)
        return 0;
    if (!orvaSlotInRange(slot) || !text)
        return -1;
    int fd = slotLog(slot);
    if (fd < 0)
        return -1;
    writeLine(fd, level == 1, text);
    return 0;
}

}  // extern "C"
