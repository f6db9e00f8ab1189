// orva_spawn.cpp: fork and exec for the pipeline's children.
#include "orva_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

namespace {

constexpr int kMediaPipeBytes = 1 << 20;

// After fork only async-signal-safe calls: dup2, fcntl, sigaction, prctl, execve.
void placeDescriptor(int fd, int target) {
    if (fd < 0)
        return;
    if (fd == target)
        fcntl(fd, F_SETFD, 0);
    else
        dup2(fd, target);
}

[[noreturn]] void runChild(pid_t parent, char* const argv[], const ChildDescriptors& fds) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The launcher may have died between fork and prctl.
    if (getppid() != parent)
        _exit(127);
    placeDescriptor(fds.out, STDOUT_FILENO);
    placeDescriptor(fds.err, STDERR_FILENO);
    placeDescriptor(fds.third, 3);
    // A descriptor some library opened without close-on-exec stays behind.
    syscall(SYS_close_range, fds.third >= 0 ? 4u : 3u, ~0u, 0u);
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
    pid_t parent = getpid();
    // A stop sent to the child before it has its default dispositions would
    // run the launcher's handler in it and be lost: signals wait until then.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pid_t pid = fork();
    if (pid == 0)
        runChild(parent, pointers.data(), fds);  // unblocks once its dispositions are reset
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);  // leaves errno as fork set it
    return pid;
}

bool makeMediaPipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    fcntl(fds[1], F_SETPIPE_SZ, kMediaPipeBytes);
    return true;
}
