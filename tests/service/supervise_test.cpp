// The supervision loop with real children: restart timers, the run flag and shutdown.
#include <signal.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "config/orva_channel.h"
#include "engine/engine_fixture.h"
#include "service/orva_channel_ctl.h"
#include "service/orva_channel_stats.h"
#include "service/orva_service.h"

using namespace std::chrono_literals;

namespace {

class SuperviseTest : public EngineTest {
protected:
    void SetUp() override {
        ASSERT_EQ(0, initEngine("date +%s.%N >> \"$here/starts.txt\"\n" + exitScript()));
        configureChannel(0);
        g_orvaShuttingDown = false;
    }
    virtual std::string exitScript() const { return "exit 0"; }

    static void configureChannel(int channel) {
        ORVA_CHANNEL_TAG& ch = g_orvaChannels[channel];
        memset(&ch, 0, sizeof ch);
        ch.Enable = 1;
        ch.NumInputs = 1;
        strcpy(ch.Sources[0].File, "/media/in.ts");
        ch.NumOutputs = 1;
        strcpy(ch.Targets[0].File, "/media/out.ts");
        ch.Targets[0].Video.VideoCodec = ORVA_VIDEO_H264;
    }

    std::vector<double> starts() const {
        std::istringstream in(readFile(dir / "starts.txt"));
        std::vector<double> times;
        for (double t; in >> t;)
            times.push_back(t);
        return times;
    }

    // Runs supervision passes for a while, as the service's loop does.
    void supervise(std::chrono::milliseconds duration) {
        auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            orvaSleep(20);
            orvaSupervisePass();
        }
    }

    // Passes until the pending restart of channel 0 has fired, at most `limit`;
    // a loaded machine may run the timer's thread late.
    bool superviseUntilTimerFired(std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            supervise(20ms);
            std::lock_guard<std::mutex> lock(g_serviceLock);
            if (g_timers[0] == kOrvaNoTimer)
                return true;
        }
        return false;
    }

    void startAndWaitForEnd() {
        {
            std::lock_guard<std::mutex> lock(g_serviceLock);
            ASSERT_EQ(0, orvaStartChannel(0));
        }
        ASSERT_TRUE(waitUntil([&] { return starts().size() == 1; }, 5s));
    }
};

}  // namespace

TEST_F(SuperviseTest, WithoutAutoRestartAnEndedChannelStaysStoppedButEnabled) {
    g_globalSettings.AutoRestart = 0;
    uint64_t restarts = orvaRestartCount(0);
    startAndWaitForEnd();
    supervise(1500ms);
    EXPECT_EQ(1u, starts().size());
    EXPECT_EQ(ORVA_STATE_IDLE, orvaGetChannelState(0));
    EXPECT_EQ(1, g_orvaChannels[0].Enable);
    EXPECT_EQ(kOrvaNoTimer, g_timers[0]);
    EXPECT_EQ(restarts, orvaRestartCount(0));
}

TEST_F(SuperviseTest, WithAutoRestartAnEndedChannelStartsAgainAfterThatManySeconds) {
    g_globalSettings.AutoRestart = 1;
    uint64_t restarts = orvaRestartCount(0);
    startAndWaitForEnd();
    supervise(2600ms);
    std::vector<double> times = starts();
    ASSERT_GE(times.size(), 2u);
    EXPECT_GE(orvaRestartCount(0) - restarts, 1u);  // the operator's own start is not one
    EXPECT_GT(times[1] - times[0], 0.9);
    EXPECT_LT(times[1] - times[0], 1.6);
}

TEST_F(SuperviseTest, PendingRestartDoesNotStartAChannelTheOperatorStopped) {
    g_globalSettings.AutoRestart = 1;
    uint64_t restarts = orvaRestartCount(0);
    startAndWaitForEnd();
    supervise(200ms);
    ASSERT_NE(kOrvaNoTimer, g_timers[0]);  // the restart is pending
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        g_orvaChannels[0].Enable = 0;
    }
    EXPECT_TRUE(superviseUntilTimerFired(10s));  // fired and cleared
    supervise(200ms);
    EXPECT_EQ(1u, starts().size());
    EXPECT_EQ(restarts, orvaRestartCount(0));
}

