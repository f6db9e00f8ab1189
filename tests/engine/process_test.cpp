// Engine integration: real children started from fake transcoder scripts.
#include <sched.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>

#include "engine/engine_fixture.h"
#include "engine/orva_engine.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kProgress =
    "printf 'frame=  25 fps=25 q=28.0 size=  100kB time=01:02:03.04 bitrate=1234.5kbits/s speed=1x    \\r'";

bool isRunning(int slot) { return orvaGetState(slot) == ORVA_STATE_RUNNING; }
bool isIdle(int slot) { return orvaGetState(slot) == ORVA_STATE_IDLE; }

// Both texts are in the log, the first before the second.
void expectInOrder(const std::string& log, const std::string& first, const std::string& second) {
    size_t at = log.find(first);
    ASSERT_NE(std::string::npos, at) << first;
    EXPECT_LT(at, log.find(second)) << second;
}

}  // namespace

TEST_F(EngineTest, ChildReadsExactlyOneLineThatStartsWithTheToken) {
    ASSERT_EQ(0, initEngine("timeout 1 cat > \"$here/rest.txt\"; exit 0"));
    ASSERT_EQ(0, startSlot(0));
    ASSERT_TRUE(pollUntil([] { return isIdle(0); }, 5s));
    EXPECT_EQ("qzWek_3184 -v 32 -re -i \"input.ts\" -an -vn -y \"output.ts\" \n", readFile(dir / "line.txt"));
    EXPECT_EQ("", readFile(dir / "rest.txt"));  // nothing follows the line, and the pipe stays open
}

TEST_F(EngineTest, WithoutLoggingTheLineHasNoVerbosityAndNoLogIsWritten) {
    ASSERT_EQ(0, initEngine("exit 0", 0));
    ASSERT_EQ(0, startSlot(0));
    ASSERT_TRUE(pollUntil([] { return isIdle(0); }, 5s));
    EXPECT_EQ("qzWek_3184 -re -i \"input.ts\" -an -vn -y \"output.ts\" \n", readFile(dir / "line.txt"));
    EXPECT_FALSE(fileExists(dir / "log/orva_001.log"));
}

TEST_F(EngineTest, ProgressIsTakenFromTheChildsOutputAndLogged) {
    ASSERT_EQ(0, initEngine(std::string(kProgress) + "; exec sleep 30"));
    ASSERT_EQ(0, startSlot(2));
    EXPECT_EQ(-1, orvaGetStreamTime(2));
    EXPECT_EQ(-1, orvaGetStreamBitrate(2));
    ASSERT_TRUE(pollUntil([] { return orvaGetStreamTime(2) >= 0; }, 5s));
    EXPECT_EQ(3723, orvaGetStreamTime(2));
    EXPECT_EQ(1234, orvaGetStreamBitrate(2));
    std::string log = logOf(2);
    EXPECT_NE(std::string::npos, log.find("start transcoding (" + dir.path() + "/orval.so v401)\n"));
    EXPECT_NE(std::string::npos, log.find("] -v 32 -re -i \"input.ts\" -an -vn -y \"output.ts\" \n"));
    EXPECT_NE(std::string::npos, log.find("bitrate=1234.5kbits/s speed=1x    \r"));
}

TEST_F(EngineTest, ChildThatEndsIsReapedAfterItsLastWordsWithItsRawStatusLogged) {
    ASSERT_EQ(0, initEngine("echo last words; exit 3"));
    ASSERT_EQ(0, startSlot(5));
    ASSERT_TRUE(pollUntil([] { return isIdle(5); }, 5s));
    EXPECT_TRUE(WIFEXITED(orvaGetExitCode(5)));
    EXPECT_EQ(3, WEXITSTATUS(orvaGetExitCode(5)));
    expectInOrder(logOf(5), "last words\n", "transcoding stopped (0x00000300)\n");
}

TEST_F(EngineTest, SleepEndsEarlyWhenATranscoderEnds) {
    ASSERT_EQ(0, initEngine("exec sleep 0.2"));
    ASSERT_EQ(0, startSlot(9));
    auto begin = std::chrono::steady_clock::now();
    orvaSleep(20000);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    orvaPoll();
    EXPECT_TRUE(isIdle(9));  // the very next poll reaps it
}

