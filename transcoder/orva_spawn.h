// orva_spawn.h: starting the pipeline's processes so that none outlives
// the launcher.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Descriptors a child gets as its 1, 2 and 3, and `more` as its 4, 5, ...;
// -1 keeps the launcher's own (1 and 2) or gives none (3). Its standard
// input is `in`, or the launcher's, which reads /dev/null by then.
struct ChildDescriptors {
    int out = -1;
    int err = -1;
    int third = -1;
    std::vector<int> more = {};
    int in = -1;
};

// The program's path: `name` itself when it holds a '/', else the first
// executable of that name on PATH; "" when there is none.
std::string findProgram(const std::string& name);
// Forks and executes `argv` (argv[0] a path). The child dies with the
// thread that started it (PR_SET_PDEATHSIG), so call this from the main
// thread only. Returns the pid, or -1 with errno set.
pid_t spawnChild(const std::vector<std::string>& argv, const ChildDescriptors& fds);
// Makes a pipe (both ends close-on-exec) and sets its size to 1 MiB where
// the system allows, so raw pictures pass in few writes.
bool makeMediaPipe(int fds[2]);
// Sends SIGINT and SIGTERM to `handler`, without SA_RESTART so that a write
// to a stuck child returns on a stop, and ignores SIGPIPE: a child that went
// away is seen in the write's error.
void catchStopSignals(void (*handler)(int));
