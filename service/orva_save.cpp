// orva_save.cpp: composes a change into the configuration file, writes it and
// only then applies it.
//
// DESIGN: a change that cannot be saved must not be live either, or a restart
// would silently take it back. So the file is composed from the records as
// they will be, written and synced, and the change is applied after. The save
// lock is held from composing to applying: a second save waits, then composes
// from a table that already holds the first change, so no save drops another
// and the file on disk only ever moves forward. The disk is slow next to the
// 20 ms supervision pass, so the write runs without the service lock; what
// may change meanwhile (run flags, playlist positions) is not the change's.
#include "orva_save.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "config/orva_config.h"
#include "engine/orva_service_log.h"
#include "orva_service.h"

namespace {

// Lock order: g_saveLock, then g_serviceLock.
std::mutex g_saveLock;
std::atomic<void (*)()> g_saveHook{nullptr};

int writeComposed(const std::string& text) {
    if (void (*hook)() = g_saveHook.load())
        hook();
    errno = 0;
    if (orvaWriteConfigText(text) == 0)
        return 0;
    orvaServiceLog("saving the configuration to %s failed: %s", orvaGetConfigFile(),
                   errno ? strerror(errno) : "write error");
    return ORVA_SAVE_NOT_WRITTEN;
}

}  // namespace

int orvaSaveChange(std::unique_lock<std::mutex>& serviceLock, const OrvaChange& change) {
    serviceLock.unlock();
    std::lock_guard<std::mutex> ordered(g_saveLock);
    serviceLock.lock();
    std::string text;
    if (int refusal = change.compose(text); refusal != 0)
        return refusal;
    serviceLock.unlock();
    int written = writeComposed(text);
    serviceLock.lock();
    if (written != 0)
        return written;
    if (change.apply)
        change.apply();
    return 0;
}

int orvaSaveConfig() {
    std::unique_lock<std::mutex> lock(g_serviceLock);
    OrvaChange asItIs{[](std::string& text) { return orvaExportConfigText(text) == 0 ? 0 : -1; },
                      nullptr};
    int rc = orvaSaveChange(lock, asItIs);
    if (rc == -1)
        orvaServiceLog("saving the configuration failed: out of memory");
    return rc == 0 ? 0 : -1;
}

void orvaSetSaveHook(void (*hook)()) { g_saveHook.store(hook); }