TEST_F(EngineTest, SilentChildIsKilledAfterTheHangTimeButOneThatNeverPrintedIsNot) {
    orvaSetHangTimeout(1);
    ASSERT_EQ(0, initEngine("if [ -e \"$here/quiet\" ]; then exec sleep 30; fi; echo hello; exec sleep 30"));
    ASSERT_EQ(0, startSlot(0));
    ASSERT_TRUE(pollUntil([] { return orvaGetStreamTime(0) == -1 && g_procChannels[0].tmLastOutput > 0; }, 5s));
    writeFile(dir / "quiet", "");
    ASSERT_EQ(0, startSlot(1));
    ASSERT_TRUE(pollUntil([] { return isIdle(0); }, 6s));
    EXPECT_TRUE(WIFSIGNALED(orvaGetExitCode(0)));
    EXPECT_EQ(SIGKILL, WTERMSIG(orvaGetExitCode(0)));
    std::string log = logOf(0);
    EXPECT_NE(std::string::npos, log.find("channel seems to be hanging for over 30 secs, killing...\n"));
    EXPECT_NE(std::string::npos, log.find("stop transcoding forcedly\n"));
    EXPECT_TRUE(isRunning(1));  // it never printed anything
}

TEST_F(EngineTest, StopMessageFromTheTranscoderStopsTheSlotInOrder) {
    ASSERT_EQ(0, initEngine("echo '[aac @ 0x1] Queue input is backward in time'; exec sleep 30"));
    ASSERT_EQ(0, startSlot(7));
    ASSERT_TRUE(pollUntil([] { return isIdle(7); }, 5s));
    EXPECT_TRUE(WIFSIGNALED(orvaGetExitCode(7)));
    EXPECT_EQ(SIGINT, WTERMSIG(orvaGetExitCode(7)));
    expectInOrder(logOf(7), "stop transcoding\n", "transcoding stopped (0x00000002)");
}

TEST_F(EngineTest, StartIsRefusedWhileTheSlotIsRunningOrStopping) {
    ASSERT_EQ(0, initEngine("trap '' INT; exec sleep 30"));
    ASSERT_EQ(0, startSlot(3));
    pid_t first = g_procChannels[3].pid;
    EXPECT_EQ(ORVA_ERR_SLOT_BUSY, startSlot(3));
    orvaStop(3, ORVA_STOP_ORDERLY);  // ignored by the child: the slot stays stopping
    EXPECT_EQ(ORVA_STATE_STOPPING, orvaGetState(3));
    EXPECT_EQ(ORVA_ERR_SLOT_BUSY, startSlot(3));
    EXPECT_EQ(first, g_procChannels[3].pid);
    std::string log = logOf(3);
    size_t starts = 0;
    for (size_t at = log.find("start transcoding ("); at != std::string::npos;
         at = log.find("start transcoding (", at + 1))
        starts++;
    EXPECT_EQ(3u, starts);
    EXPECT_NE(std::string::npos, log.find("start transcoding error (-3: the slot is running or stopping)\n"));
    orvaStop(3, 2);  // not a stop mode: nothing happens
    EXPECT_EQ(0, kill(first, 0));
}

TEST_F(EngineTest, StartsAreRefusedBeforeInitialisationAndOutsideTheTable) {
    EXPECT_EQ(ORVA_ERR_NOT_INITIALISED, startSlot(0));
    ASSERT_EQ(0, initEngine("exit 0"));
    EXPECT_EQ(ORVA_ERR_SLOT_RANGE, startSlot(-1));
    EXPECT_EQ(ORVA_ERR_SLOT_RANGE, startSlot(128));
    EXPECT_EQ(0, orvaGetState(128));
    EXPECT_EQ(-1, orvaGetStreamTime(-1));
    EXPECT_EQ(-1, orvaGetStreamBitrate(128));
}

