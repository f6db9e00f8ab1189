// orva_proc.cpp: creates, signals and reaps transcoder processes; the only
// place that calls fork, exec, kill and waitpid for them (orva_command.cpp
// runs the short helper programs of the settings).
//
// DESIGN: every slot keeps its two pipes for the life of the engine. Each
// running child also has a pidfd. One epoll set (the poll set) holds the
// output pipes and the pidfds, so one wait tells a poll which pipes hold data
// and which children have ended; only those are read and reaped. A second set
// holds the pidfds alone: the service sleeps on it (orvaSleep), so a child's
// end cuts the sleep short. A slot whose pidfd could not be opened is asked on
// every poll, and all running slots are asked every few seconds in any case.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "orva_engine.h"
#include "orva_service_log.h"
#include "orva_text.h"

extern char** environ;

namespace {

constexpr int kSweepEveryPolls = 250;  // about every five seconds at the service's 20 ms pace
constexpr uint32_t kExitEvent = 0x10000;  // marks a pidfd's event in the poll set

std::atomic<int> g_pollWatch{-1};  // epoll set of the output pipes and the pidfds
std::atomic<int> g_exitWatch{-1};  // epoll set of the pidfds alone, for the sleep
std::array<int, ORVA_SLOT_COUNT> noPidfds() {
    std::array<int, ORVA_SLOT_COUNT> fds;
    fds.fill(-1);
    return fds;
}
std::array<int, ORVA_SLOT_COUNT> g_pidfd = noPidfds();  // -1: none
int g_pollsSinceSweep;

// Keeps pipe ends off the standard descriptors, so the child's dup2 onto
// 0, 1 and 2 can never overwrite another end of the same pipes.
bool liftAboveStdio(int& fd) {
    if (fd > 2)
        return true;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    fd = moved;
    return moved >= 0;
}

bool createPipe(int (&fds)[2]) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        orvaLogFailedCall("pipe2", "a transcoder's pipe");
        return false;
    }
    if (!liftAboveStdio(p[0]) || !liftAboveStdio(p[1])) {
        if (p[0] >= 0) close(p[0]);
        if (p[1] >= 0) close(p[1]);
        return false;
    }
    fds[0] = p[0];
    fds[1] = p[1];
    return true;
}

// Adds or changes the watch of `fd`; its events carry `tag`.
void setWatch(int epollFd, int operation, int fd, uint32_t tag) {
    if (epollFd < 0)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = tag;
    if (epoll_ctl(epollFd, operation, fd, &ev) != 0)
        orvaLogFailedCall("epoll_ctl", "watching a transcoder's pipe or end");
}

void watch(int epollFd, int fd, uint32_t tag) { setWatch(epollFd, EPOLL_CTL_ADD, fd, tag); }

void unwatch(int epollFd, int fd) {
    if (epollFd >= 0)
        epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
}

int preparePipes(ORVA_PROC_TAG& proc, int slot) {
    if (proc.fdCmd[0] == 0 && proc.fdCmd[1] == 0 && !createPipe(proc.fdCmd))
        return ORVA_ERR_PIPE;
    if (proc.fdOut[0] == 0 && proc.fdOut[1] == 0) {
        if (!createPipe(proc.fdOut))
            return ORVA_ERR_PIPE;
        int flags = fcntl(proc.fdOut[0], F_GETFL);
        fcntl(proc.fdOut[0], F_SETFL, flags | O_NONBLOCK);
        watch(g_pollWatch, proc.fdOut[0], static_cast<uint32_t>(slot));
    }
    return ORVA_OK;
}

// A child that ended before reading its line leaves that line in the reused
// command pipe; the next child must not read it in place of its own.
void discardStaleCommand(int fd) {
    int pending = 0;
    char sink[4096];
    while (ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) {
        size_t n = static_cast<size_t>(pending) < sizeof sink ? pending : sizeof sink;
        if (read(fd, sink, n) <= 0)
            break;
    }
}

// Makes `fd` the descriptor `target` for exec; async-signal-safe.
void becomeDescriptor(int fd, int target) {
    if (fd == target)
        fcntl(target, F_SETFD, 0);  // dup2 onto itself would keep close-on-exec
    else
        dup2(fd, target);
}

constexpr std::string_view kThumbVariable = "ORVAL_THUMB=";

// Variables the engine sets itself; the service's own values of them are
// not passed on.
bool setByEngine(std::string_view entry) {
    return entry.starts_with(kThumbVariable) ||
           std::any_of(std::begin(kOrvaContinuityVariables), std::end(kOrvaContinuityVariables),
                       [&](std::string_view name) { return entry.starts_with(name); });
}

