// orva_autorun.cpp: the start-at-boot box against systemd.
//
// Where /run/systemd/system exists (systemd runs the machine) and
// "systemctl is-enabled orval" answers enabled or disabled (the unit is
// installed), the unit's state is the truth: the settings document shows it
// and a save that differs from it enables or disables the unit. Any other
// answer, or none within the time limit, means systemd does not manage the
// boot start here. An import never touches the unit: it only restores the
// stored flag. The settings endpoint decides when to change the unit.
#include "orva_autorun.h"

#include <sys/stat.h>

#include <chrono>
#include <string>

#include "engine/orva_command.h"
#include "engine/orva_service_log.h"
#include "service/orva_paths.h"

namespace {

constexpr const char* kUnit = "orval";
// systemctl answers in milliseconds; an enable that rewrites links takes
// longer, a hung one is killed here.
constexpr std::chrono::milliseconds kSystemctlLimit{5000};

bool systemdRuns() {
    struct stat st;
    return stat(orvaPath(OrvaPath::SystemdDir), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs systemctl with `verb` on the unit: its status, with its first line.
int systemctl(const char* verb, std::string& answer) {
    const char* argv[] = {orvaPath(OrvaPath::Systemctl), verb, kUnit, nullptr};
    return orvaRunCommand(argv, kSystemctlLimit, answer);
}

// Runs `work` without the service lock, held on entry and on return.
template <typename Work>
auto withoutLock(std::unique_lock<std::mutex>& serviceLock, Work work) {
    serviceLock.unlock();
    auto result = work();
    serviceLock.lock();
    return result;
}

OrvaAutorun askSystemd() {
    OrvaAutorun autorun;
    if (!systemdRuns())
        return autorun;
    std::string state;
    systemctl("is-enabled", state);  // its status is 1 for "disabled"
    autorun.managed = state == "enabled" || state == "enabled-runtime" || state == "disabled";
    autorun.enabled = state != "disabled";
    return autorun;
}

int setUnit(bool enabled) {
    const char* verb = enabled ? "enable" : "disable";
    std::string answer;
    int status = systemctl(verb, answer);
    if (status == 0)
        return 0;
    orvaServiceLog("systemctl %s %s failed (status %d)", verb, kUnit, status);
    return -1;
}

}  // namespace

OrvaAutorun orvaQueryAutorun(std::unique_lock<std::mutex>& serviceLock) {
    if (!systemdRuns())
        return {};  // no process to wait for
    return withoutLock(serviceLock, askSystemd);
}

int orvaSetAutorun(bool enabled, std::unique_lock<std::mutex>& serviceLock) {
    return withoutLock(serviceLock, [enabled] { return setUnit(enabled); });
}
