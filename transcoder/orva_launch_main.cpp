// orva_launch_main.cpp: the orval.so program: takes the service's command
// line from standard input and becomes ffmpeg, or runs a watched line
// through the continuity stage.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "orva_fanout.h"
#include "orva_launch.h"
#include "orva_rewrite.h"
#include "orva_spawn.h"
#include "orva_stage.h"
#include "orva_thumb.h"

namespace {

// One write, so the service sees the reason as a single line.
int fail(const std::string& reason) {
    std::string line = "orval.so: " + reason + "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    return 1;
}

std::string withErrno(const std::string& what) { return what + " (" + std::strerror(errno) + ")"; }

// ffmpeg must never read the service's pipe: it takes keys from its input.
bool stdinFromDevNull() {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (fd == STDIN_FILENO)
        return true;
    bool moved = dup2(fd, STDIN_FILENO) == STDIN_FILENO;
    int savedErrno = errno;
    close(fd);
    errno = savedErrno;
    return moved;
}

// ffmpeg drops progress text that a non-blocking pipe does not take at once.
bool makeBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// A time-shift player starts only once its feed holds the delay.
int waitForFeed(FfPlan& plan) {
    int segments = waitForTimeShiftFeed(plan.player);
    if (segments == 0)
        return fail("the time-shift feed " + plan.player.playlist + " did not hold " +
                    std::to_string(plan.player.delay) + " s within " +
                    std::to_string(plan.player.limitSeconds) + " s");
    ffSetStartSegments(plan, segments);
    return 0;
}

// The channel's thumbnail file, "" when the service named none or its folder
// cannot be made: the channel runs all the same, only without a picture.
std::string thumbnailPath() {
    const char* path = std::getenv(kThumbVariable);
    if (path == nullptr || *path == '\0')
        return "";
    if (!ffMakeThumbFolder(path)) {
        fail(withErrno(std::string("cannot create the folder of ") + path + ", no thumbnail"));
        return "";
    }
    return path;
}

// Reads, checks, splits and rewrites the service's line into ffmpeg's argv;
// a watched line also keeps its plan for the continuity stage.
int takeCommand(std::vector<std::string>& argv, FfPlan& watched) {
    std::string line;
    int status = readCommandLine(STDIN_FILENO, line);
    if (status == kLaunchReadFailed)
        return fail(withErrno(launchErrorText(status)));
    std::string_view args;
    if (status == kLaunchOk)
        status = stripToken(line, args);
    if (status != kLaunchOk)
        return fail(launchErrorText(status));
    FfMachine machine = ffThisMachine();
    machine.isMuxerOption = ffLibavMuxerOption;
    machine.inputIsYuv420p = ffLibavInputIsYuv420p;
    FfPlan plan = ffPlan(splitCommandLine(args), machine, thumbnailPath());
    if (!plan.refusal.empty())
        return fail(plan.refusal);
    if (plan.waits && waitForFeed(plan) != 0)
        return 1;
    argv = buildFfmpegArgv(plan.args, std::getenv("ORVAL_FFMPEG"));
    if (plan.watched || plan.share.active())
        watched = std::move(plan);
    return 0;
}

int prepareDescriptors() {
    if (!stdinFromDevNull())
        return fail(withErrno("cannot reopen standard input from /dev/null"));
    if (!makeBlocking(STDOUT_FILENO) || !makeBlocking(STDERR_FILENO))
        return fail(withErrno("cannot make standard output blocking"));
    return 0;
}

// Replaces this process, so the service's signals reach ffmpeg and its exit
// status is ffmpeg's; returns only on failure.
int runFfmpeg(std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (std::string& arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    execvp(pointers[0], pointers.data());
    return fail(withErrno("cannot run " + argv[0]));
}

const char* environment(const char* name) { return std::getenv(name); }

// Runs the line as a pipeline (the continuity stage of a watched line, or
// shared encoders) and ends the way its encoder ended.
int runPipeline(const FfPlan& plan, const std::string& ffmpeg) {
    std::string program = findProgram(ffmpeg);
    if (program.empty()) {
        errno = ENOENT;
        return fail(withErrno("cannot run " + ffmpeg));
    }
    int status = plan.watched ? runStage(plan, program, ffStageSettings(environment)) : runShared(plan, program);
    if (status < 0)
        return 1;
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main() {
    try {
        std::vector<std::string> argv;
        FfPlan watched;
        if (takeCommand(argv, watched) != 0 || prepareDescriptors() != 0)
            return 1;
        if (watched.watched || watched.share.active())
            return runPipeline(watched, argv[0]);
        return runFfmpeg(argv);
    } catch (...) {
        // Only allocation can throw here; the reason needs no allocation.
        static const char kReason[] = "orval.so: out of memory\n";
        ssize_t ignored = write(STDERR_FILENO, kReason, sizeof kReason - 1);
        (void)ignored;
        return 1;
    }
}
