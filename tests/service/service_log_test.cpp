// The service log: start-up, shutdown and channel events of the real daemon,
// failed starts reported to the starter, and the log's own rotation.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/orva_service_log.h"
#include "service/daemon_fixture.h"

using namespace std::chrono_literals;

namespace {

class ServiceLogDaemonTest : public DaemonTest {
protected:
    std::string serviceLog() const { return readFile(root + "/var/orval/log/orval.log"); }
    bool logHolds(const std::string& text) const {
        return waitUntil([&] { return serviceLog().find(text) != std::string::npos; }, 10s);
    }
};

// A listener on the test's port, as another program would hold it.
int occupyPort(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 1) != 0)
        return -1;
    return fd;
}

}  // namespace

TEST_F(ServiceLogDaemonTest, APortInUseFailsTheStartWithTheSystemsReasonAndLeavesNoPidFile) {
    int holder = occupyPort(httpPort);
    ASSERT_GE(holder, 0);
    EXPECT_EQ(255, run("out.txt"));
    // The daemon held the lock and wrote its pid; the file went with the start.
    EXPECT_FALSE(std::filesystem::exists(root + "/var/run/orval.pid"));
    EXPECT_TRUE(logHolds("] ORVAL 5.13.4.1 starting, pid "));
    // The starter returns only once the daemon has said why.
    std::string expected = "ORVAL cannot listen on port " + std::to_string(httpPort) +
                           ": Address already in use\n";
    EXPECT_EQ("\n\n" + expected, readFile(dir / "out.txt"));
    EXPECT_TRUE(logHolds("] cannot listen on port " + std::to_string(httpPort) +
                         ": Address already in use\n"));
    EXPECT_TRUE(logHolds("] ORVAL start failed\n"));
    close(holder);
}

TEST_F(ServiceLogDaemonTest, StartUpChannelStartsAndShutdownAreLogged) {
    writeFile(dir / "in.ts", "x");
    auto channel = [&](int n, const std::string& source) {
        std::string id = std::to_string(n);
        return "<Channel" + id + ">\nEnable 1\n<Input>\nNumInputs 1\n<Input" + "1>\nFormat file\nFile \"" +
               source + "\"\n</Input1>\n</Input>\n<Output>\nNumOutputs 1\n<Output1>\nFormat udpts\n"
               "VideoEnable 1\nVideoCodec H264\nFile \"udp://127.0.0.1:5000\"\n</Output1>\n</Output>\n"
               "</Channel" + id + ">\n";
    };
    writeFile(root + "/etc/orval/orval.conf",
              portLine() + "AutoStart 1\n" + channel(1, dir / "in.ts") + channel(2, ""));
    // Returning 0 means the port was already open.
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(logHolds("] ORVAL 5.13.4.1 starting, pid " + std::to_string(pid) + "\n"));
    EXPECT_TRUE(logHolds("] ORVAL serving on port " + std::to_string(httpPort) + "\n"));
    EXPECT_TRUE(logHolds("] channel 1 started\n"));
    EXPECT_TRUE(logHolds("] channel 2 start refused (-7: the input address is invalid)\n")) << serviceLog();
    EXPECT_EQ(0, stopDaemon());
    std::string log = serviceLog();
    size_t down = log.find("] ORVAL shutting down\n");
    EXPECT_NE(std::string::npos, down);
    EXPECT_NE(std::string::npos, log.find("] channel 1 stopping (orderly)\n", down));
    EXPECT_NE(std::string::npos, log.find("] ORVAL stopped\n", down));
}

TEST_F(ServiceLogDaemonTest, AStopRightAfterTheStarterReturnsEndsTheServiceInOrder) {
    writeFile(root + "/etc/orval/orval.conf", portLine());
    ASSERT_EQ(0, run("out.txt"));
    pid_t pid = daemonPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(0, kill(pid, SIGTERM));
    EXPECT_EQ(0, waitForEnd(pid, 10s));
    EXPECT_TRUE(logHolds("] ORVAL stopped\n")) << serviceLog();
}

TEST_F(ServiceLogDaemonTest, AnEngineThatCannotStartIsLoggedWithItsMeaning) {
    std::filesystem::remove(dir / "bin/orval.so");
    EXPECT_EQ(255, run("out.txt"));
    EXPECT_EQ("\n\nOops, ORVAL init failed (-3)\n", readFile(dir / "out.txt"));
    EXPECT_TRUE(logHolds("] engine init failed (-3: the transcoder is missing or not executable)\n"));
}

TEST(ServiceLog, FailedCallsNameTheCallThePurposeAndTheErrorAndKeepErrno) {
    TempDir dir;
    orvaServiceLogOpen(dir.path().c_str());
    errno = ENOSPC;
    orvaLogFailedCall("fsync", "saving the test file");
    EXPECT_EQ(ENOSPC, errno);
    orvaServiceLog("value %d", 7);
    std::string log = readFile(dir / "orval.log");
    EXPECT_NE(std::string::npos, log.find("] fsync() failed (saving the test file): No space left on device\n"));
    EXPECT_NE(std::string::npos, log.find("] value 7\n"));
    orvaServiceLogOpen(nullptr);
    orvaServiceLog("not written");
    EXPECT_EQ(std::string::npos, readFile(dir / "orval.log").find("not written"));
}

TEST(ServiceLog, RotatesLikeTheSlotLogsAboveFiveMillionBytes) {
    TempDir dir;
    orvaServiceLogOpen(dir.path().c_str());
    writeFile(dir / "orval.log", std::string(5000000, 'a'));
    orvaServiceLog("still small enough");
    EXPECT_FALSE(std::filesystem::exists(dir / "orval-1.log"));
    orvaServiceLog("after the rotation");
    std::string rotated = readFile(dir / "orval-1.log");
    EXPECT_GT(rotated.size(), 5000000u);
    EXPECT_NE(std::string::npos, rotated.find("] still small enough\n"));
    std::string current = readFile(dir / "orval.log");
    EXPECT_NE(std::string::npos, current.find("] after the rotation\n"));
    EXPECT_EQ(std::string::npos, current.find("aaaa"));
    orvaServiceLogOpen(nullptr);
}
