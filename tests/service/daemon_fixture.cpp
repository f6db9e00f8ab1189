// daemon_fixture.cpp: runs, finds and ends the daemon of a test.
#include "service/daemon_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

using namespace std::chrono_literals;

void DaemonTest::SetUp() {
    // The daemon leaves its starter; as subreaper this test still reaps it.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::filesystem::create_directories(dir / "bin");
    std::filesystem::copy_file(ORVAL_BINARY, program);
    writeExecutable(dir / "bin/orval.so", fakeTranscoder(transcoderBody()));
    ASSERT_GT(httpPort, 0);
    std::filesystem::create_directories(root + "/etc/orval");
    writeFile(root + "/etc/orval/orval.conf", portLine());
}

void DaemonTest::TearDown() {
    pid_t pid = daemonPid();
    if (pid > 0 && kill(pid, SIGKILL) == 0)
        waitpid(pid, nullptr, 0);
}

pid_t DaemonTest::spawn(const std::string& outName, const std::string& rootDir,
                        const std::vector<std::string>& env, const std::string& errName) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open((dir / outName).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(errName.empty() ? fd : open((dir / errName).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        setenv("ORVAL_ROOT", rootDir.c_str(), 1);
        for (const std::string& variable : env)
            putenv(const_cast<char*>(variable.c_str()));
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int DaemonTest::run(const std::string& outName) {
    pid_t pid = spawn(outName, root);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t DaemonTest::daemonPid() const {
    std::string text = readFile(root + "/var/run/orval.pid");
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

bool DaemonTest::outputHolds(const std::string& outName, const std::string& text) {
    return waitUntil([&] { return readFile(dir / outName).find(text) != std::string::npos; }, 10s);
}

int DaemonTest::waitForEnd(pid_t pid, std::chrono::seconds limit) {
    int status = 0;
    bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t DaemonTest::startDaemon() {
    EXPECT_EQ(0, run("out.txt"));
    EXPECT_TRUE(outputHolds("out.txt", "ORVAL started successfully!"));
    std::this_thread::sleep_for(600ms);  // the start-up pass runs half a second after the daemon serves
    return daemonPid();
}

int DaemonTest::stopDaemon() {
    pid_t pid = daemonPid();
    if (pid <= 0 || kill(pid, SIGTERM) != 0)
        return -1;
    return waitForEnd(pid, 10s);
}