TEST_F(SuperviseTest, TimerThatFiresAfterShutdownBeganStartsNothing) {
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        ASSERT_EQ(0, createTimer(0, 100, channelTimeout));
        EXPECT_EQ(0, createTimer(0, 100, channelTimeout));  // one pending timer per channel
        g_orvaShuttingDown = true;
    }
    ASSERT_TRUE(waitUntil([] {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        return g_timers[0] == kOrvaNoTimer;
    }, 3s));
    EXPECT_FALSE(fileExists(dir / "starts.txt"));
}

TEST_F(SuperviseTest, StartUpPassStartsOnlyEnabledChannels) {
    configureChannel(3);
    g_orvaChannels[3].Enable = 0;
    configureChannel(5);
    for (int channel : {0, 5})
        g_orvaChannels[channel].Sources[0].pszAddress = g_orvaChannels[channel].Sources[0].File;
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        initChannels();
    }
    ASSERT_TRUE(waitUntil([&] { return starts().size() == 2; }, 5s));
    EXPECT_TRUE(fileExists(dir / "log/orva_001.log"));
    EXPECT_TRUE(fileExists(dir / "log/orva_006.log"));
    EXPECT_FALSE(fileExists(dir / "log/orva_004.log"));
}

TEST_F(SuperviseTest, StoppingATimeShiftedChannelStopsItsRecorderFirst) {
    g_orvaChannels[0].TimeShiftSec = 30;
    writeExecutable(dir / "orval.so", fakeTranscoder("exec sleep 30"));
    ASSERT_EQ(0, startSlot(64));
    ASSERT_EQ(0, startSlot(0));
    EXPECT_EQ(ORVA_STATE_RUNNING, orvaGetChannelState(0));
    orvaStopChannel(0, ORVA_STOP_ORDERLY);
    EXPECT_EQ(ORVA_STATE_STOPPING, orvaGetState(64));
    EXPECT_EQ(ORVA_STATE_STOPPING, orvaGetState(0));
    EXPECT_TRUE(pollUntil([] { return orvaGetState(64) == ORVA_STATE_IDLE && orvaGetState(0) == ORVA_STATE_IDLE; }, 5s));
}

namespace {

// A channel whose time shift was turned off in the editor while its player
// (slot 0) and recorder (slot 64) ran.
class TimeShiftTurnedOffTest : public SuperviseTest {
protected:
    void SetUp() override {
        SuperviseTest::SetUp();
        writeExecutable(dir / "orval.so", fakeTranscoder("exec sleep 30"));
        g_globalSettings.AutoRestart = 0;
        g_orvaChannels[0].TimeShiftSec = 30;
        ASSERT_EQ(0, startSlot(64));
        ASSERT_EQ(0, startSlot(0));
        recorder = g_procChannels[64].pid;
        g_orvaChannels[0].TimeShiftSec = 0;
    }
    bool allIdle() { return pollUntil([] { return orvaGetState(0) == ORVA_STATE_IDLE &&
                                                  orvaGetState(64) == ORVA_STATE_IDLE; }, 5s); }
    pid_t recorder = 0;
};

}  // namespace

TEST_F(TimeShiftTurnedOffTest, StopEndsTheRecorderToo) {
    EXPECT_EQ(ORVA_STATE_RUNNING, orvaGetChannelState(0));
    orvaStopChannel(0, ORVA_STOP_ORDERLY);
    EXPECT_EQ(ORVA_STATE_STOPPING, orvaGetState(64));
    EXPECT_EQ(ORVA_STATE_STOPPING, orvaGetState(0));
    EXPECT_TRUE(allIdle());
    EXPECT_NE(0, kill(recorder, 0));  // ended and reaped
    EXPECT_EQ(ORVA_STATE_IDLE, orvaGetChannelState(0));
}