TEST_F(EngineTest, InitialisationNeedsAnExecutableTranscoder) {
    ORVA_INIT_TAG init{};
    init.pszEngineDir = dir.path().c_str();
    init.pszWorkDir = dir.path().c_str();
    EXPECT_EQ(-3, orvaInitA(&init));  // missing
    writeFile(dir / "orval.so", "#!/bin/sh\n");
    EXPECT_EQ(-3, orvaInitA(&init));  // not executable
    EXPECT_EQ(ORVA_ERR_NOT_INITIALISED, startSlot(0));
    chmod((dir / "orval.so").c_str(), 0755);
    std::string longWork(300, 'w');
    init.pszWorkDir = longWork.c_str();
    EXPECT_EQ(-3, orvaInitA(&init));  // a work folder that would be cut
    std::wstring wideDir(dir.path().begin(), dir.path().end());
    writeExecutable(dir / "orval.so", "#!/bin/sh\n");
    init.pszWorkDir = nullptr;
    std::wstring engineDir = wideDir + L"/";
    init.pszEngineDir = engineDir.c_str();
    EXPECT_EQ(0, orvaInitW(&init));
    EXPECT_EQ(dir.path() + "/orval.so", g_cfg.szEngineFile);
    EXPECT_STREQ(orvaGetProgDir(), g_cfg.szWorkDir);  // no work folder: the program's own
}

TEST_F(EngineTest, FreeKillsChildrenThatIgnoreInterruptAfterAboutThreeSeconds) {
    ASSERT_EQ(0, initEngine("trap '' INT; echo ready; exec sleep 30"));
    pid_t pids[3];
    for (int slot = 0; slot < 3; slot++) {
        ASSERT_EQ(0, startSlot(slot * 10));
        pids[slot] = g_procChannels[slot * 10].pid;
    }
    ASSERT_TRUE(pollUntil([] {  // every child ignores the interrupt by now
        return g_procChannels[0].tmLastOutput && g_procChannels[10].tmLastOutput &&
               g_procChannels[20].tmLastOutput;
    }, 5s));
    auto begin = std::chrono::steady_clock::now();
    orvaFree();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_GT(seconds, 2.5);
    EXPECT_LT(seconds, 5.0);
    for (pid_t pid : pids)
        EXPECT_EQ(-1, kill(pid, 0)) << "pid " << pid << " is still there";
    EXPECT_EQ(nullptr, g_procChannels);
}

TEST_F(EngineTest, FreeEndsOrderlyChildrenWithoutWaitingLong) {
    ASSERT_EQ(0, initEngine("exec sleep 30"));
    ASSERT_EQ(0, startSlot(0));
    auto begin = std::chrono::steady_clock::now();
    orvaFree();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    EXPECT_EQ(ORVA_ERR_NOT_INITIALISED, startSlot(0));
}

TEST_F(EngineTest, ANewChildNeverReadsTheLineOfOneThatDiedBeforeReading) {
    ASSERT_EQ(0, initEngine("exit 0"));
    writeExecutable(dir / "orval.so", "#!/bin/sh\nexit 0\n");  // ends without reading its line
    ASSERT_EQ(0, startSlot(4));
    ASSERT_TRUE(pollUntil([] { return isIdle(4); }, 5s));
    writeExecutable(dir / "orval.so", fakeTranscoder("exit 0"));
    orvaSetLog(16);
    ASSERT_EQ(0, startSlot(4));
    ASSERT_TRUE(pollUntil([] { return isIdle(4); }, 5s));
    EXPECT_EQ("qzWek_3184 -v 16 -re -i \"input.ts\" -an -vn -y \"output.ts\" \n", readFile(dir / "line.txt"));
}

