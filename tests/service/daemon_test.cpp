// The real orval program, run as a daemon under ORVAL_ROOT in a test folder.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "service/daemon_fixture.h"

using namespace std::chrono_literals;

namespace {

std::string banner(int port) {
    return "\n\n"
           "****************************************\n"
           "*      Kestova Live!      *\n"
           "*           Version 5.13.4.1           *\n"
           "****************************************\n"
           "\n"
           "ORVAL started successfully!\n"
           "Web management now accessible at http://127.0.0.1:" + std::to_string(port) + "...\n";
}

}  // namespace

TEST_F(DaemonTest, StartsOnceRecordsItsPidAndEndsCleanlyOnTerm) {
    ASSERT_EQ(0, run("out.txt"));
    ASSERT_TRUE(outputHolds("out.txt", "ORVAL started successfully!"));
    const std::string expected = banner(httpPort);
    ASSERT_TRUE(waitUntil([&] { return readFile(dir / "out.txt").size() >= expected.size(); }, 5s));
    EXPECT_EQ(expected, readFile(dir / "out.txt"));

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
    // The starter waits for the daemon's word and ends with its status.
    ASSERT_EQ(255, run("out.txt"));
    ASSERT_TRUE(outputHolds("out.txt", "Oops, ORVAL init failed (-3)\n"));
    // The failed start took its pid file with it; the service log names the daemon.
    EXPECT_FALSE(std::filesystem::exists(root + "/var/run/orval.pid"));
    std::smatch m;
    std::string log = readFile(root + "/var/orval/log/orval.log");
    ASSERT_TRUE(std::regex_search(log, m, std::regex(R"(starting, pid (\d+)\n)"))) << log;
    pid_t pid = std::stoi(m[1]);
    EXPECT_EQ(255, waitForEnd(pid, 5s));
    EXPECT_EQ("\n\nOops, ORVAL init failed (-3)\n", readFile(dir / "out.txt"));
}

// ORVAL_FOREGROUND=1: the started process is the service itself, as a
// container or a supervisor keeping its child wants it.
TEST_F(DaemonTest, InTheForegroundTheStartedProcessServesEndsInOrderAndTellsWhyAStartFailed) {
    const std::vector<std::string> foreground = {"ORVAL_FOREGROUND=1"};
    const std::string serving = "ORVAL serving on port " + std::to_string(httpPort) + "\n";
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        // The files of the round before must not pass for this one's.
        std::filesystem::remove(dir / "out.txt");
        std::filesystem::remove(dir / "err.txt");
        pid_t pid = spawn("out.txt", root, foreground, "err.txt");
        ASSERT_TRUE(outputHolds("out.txt", "ORVAL started successfully!"));
        EXPECT_EQ(banner(httpPort), readFile(dir / "out.txt"));
        // Never detached: still this test's own child, in its session, and
        // the pid file names it.
        EXPECT_EQ(0, waitpid(pid, nullptr, WNOHANG));
        EXPECT_EQ(getsid(0), getsid(pid));
        EXPECT_EQ(pid, daemonPid());
        // The service log's lines on standard error as well.
        ASSERT_TRUE(outputHolds("err.txt", serving)) << readFile(dir / "err.txt");
        EXPECT_NE(std::string::npos, readFile(dir / "err.txt").find("ORVAL 5.13.4.1 starting, pid " +
                                                                   std::to_string(pid) + "\n"));
        EXPECT_NE(std::string::npos, readFile(root + "/var/orval/log/orval.log").find(serving));
        EXPECT_EQ(255, run("second.txt"));  // the lock holds as for a daemon
        EXPECT_EQ("ORVAL running already, exiting...\n", readFile(dir / "second.txt"));

        std::this_thread::sleep_for(600ms);  // signal handlers are installed after the start-up pass
        ASSERT_EQ(0, kill(pid, sig));
        EXPECT_EQ(0, waitForEnd(pid, 10s));
        EXPECT_TRUE(readFile(dir / "err.txt").ends_with("ORVAL shutting down\nORVAL stopped\n"))
            << readFile(dir / "err.txt");
    }

    std::filesystem::remove(dir / "bin/orval.so");
    pid_t pid = spawn("out.txt", root, foreground, "err.txt");
    EXPECT_EQ(255, waitForEnd(pid, 10s));
    EXPECT_FALSE(std::filesystem::exists(root + "/var/run/orval.pid"));  // a failed start leaves none
    EXPECT_EQ("\n\nOops, ORVAL init failed (-3)\n", readFile(dir / "out.txt"));
    EXPECT_NE(std::string::npos, readFile(dir / "err.txt").find(
        "engine init failed (-3: the transcoder is missing or not executable)\nORVAL start failed\n"))
        << readFile(dir / "err.txt");
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

// The DeckLink factories are exported under the driver SDK's plain names,
// although the program itself calls only the iterator's.
TEST_F(DaemonTest, ProgramExportsTheDeckLinkFactories) {
    std::string listing = dir / "symbols.txt";
    std::string command = "nm -D --defined-only '" + program + "' > '" + listing + "'";
    ASSERT_EQ(0, system(command.c_str()));
    std::string symbols = readFile(listing);
    for (const char* name : {"CreateDeckLinkIteratorInstance", "CreateDeckLinkAPIInformationInstance",
                             "CreateVideoConversionInstance", "CreateDeckLinkDiscoveryInstance",
                             "CreateOpenGLScreenPreviewHelper", "IsDeckLinkAPIPresent"}) {
        EXPECT_NE(std::string::npos, symbols.find(std::string(" T ") + name + "\n")) << name;
    }
}
