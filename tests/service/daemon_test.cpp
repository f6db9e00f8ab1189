// The real orval program, run as a daemon under ORVAL_ROOT in a test folder.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kBanner =
    "\n\n"
    "****************************************\n"
    "*      Kestova Live!      *\n"
    "*           Version 5.13.4.1           *\n"
    "****************************************\n"
    "\n"
    "ORVAL started successfully!\n"
    "Web management now accessible at http://127.0.0.1:8888...\n";

class DaemonTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string program = dir / "bin/orval";
    std::string root = dir / "root";

    void SetUp() override {
        // The daemon leaves its starter; as subreaper this test still reaps it.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::filesystem::create_directories(dir / "bin");
        std::filesystem::copy_file(ORVAL_BINARY, program);
        writeExecutable(dir / "bin/orval.so", fakeTranscoder("exec sleep 30"));
    }

    void TearDown() override {
        pid_t pid = daemonPid();
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }

    // Runs the program with its output in `outName`; returns the starter's exit status.
    int run(const std::string& outName) {
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open((dir / outName).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            setenv("ORVAL_ROOT", root.c_str(), 1);
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t daemonPid() const {
        std::string text = readFile(root + "/var/run/orval.pid");
        return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
    }

    bool outputHolds(const std::string& outName, const std::string& text) {
        return waitUntil([&] { return readFile(dir / outName).find(text) != std::string::npos; }, 10s);
    }

    // Waits for the daemon (our orphaned grandchild) to end; returns its exit status.
    int waitForEnd(pid_t pid, std::chrono::seconds limit) {
        int status = 0;
        bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

}  // namespace

TEST_F(DaemonTest, StartsOnceRecordsItsPidAndEndsCleanlyOnTerm) {
    ASSERT_EQ(0, run("out.txt"));
    ASSERT_TRUE(outputHolds("out.txt", "ORVAL started successfully!"));
    ASSERT_TRUE(waitUntil([&] { return readFile(dir / "out.txt").size() >= strlen(kBanner); }, 5s));
    EXPECT_EQ(kBanner, readFile(dir / "out.txt"));

    pid_t pid = daemonPid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(readFile(root + "/var/run/orval.pid"), std::to_string(pid) + "\n");
    EXPECT_EQ(program, std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe").string());
    EXPECT_TRUE(std::filesystem::is_directory(root + "/etc/orval"));
    EXPECT_TRUE(std::filesystem::is_directory(root + "/var/orval/log"));

    EXPECT_EQ(255, run("second.txt"));
    EXPECT_EQ("ORVAL running already, exiting...\n", readFile(dir / "second.txt"));
    EXPECT_EQ(pid, daemonPid());  // the running instance is not disturbed

    std::this_thread::sleep_for(600ms);  // signal handlers are installed after the start-up pass
    ASSERT_EQ(0, kill(pid, SIGTERM));
    EXPECT_EQ(0, waitForEnd(pid, 5s));
}

TEST_F(DaemonTest, MissingTranscoderEndsTheDaemonWithItsCode) {
    std::filesystem::remove(dir / "bin/orval.so");
    ASSERT_EQ(0, run("out.txt"));
    ASSERT_TRUE(outputHolds("out.txt", "Oops, ORVAL init failed (-3)\n"));
    pid_t pid = daemonPid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(255, waitForEnd(pid, 5s));
    EXPECT_EQ("\n\nOops, ORVAL init failed (-3)\n", readFile(dir / "out.txt"));
}

TEST_F(DaemonTest, ProgramExportsTheEngineOperations) {
    std::string listing = dir / "symbols.txt";
    std::string command = "nm -D --defined-only '" + program + "' > '" + listing + "'";
    ASSERT_EQ(0, system(command.c_str()));
    std::string symbols = readFile(listing);
    for (const char* name : {"orvaInitA", "orvaInitW", "orvaTranscodeMA", "orvaTranscodeMW",
                             "orvaTranscodeA", "orvaTranscodeW", "orvaPoll", "orvaStop", "orvaFree",
                             "orvaGetState", "orvaGetStreamTime", "orvaLog", "cleanLogFiles",
                             "_isStreamUrl", "pipeWriteStr", "g_cfg", "getCodecName",
                             "orvaGetCodecName", "orvaExportSdp", "orvaImportSdp"}) {
        EXPECT_NE(std::string::npos, symbols.find(std::string(" ") + name + "\n")) << name;
    }
}