TEST_F(EngineTest, ChildInheritsNoDescriptorButItsOwnPipes) {
    ASSERT_EQ(0, initEngine("exec sleep 30"));
    ASSERT_EQ(0, startSlot(0));  // a second slot's pipes exist while the first child starts
    ASSERT_EQ(0, startSlot(1));
    std::string proc = "/proc/" + std::to_string(g_procChannels[1].pid);
    ASSERT_TRUE(waitUntil([&] {
        std::error_code ec;
        return std::filesystem::read_symlink(proc + "/exe", ec).filename() == "sleep";
    }, 5s));
    // The program's loader opens and closes files of its own right after exec:
    // an inherited descriptor is one that stays.
    std::vector<std::string> fds;
    waitUntil([&] {
        fds.clear();
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", ec))
            fds.push_back(entry.path().filename().string() + " " +
                          std::filesystem::read_symlink(entry.path(), ec).string());
        return fds.size() == 3;
    }, 2s);
    std::sort(fds.begin(), fds.end());
    ASSERT_EQ(3u, fds.size()) << testing::PrintToString(fds);
    EXPECT_EQ(fds[1].substr(2), fds[2].substr(2));  // output and errors share one pipe
    EXPECT_EQ(0u, fds[0].find("0 pipe:["));
    EXPECT_EQ(0u, fds[1].find("1 pipe:["));
    EXPECT_NE(fds[0].substr(2), fds[1].substr(2));
}

TEST_F(EngineTest, ChildLearnsItsChannelsThumbnailFileAndKeepsTheRestOfTheEnvironment) {
    // The service's own environment may name a file already: the child gets one name, its channel's.
    setenv("ORVAL_THUMB", "/elsewhere/orva_999.jpg", 1);
    setenv("ORVAL_TEST_KEPT", "kept", 1);
    ASSERT_EQ(0, initEngine("env | grep -E '^ORVAL_(THUMB|TEST_KEPT)=' | sort > \"$here/env.txt\""));
    for (int slot : {2, 2 + ORVA_CHANNEL_COUNT}) {
        SCOPED_TRACE(slot);
        ASSERT_EQ(0, startSlot(slot));
        ASSERT_TRUE(pollUntil([slot] { return isIdle(slot); }, 5s));
        // A time-shift recorder's slot shows its channel's input: same file.
        EXPECT_EQ("ORVAL_TEST_KEPT=kept\nORVAL_THUMB=" + dir.path() + "/thumb/orva_003.jpg\n",
                  readFile(dir / "env.txt"));
    }
    unsetenv("ORVAL_THUMB");
    unsetenv("ORVAL_TEST_KEPT");
}

TEST(CpuAffinity, ProcessorSetFollowsTheSlotNumber) {
    struct Case { int slot, perChannel, cpuCount; std::vector<int> cpus; };
    const Case cases[] = {
        {5, 2, 8, {2, 3}}, {69, 2, 8, {2, 3}}, {0, 2, 8, {0, 1}},
        {3, 3, 8, {1, 2, 3}}, {2, 3, 8, {6, 7, 8}},  // not wrapped beyond the last processor
        {7, 0, 8, {}}, {7, -1, 8, {}}, {1, 2, 2, {0, 1}}, {511, 2, 1024, {1022, 1023}},
        {1023, 4, 2048, {}},  // 4092.. are beyond the set's 1024 processors
        // Never more processors than exist: a channel asking for more gets them all.
        {1, 5, 4, {0, 1, 2, 3}}, {3, 2147483647, 8, {0, 1, 2, 3, 4, 5, 6, 7}},
        {127, 2147483647, 2, {0, 1}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "slot " << c.slot << " per channel " << c.perChannel);
        cpu_set_t set;
        orvaComputeCpuSet(c.slot, c.perChannel, c.cpuCount, &set);
        std::vector<int> cpus;
        for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
            if (CPU_ISSET(cpu, &set))
                cpus.push_back(cpu);
        }
        EXPECT_EQ(c.cpus, cpus);
    }
}

TEST_F(EngineTest, ChildRunsOnTheProcessorsOfItsSlot) {
    ASSERT_EQ(0, initEngine("exec sleep 30", 32, 1));
    int cpus = g_cfg.cpuCount;
    ASSERT_GE(cpus, 1);
    int slot = cpus > 1 ? 1 : 0;
    ASSERT_EQ(0, startSlot(slot));
    cpu_set_t set;
    ASSERT_EQ(0, sched_getaffinity(g_procChannels[slot].pid, sizeof set, &set));
    EXPECT_EQ(1, CPU_COUNT(&set));
    EXPECT_TRUE(CPU_ISSET(slot % cpus, &set));
}
