// orva_autorun.h: "Auto Start on System Boot" where systemd runs the
// machine and knows the service's unit: the box then shows and sets whether
// the unit "orval" is enabled. Elsewhere the box is only kept, and the page
// says it has no effect.
#pragma once

#include <mutex>
#include <string_view>

struct OrvaAutorun {
    bool managed = false;  // systemd starts the unit at boot when it is enabled
    bool enabled = false;  // whether it is, when managed
};

// Asks systemd ("systemctl is-enabled orval"). Runs a process for up to a few
// seconds, so it lets go of the service lock, held on entry, while it waits.
OrvaAutorun orvaQueryAutorun(std::unique_lock<std::mutex>& serviceLock);

// Applies a checked settings form as orvaUpdateSettings does, and where
// systemd manages the boot start and the form's "autorun" differs from
// `current`, enables or disables the unit first (without the service lock).
// When systemctl fails nothing is applied; when the save then fails the unit
// is set back. Answers orvaUpdateSettings's codes, ORVA_WEB_NOT_SAVED for a
// failed systemctl. Caller holds the service lock.
int orvaUpdateSettingsAndAutorun(std::string_view body, const OrvaAutorun& current,
                                 std::unique_lock<std::mutex>& serviceLock);
