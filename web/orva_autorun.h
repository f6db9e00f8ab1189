// orva_autorun.h: "Auto Start on System Boot" where systemd runs the
// machine and knows the service's unit: the box then shows and sets whether
// the unit "orval" is enabled. Elsewhere the box is only kept, and the page
// says it has no effect.
#pragma once

#include <mutex>

struct OrvaAutorun {
    bool managed = false;  // systemd starts the unit at boot when it is enabled
    bool enabled = false;  // whether it is, when managed
};

// Asks systemd ("systemctl is-enabled orval"). Runs a process for up to a few
// seconds, so it lets go of the service lock, held on entry, while it waits.
OrvaAutorun orvaQueryAutorun(std::unique_lock<std::mutex>& serviceLock);

// Enables or disables the unit: 0, or -1 after a log line saying why. Lets
// go of the service lock, held on entry, while systemctl runs.
int orvaSetAutorun(bool enabled, std::unique_lock<std::mutex>& serviceLock);