// The service's environment for the child, with the file where the launcher
// keeps the channel's live thumbnail and the channel's continuity settings.
// A recorder slot shows its channel's input, so it names the channel's file
// and takes the channel's settings. Built before the fork: the child may not
// allocate.
class ChildEnvironment {
public:
    explicit ChildEnvironment(int slot) : continuity_(orvaContinuityEnvironment(slot)) {
        TextCursor t(thumb_, sizeof thumb_);
        appendf(t, "%.*s%s/thumb/orva_%03d.jpg", static_cast<int>(kThumbVariable.size()),
                kThumbVariable.data(), g_cfg.szWorkDir, slot % ORVA_CHANNEL_COUNT + 1);
        for (char** entry = environ; entry && *entry; ++entry)
            if (!setByEngine(*entry))
                entries_.push_back(*entry);
        // A cut path would name another file: then the channel has none.
        if (!t.truncated && g_cfg.szWorkDir[0] != '\0')
            entries_.push_back(thumb_);
        for (std::string& variable : continuity_)
            entries_.push_back(variable.data());
        entries_.push_back(nullptr);
    }
    char* const* get() { return entries_.data(); }

private:
    char thumb_[600];
    std::vector<std::string> continuity_;
    std::vector<char*> entries_;
};

[[noreturn]] void runChild(const ORVA_PROC_TAG& proc, char* const argv[], char* const envp[], int maxFd) {
    // Only async-signal-safe calls from here on: another thread may have held
    // the allocator's lock at the moment of the fork.
    close(proc.fdCmd[1]);
    close(proc.fdOut[0]);
    becomeDescriptor(proc.fdCmd[0], STDIN_FILENO);
    becomeDescriptor(proc.fdOut[1], STDOUT_FILENO);
    becomeDescriptor(proc.fdOut[1], STDERR_FILENO);
    // Whatever else the service holds, inherited or opened without
    // close-on-exec by a library, stays with the service.
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
        for (int fd = 3; fd < maxFd; fd++)
            close(fd);
    }
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGABRT, SIGHUP, SIGPIPE, SIGCHLD})
        sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv, envp);
    _exit(127);
}

void applyAffinity(int slot, pid_t pid) {
    if (g_cfg.cpuPerChannel <= 0)
        return;
    cpu_set_t set;
    orvaComputeCpuSet(slot, g_cfg.cpuPerChannel, g_cfg.cpuCount, &set);
    sched_setaffinity(pid, sizeof set, &set);  // best effort, as documented
}

void watchExit(int slot, pid_t pid) {
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));  // close-on-exec by nature
    g_pidfd[slot] = fd;
    if (fd < 0) {
        // The slot is then asked on every poll instead.
        orvaLogFailedCall("pidfd_open", "watching a transcoder's end");
        return;
    }
    watch(g_pollWatch, fd, static_cast<uint32_t>(slot) | kExitEvent);
    watch(g_exitWatch, fd, static_cast<uint32_t>(slot));
}

void unwatchExit(int slot) {
    int fd = g_pidfd[slot];
    if (fd < 0)
        return;
    unwatch(g_pollWatch, fd);
    unwatch(g_exitWatch, fd);
    close(fd);
    g_pidfd[slot] = -1;
}

void retag(int epollFd, int fd, uint32_t tag) { setWatch(epollFd, EPOLL_CTL_MOD, fd, tag); }

// The events of a slot's descriptors name the slot they are watched for.
void retagSlot(int slot) {
    uint32_t tag = static_cast<uint32_t>(slot);
    if (g_procChannels[slot].fdOut[0] > 0)
        retag(g_pollWatch, g_procChannels[slot].fdOut[0], tag);
    if (g_pidfd[slot] >= 0) {
        retag(g_pollWatch, g_pidfd[slot], tag | kExitEvent);
        retag(g_exitWatch, g_pidfd[slot], tag);
    }
}

void closeIfOpen(int& fd) {
    if (fd != 0)
        close(fd);
    fd = 0;
}

}  // namespace

void orvaOpenWatches() {
    if (g_pollWatch < 0 && (g_pollWatch = epoll_create1(EPOLL_CLOEXEC)) < 0)
        orvaLogFailedCall("epoll_create1", "the poll of transcoder output");
    if (g_exitWatch < 0 && (g_exitWatch = epoll_create1(EPOLL_CLOEXEC)) < 0)
        orvaLogFailedCall("epoll_create1", "the sleep until a transcoder ends");
    g_pollsSinceSweep = 0;
}

