// bench_usage.cpp: reads CPU time from getrusage, /proc/*/schedstat and /proc/stat.
#include "bench_usage.h"

#include <sys/resource.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

double timevalSeconds(const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; }

// The first field of a schedstat file is the task's on-CPU time in ns; it is
// exact where the tick-based figures of /proc/PID/stat miss short bursts.
bool readSchedstat(const std::string& path, double& seconds) {
    std::ifstream in(path);
    long long ns = 0;
    if (!(in >> ns))
        return false;
    seconds = ns / 1e9;
    return true;
}

double selfSchedSeconds() {
    double total = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        double seconds = 0;
        if (readSchedstat(task.path().string() + "/schedstat", seconds))
            total += seconds;
    }
    return total;
}

void readMachine(long long& busy, long long& total) {
    std::ifstream in("/proc/stat");
    std::string cpu;
    long long v[8] = {};
    in >> cpu;
    for (long long& x : v)
        in >> x;
    total = 0;
    for (long long x : v)
        total += x;  // guest time is already counted in user and nice
    busy = total - v[3] - v[4];  // neither idle nor waiting for I/O
}

double percent(double part, double whole) { return whole > 0 ? 100.0 * part / whole : 0; }

}  // namespace

double monotonicSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

UsageSample takeUsageSample(const std::vector<pid_t>& children) {
    UsageSample s;
    s.wall = monotonicSeconds();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    s.selfUser = timevalSeconds(ru.ru_utime);
    s.selfSystem = timevalSeconds(ru.ru_stime);
    s.selfSched = selfSchedSeconds();
    readMachine(s.machineBusy, s.machineTotal);
    for (pid_t pid : children) {
        double seconds = 0;
        if (pid > 0 && readSchedstat("/proc/" + std::to_string(pid) + "/schedstat", seconds))
            s.children[pid] = seconds;
    }
    return s;
}

UsageFigures usageBetween(const UsageSample& start, const UsageSample& end) {
    UsageFigures f;
    f.seconds = end.wall - start.wall;
    double system = end.selfSystem - start.selfSystem;
    f.selfPct = percent(end.selfUser - start.selfUser + system, f.seconds);
    f.selfSystemPct = percent(system, f.seconds);
    f.selfSchedPct = percent(end.selfSched - start.selfSched, f.seconds);
    double children = 0;
    for (const auto& [pid, seconds] : end.children) {
        auto before = start.children.find(pid);
        if (before == start.children.end())
            continue;  // a new process behind the same slot
        children += seconds - before->second;
        f.childrenCounted++;
    }
    f.childrenPct = percent(children, f.seconds);
    f.machineBusyPct = percent(end.machineBusy - start.machineBusy,
                               end.machineTotal - start.machineTotal);
    return f;
}
