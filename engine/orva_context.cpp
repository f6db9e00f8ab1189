// orva_context.cpp: the engine context, the process table, initialisation,
// release and the slot queries.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <memory>
#include <utility>

#include "orva_engine.h"
#include "orva_slots.h"
#include "orva_text.h"

namespace {

constexpr int kFreeWaitMs = 30;
constexpr int kFreeWaitCount = 100;  // about three seconds for all slots together

char szProgFile[256];
char szProgDir[256];
std::unique_ptr<ORVA_PROC_TAG[]> g_procTable;

// Converts a wide folder to multibyte; false when it does not fit.
bool narrowFolder(const void* wide, char (&out)[256]) {
    size_t n = wcstombs(out, static_cast<const wchar_t*>(wide), sizeof out);
    if (n == static_cast<size_t>(-1) || n >= sizeof out) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool endsWithSlash(std::string_view s) { return !s.empty() && s.back() == '/'; }

bool setEngineFile(const char* folder) {
    TextCursor t(g_cfg.szEngineFile, sizeof g_cfg.szEngineFile);
    append(t, folder);
    if (!endsWithSlash(t.view()))
        append(t, "/");
    append(t, ORVA_TRANSCODER_NAME);
    return !t.truncated;
}

// A work folder that does not fit is refused: a cut one is another folder.
bool setWorkDir(const char* folder) {
    if (!copyText(g_cfg.szWorkDir, folder))
        return false;
    size_t n = strlen(g_cfg.szWorkDir);
    if (n > 0 && g_cfg.szWorkDir[n - 1] == '/')
        g_cfg.szWorkDir[n - 1] = '\0';
    return true;
}

int initEngine(const ORVA_INIT_TAG* init, const char* engineDir, const char* workDir) {
    if (g_cfg.initialised)
        return ORVA_OK;
    if (!setEngineFile(engineDir ? engineDir : orvaGetProgDir()) ||
        !setWorkDir(workDir ? workDir : orvaGetProgDir()))
        return ORVA_ERR_NO_TRANSCODER;
    if (access(g_cfg.szEngineFile, X_OK) != 0)
        return ORVA_ERR_NO_TRANSCODER;
    g_cfg.cpuCount = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    g_cfg.cpuPerChannel = init ? init->cpuPerChannel : 0;
    orvaInitChannels();
    g_cfg.logLevel = init ? init->logLevel : 0;
    g_cfg.initialised = 1;
    return ORVA_OK;
}

void releaseTable() {
    orvaReleaseProcesses();
    orvaCloseSlotLogs();
    g_procTable.reset();
    g_procChannels = nullptr;
}

void sleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// Children killed at the end of the release are reaped when they are gone
// within a moment, so a service that initialises again keeps no zombies;
// their runs end like any other.
void reapKilled() {
    for (int round = 0; round < 20; round++) {
        bool pending = false;
        for (int slot = 0; slot < g_cfg.slotCount; slot++) {
            ORVA_PROC_TAG& proc = g_procChannels[slot];
            if (proc.pid <= 0)
                continue;
            if (orvaReap(slot)) {
                orvaRunReaped(slot, proc.exitStatus);
                orvaAlarmsRunEnded(slot);
            }
            else
                pending = true;
        }
        if (!pending)
            return;
        sleepMs(10);
    }
}

}  // namespace

ORVA_CONTEXT_TAG g_cfg;
ORVA_PROC_TAG* g_procChannels;

bool orvaSlotInRange(int slot) {
    return g_procChannels && slot >= 0 && slot < g_cfg.slotCount;
}

int orvaSwapSlots(int slotA, int slotB) {
    if (!orvaSlotInRange(slotA) || !orvaSlotInRange(slotB))
        return ORVA_ERR_SLOT_RANGE;
    std::swap(g_procChannels[slotA], g_procChannels[slotB]);
    orvaSwapWatches(slotA, slotB);
    orvaSwapRuns(slotA, slotB);
    orvaSwapAlarms(slotA, slotB);
    return ORVA_OK;
}

extern "C" {

const char* orvaGetProgDir(void) {
    if (szProgDir[0] != '\0')
        return szProgDir;
    ssize_t n = readlink("/proc/self/exe", szProgFile, sizeof szProgFile);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof szProgFile)) {
        szProgFile[0] = '\0';  // unreadable, or cut: a cut path names another folder
        return szProgDir;
    }
    szProgFile[n] = '\0';
    copyText(szProgDir, szProgFile);
    if (char* slash = strrchr(szProgDir, '/'))
        *slash = '\0';
    return szProgDir;
}

int orvaInitA(const ORVA_INIT_TAG* init) {
    const char* engineDir = init ? static_cast<const char*>(init->pszEngineDir) : nullptr;
    const char* workDir = init ? static_cast<const char*>(init->pszWorkDir) : nullptr;
    return initEngine(init, engineDir, workDir);
}

int orvaInitW(const ORVA_INIT_TAG* init) {
    char engineDir[256], workDir[256];
    bool hasEngine = init && init->pszEngineDir;
    bool hasWork = init && init->pszWorkDir;
    if (hasEngine && !narrowFolder(init->pszEngineDir, engineDir))
        return ORVA_ERR_NO_TRANSCODER;
    if (hasWork && !narrowFolder(init->pszWorkDir, workDir))
        return ORVA_ERR_NO_TRANSCODER;
    return initEngine(init, hasEngine ? engineDir : nullptr, hasWork ? workDir : nullptr);
}

void orvaSetLog(int level) {
    g_cfg.logLevel = level;
    if (level == 0)
        orvaCloseSlotLogs();  // logs the operator removes while logging is off free their space
}

void orvaSetCpuAffinity(int cpus) { g_cfg.cpuPerChannel = cpus; }

ORVA_CONTEXT_TAG* orvaSetAppCallback(ORVA_APP_CALLBACK callback) {
    g_cfg.appCallback = callback;
    return &g_cfg;
}

int orvaInitChannels(void) {
    if (g_procChannels)
        releaseTable();
    g_cfg.slotCount = ORVA_SLOT_COUNT;
    g_procTable = std::make_unique<ORVA_PROC_TAG[]>(ORVA_SLOT_COUNT);  // zeroed
    g_procChannels = g_procTable.get();
    orvaResetRuns();
    orvaResetAlarms();
    orvaOpenWatches();
    return 0;
}

void orvaFree(void) {
    if (!g_cfg.initialised)
        return;
    g_cfg.initialised = 0;
    for (int slot = 0; slot < g_cfg.slotCount; slot++)
        orvaStop(slot, ORVA_STOP_ORDERLY);
    int waits = 0;
    for (int slot = 0; slot < g_cfg.slotCount; slot++) {
        while (g_procChannels[slot].state != ORVA_STATE_IDLE) {
            if (waits >= kFreeWaitCount) {
                orvaStop(slot, ORVA_STOP_FORCED);
                break;
            }
            sleepMs(kFreeWaitMs);
            orvaPoll();
            waits++;
        }
    }
    reapKilled();
    releaseTable();
}

int orvaGetState(int slot) {
    return orvaSlotInRange(slot) ? g_procChannels[slot].state : 0;
}

int orvaGetStreamTime(int slot) {
    return orvaSlotInRange(slot) ? g_procChannels[slot].streamTime : -1;
}

int orvaGetStreamBitrate(int slot) {
    return orvaSlotInRange(slot) ? g_procChannels[slot].bitrate : -1;
}

int orvaGetExitCode(int slot) {
    return orvaSlotInRange(slot) ? g_procChannels[slot].exitStatus : 0;
}

}  // extern "C"