TEST_F(TimeShiftTurnedOffTest, ARecorderThatRunsOnIsNotReportedStoppedAndEndsBeforeTheRestart) {
    orvaStop(0, ORVA_STOP_FORCED);
    ASSERT_TRUE(pollUntil([] { return orvaGetState(0) == ORVA_STATE_IDLE; }, 5s));
    EXPECT_EQ(ORVA_STATE_RUNNING, orvaGetChannelState(0));
    // The loop ends the recorder left without a player; the channel then
    // stays stopped as any plain channel without automatic restart.
    supervise(300ms);
    EXPECT_EQ(ORVA_STATE_IDLE, orvaGetState(64));
    EXPECT_EQ(ORVA_STATE_IDLE, orvaGetChannelState(0));
    EXPECT_NE(0, kill(recorder, 0));
}

TEST_F(TimeShiftTurnedOffTest, RemovingTheChannelEndsTheRecorderToo) {
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        orvaRemoveChannel(0);
    }
    EXPECT_TRUE(pollUntil([] {
        for (int slot = 0; slot < ORVA_SLOT_COUNT; slot++)
            if (orvaGetState(slot) != ORVA_STATE_IDLE)
                return false;
        return true;
    }, 5s));
    EXPECT_NE(0, kill(recorder, 0));
}

// A delay the timer cannot take as it is (negative, zero, or too many
// milliseconds for an int) still ends in a restart: soon, or after the
// longest delay there is, a day.
TEST_F(SuperviseTest, RestartDelaysOutOfRangeStillArmTheTimer) {
    struct Case { int32_t autoRestart; bool soon; };
    const Case cases[] = {{-5, true}, {INT32_MIN, true}, {2147484, false}, {INT32_MAX, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.autoRestart);
        g_globalSettings.AutoRestart = c.autoRestart;
        std::filesystem::remove(dir / "starts.txt");
        startAndWaitForEnd();
        if (c.soon) {
            auto end = std::chrono::steady_clock::now() + 3s;
            while (starts().size() < 2 && std::chrono::steady_clock::now() < end)
                supervise(20ms);
            EXPECT_GE(starts().size(), 2u);
        } else {
            supervise(200ms);
            std::lock_guard<std::mutex> lock(g_serviceLock);
            ASSERT_NE(kOrvaNoTimer, g_timers[0]);
            itimerspec left{};
            ASSERT_EQ(0, timer_gettime(g_timers[0], &left));
            EXPECT_GT(left.it_value.tv_sec, kOrvaMaxAutoRestartSec - 60);
            EXPECT_LE(left.it_value.tv_sec, kOrvaMaxAutoRestartSec);
        }
        {
            std::lock_guard<std::mutex> lock(g_serviceLock);
            orvaCancelTimer(0);
            orvaStopChannel(0, ORVA_STOP_FORCED);
        }
        ASSERT_TRUE(pollUntil([] { return orvaGetState(0) == ORVA_STATE_IDLE; }, 3s));
    }
    g_globalSettings.AutoRestart = 0;
}

TEST_F(SuperviseTest, ATimerArmedWithNoOrANegativeDelayFiresAtOnce) {
    for (int milliseconds : {0, -1, -1000, INT_MIN}) {
        SCOPED_TRACE(milliseconds);
        std::filesystem::remove(dir / "starts.txt");
        {
            std::lock_guard<std::mutex> lock(g_serviceLock);
            ASSERT_EQ(0, createTimer(0, milliseconds, channelTimeout));
        }
        EXPECT_TRUE(waitUntil([&] { return starts().size() == 1; }, 2s));
        EXPECT_TRUE(waitUntil([] {
            std::lock_guard<std::mutex> lock(g_serviceLock);
            return g_timers[0] == kOrvaNoTimer;
        }, 2s));
        EXPECT_TRUE(pollUntil([] { return orvaGetState(0) == ORVA_STATE_IDLE; }, 3s));
    }
}