int orvaLaunch(int slot, std::string_view commandLine) {
    ORVA_PROC_TAG& proc = g_procChannels[slot];
    int rc = preparePipes(proc, slot);
    if (rc != ORVA_OK)
        return rc;
    discardStaleCommand(proc.fdCmd[0]);
    char* const argv[] = {g_cfg.szEngineFile, nullptr};
    ChildEnvironment environment(slot);
    int maxFd = static_cast<int>(sysconf(_SC_OPEN_MAX));
    // Signals wait until the child has its default dispositions: a stop that
    // came in between would run the service's handler in the child and be lost.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pid_t pid = fork();
    if (pid == 0)
        runChild(proc, argv, environment.get(), maxFd);  // unblocks once its dispositions are reset
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) {
        orvaLogFailedCall("fork", "starting a transcoder");
        return ORVA_ERR_SPAWN;
    }
    proc.pid = pid;
    watchExit(slot, pid);
    proc.state = ORVA_STATE_RUNNING;
    proc.streamTime = -1;
    proc.bitrate = -1;
    proc.tmLastOutput = 0;
    orvaRunLaunched(slot);
    orvaAlarmsRunLaunched(slot);
    pipeWriteStr(proc.fdCmd[1], ORVA_TRANSCODER_TOKEN " ");
    pipeWrite(proc.fdCmd[1], commandLine.data(), commandLine.size());
    pipeWriteStr(proc.fdCmd[1], "\n");
    applyAffinity(slot, pid);
    return ORVA_OK;
}

void orvaSignal(int slot, int signal) {
    pid_t pid = g_procChannels[slot].pid;
    if (pid > 0)
        kill(pid, signal);
}

bool orvaReap(int slot) {
    ORVA_PROC_TAG& proc = g_procChannels[slot];
    int status = 0;
    pid_t r = proc.pid > 0 ? waitpid(proc.pid, &status, WNOHANG) : -1;
    if (r == 0)
        return false;
    if (r > 0)
        proc.exitStatus = status;
    else if (proc.pid > 0 && errno != ECHILD)
        return false;
    unwatchExit(slot);
    proc.pid = 0;
    return true;
}

void orvaCollectEvents(bool* readable, bool* ended) {
    epoll_event events[2 * ORVA_SLOT_COUNT];
    int n = g_pollWatch >= 0 ? epoll_wait(g_pollWatch, events, 2 * ORVA_SLOT_COUNT, 0) : -1;
    for (int i = 0; i < n; i++) {
        uint32_t tag = events[i].data.u32;
        uint32_t slot = tag & ~kExitEvent;
        if (slot < ORVA_SLOT_COUNT)
            (tag & kExitEvent ? ended : readable)[slot] = true;
    }
    bool sweep = ++g_pollsSinceSweep >= kSweepEveryPolls;
    if (sweep)
        g_pollsSinceSweep = 0;
    for (int slot = 0; slot < g_cfg.slotCount; slot++) {
        if (n < 0)
            readable[slot] = true;
        if (sweep || g_pidfd[slot] < 0)
            ended[slot] = true;
    }
}

void orvaReleaseProcesses() {
    for (int slot = 0; g_procChannels && slot < g_cfg.slotCount; slot++) {
        ORVA_PROC_TAG& proc = g_procChannels[slot];
        unwatchExit(slot);
        closeIfOpen(proc.fdCmd[0]);
        closeIfOpen(proc.fdCmd[1]);
        closeIfOpen(proc.fdOut[0]);
        closeIfOpen(proc.fdOut[1]);
    }
    for (std::atomic<int>* watchFd : {&g_pollWatch, &g_exitWatch}) {
        int fd = watchFd->exchange(-1);
        if (fd >= 0)
            close(fd);
    }
}

void orvaSwapWatches(int slotA, int slotB) {
    std::swap(g_pidfd[slotA], g_pidfd[slotB]);
    retagSlot(slotA);
    retagSlot(slotB);
}

void orvaComputeCpuSet(int slot, int cpuPerChannel, int cpuCount, cpu_set_t* set) {
    CPU_ZERO(set);
    if (cpuPerChannel <= 0 || cpuCount <= 0)
        return;
    // A channel never gets more processors than exist (nor than a set holds),
    // however large the setting: the loop below stays that short.
    int count = std::min({cpuPerChannel, cpuCount, static_cast<int>(CPU_SETSIZE)});
    int first = static_cast<int>((static_cast<long long>(count) * slot) % cpuCount);
    for (int cpu = first; cpu < first + count && cpu < CPU_SETSIZE; cpu++)
        CPU_SET(cpu, set);
}

extern "C" int orvaSleep(int milliseconds) {
    pollfd pfd{g_exitWatch.load(), POLLIN, 0};
    if (pfd.fd < 0)
        return poll(nullptr, 0, milliseconds);
    return poll(&pfd, 1, milliseconds);
}
