// orva_save.h: the one ordered save of the configuration file.
//
// Every writer of the configuration file goes through orvaSaveChange: the
// web endpoints that change the table or the settings, and the shutdown.
#pragma once

#include <functional>
#include <mutex>
#include <string>

struct OrvaChange {
    // Under the service lock: checks the change and composes the whole file
    // as it will be with it. 0 goes on; anything else refuses the change,
    // nothing is written or changed, and orvaSaveChange returns it.
    std::function<int(std::string& text)> compose;
    // Under the service lock, once the file holds the change; may be empty.
    std::function<void()> apply;
};

enum { ORVA_SAVE_NOT_WRITTEN = -1000 };  // the file could not be written; nothing applied

// Composes under the service lock, writes and syncs the file without it, and
// applies the change under it once the file holds it. Saves run one at a
// time from composing to applying, so each composes from every change saved
// before it and none lands on disk before an earlier one. `serviceLock` owns
// g_serviceLock on entry and on return and is released in between (the save
// lock comes first in the lock order). Returns 0 once applied, the
// composer's refusal, or ORVA_SAVE_NOT_WRITTEN, logged in the service log.
int orvaSaveChange(std::unique_lock<std::mutex>& serviceLock, const OrvaChange& change);

// Writes the table and the settings as they are. The caller holds neither lock.
int orvaSaveConfig();

// Runs between composing and writing, without the service lock: for tests
// that stand in a slow disk. Null (the default) runs nothing.
void orvaSetSaveHook(void (*hook)());
