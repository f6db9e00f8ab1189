// orva_spawn.cpp: fork and exec for the pipeline's children.
#include "orva_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace {

constexpr int kMediaPipeBytes = 1 << 20;

// After fork only async-signal-safe calls: dup2, fcntl, sigaction, prctl, execve.
// Each source is first copied above every place, so that placing one never
// overwrites another that is still to be placed.
void placeDescriptors(const int* sources, const int* places, int count, int above) {
    int copies[64];
    for (int i = 0; i < count; i++)
        copies[i] = sources[i] < 0 ? -1 : fcntl(sources[i], F_DUPFD, above);
    for (int i = 0; i < count; i++)
        if (copies[i] >= 0)
            dup2(copies[i], places[i]);
}

[[noreturn]] void runChild(pid_t parent, char* const argv[], const int* sources, const int* places, int count,
                           int firstFree) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The launcher may have died between fork and prctl.
    if (getppid() != parent)
        _exit(127);
    placeDescriptors(sources, places, count, firstFree);
    // The copies, and a descriptor some library opened without close-on-exec, stay behind.
    syscall(SYS_close_range, static_cast<unsigned>(firstFree), ~0u, 0u);
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD, SIGHUP, SIGQUIT})
        sigaction(sig, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv, environ);
    _exit(127);
}

}  // namespace

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string folder = end > start ? folders.substr(start, end - start) : ".";
        std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

pid_t spawnChild(const std::vector<std::string>& argv, const ChildDescriptors& fds) {
    std::vector<char*> pointers;
    for (const std::string& arg : argv)
        pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    // Built before the fork: the child only copies descriptors.
    std::vector<int> sources = {fds.in, fds.out, fds.err, fds.third};
    std::vector<int> places = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, 3};
    for (size_t i = 0; i < fds.more.size(); i++) {
        sources.push_back(fds.more[i]);
        places.push_back(4 + static_cast<int>(i));
    }
    if (sources.size() > 32) {
        errno = EMFILE;
        return -1;
    }
    int firstFree = fds.more.empty() ? (fds.third >= 0 ? 4 : 3) : 4 + static_cast<int>(fds.more.size());
    pid_t parent = getpid();
    // A stop sent to the child before it has its default dispositions would
    // run the launcher's handler in it and be lost: signals wait until then.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pid_t pid = fork();
    if (pid == 0)
        runChild(parent, pointers.data(), sources.data(), places.data(), static_cast<int>(sources.size()),
                 firstFree);  // unblocks once its dispositions are reset
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);  // leaves errno as fork set it
    return pid;
}

bool makeMediaPipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    fcntl(fds[1], F_SETPIPE_SZ, kMediaPipeBytes);
    return true;
}

void catchStopSignals(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}
