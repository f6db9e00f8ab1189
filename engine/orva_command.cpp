// orva_command.cpp: runs a short helper program and reads its first output
// line, killing it when it outlasts its time.
//
// posix_spawn rather than fork: the caller is a web connection's thread, and
// the spawned child must neither inherit the service's signal dispositions
// (SIGPIPE is ignored here) nor any descriptor besides its three standard
// ones. The child is reaped by its own pid, never by waitpid(-1), so the
// transcoders' slots are left alone.
#include "orva_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "orva_service_log.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The child's descriptors and signals: output into the pipe, input and
// errors to /dev/null, default dispositions and an empty mask.
bool prepareSpawn(posix_spawn_file_actions_t& actions, posix_spawnattr_t& attributes, int outFd) {
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGABRT, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, sig);
    sigset_t none;
    sigemptyset(&none);
    return posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO) == 0 &&
           posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
           posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
           posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
           posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
           posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
           posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
}

pid_t spawn(const char* const argv[], int outFd) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    pid_t pid = -1;
    int rc = prepareSpawn(actions, attributes, outFd)
                 ? posix_spawn(&pid, argv[0], &actions, &attributes, const_cast<char* const*>(argv), environ)
                 : EINVAL;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        orvaServiceLog("posix_spawn() failed (running %s): %s", argv[0], strerror(rc));
        return -1;
    }
    return pid;
}

// Reads until the end of the output or the deadline; keeps the first line.
void readFirstLine(int fd, Clock::time_point deadline, std::string& firstLine) {
    std::string text;
    char chunk[512];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        int n = poll(&ready, 1, millisecondsLeft(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (text.size() < 4096)  // the first line is all that is wanted
            text.append(chunk, static_cast<size_t>(got));
    }
    firstLine = text.substr(0, text.find('\n'));
}

// The child's status once it ends, killing it at the deadline.
int reap(pid_t pid, const char* program, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            return -1;
        if (millisecondsLeft(deadline) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            orvaServiceLog("%s did not end in time and was killed", program);
            return -1;
        }
        usleep(10 * 1000);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    orvaServiceLog("%s ended by signal %d", program, WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return -1;
}

}  // namespace

int orvaRunCommand(const char* const argv[], std::chrono::milliseconds limit, std::string& firstLine) {
    firstLine.clear();
    Clock::time_point deadline = Clock::now() + limit;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        orvaLogFailedCall("pipe2", "reading a helper program's output");
        return -1;
    }
    pid_t pid = spawn(argv, fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    readFirstLine(fds[0], deadline, firstLine);
    close(fds[0]);
    return reap(pid, argv[0], deadline);
}
