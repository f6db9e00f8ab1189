// Run records of the engine's slots: real children that end, hang, are
// stopped; what each run kept and how the counters moved.
#include <signal.h>

#include <chrono>

#include "engine/engine_fixture.h"
#include "engine/orva_alarms.h"
#include "engine/orva_runs.h"
#include "engine/orva_service_log.h"

using namespace std::chrono_literals;

namespace {

bool isIdle(int slot) { return orvaGetState(slot) == ORVA_STATE_IDLE; }

int g_hookSlot = -1;
OrvaRun g_hookRun;
void recordHook(int slot, const OrvaRun& run) {
    g_hookSlot = slot;
    g_hookRun = run;
}

class RunTest : public EngineTest {
protected:
    void TearDown() override {
        orvaSetRunHook(nullptr);
        EngineTest::TearDown();
    }
    // Starts `slot` and waits until its transcoder has ended and been reaped.
    void runToEnd(int slot) {
        ASSERT_EQ(0, startSlot(slot));
        ASSERT_TRUE(pollUntil([slot] { return isIdle(slot); }, 10s));
    }
    static OrvaRun lastRun(int slot) {
        std::vector<OrvaRun> runs = orvaSlotRuns(slot);
        return runs.empty() ? OrvaRun{} : runs.back();
    }
};

}  // namespace

TEST_F(RunTest, ARunThatEndsByItselfKeepsItsStatusTimesAndLastErrorLine) {
    ASSERT_EQ(0, initEngine(
        "printf 'Input #0, mpegts\\n[udp @ 0x1] bind failed: Address in use\\n'\n"
        "printf 'frame= 1 time=00:00:01.00 bitrate=1.0kbits/s\\r'\n"
        "printf 'Error while decoding stream #0:0\\n  \\n'\n"
        "printf 'frame= 2 time=00:00:02.00 bitrate=1.0kbits/s\\r'\n"
        "exit 3"));
    orvaSetRunHook(recordHook);
    time_t before = time(nullptr);
    runToEnd(4);
    std::vector<OrvaRun> runs = orvaSlotRuns(4);
    ASSERT_EQ(1u, runs.size());
    EXPECT_EQ(OrvaRunEnd::Exited, runs[0].how);
    EXPECT_EQ(3, runs[0].code);
    EXPECT_EQ("Error while decoding stream #0:0", runs[0].lastError);
    EXPECT_GE(runs[0].start, before);
    EXPECT_GE(runs[0].end, runs[0].start);
    EXPECT_LE(runs[0].end, time(nullptr));
    EXPECT_EQ(4, g_hookSlot);
    EXPECT_EQ("Error while decoding stream #0:0", g_hookRun.lastError);
    OrvaSlotCounters counters = orvaSlotCounters(4);
    EXPECT_EQ(1u, counters.starts);
    EXPECT_EQ(0u, counters.hangKills);
    EXPECT_EQ(3, counters.lastExitStatus);
    EXPECT_EQ(1u, counters.failedRuns);
    EXPECT_TRUE(orvaSlotRuns(5).empty());  // other slots keep nothing
}

TEST_F(RunTest, ALastLineWithoutAnEndIsJudgedAndAQuietRunHasNoErrorLine) {
    ASSERT_EQ(0, initEngine("if [ -f \"$here/second\" ]; then echo all fine; exit 0; fi\n"
                            "touch \"$here/second\"; printf 'Conversion failed!'; exit 1"));
    runToEnd(0);
    EXPECT_EQ("Conversion failed!", lastRun(0).lastError);
    EXPECT_EQ(1, lastRun(0).code);
    runToEnd(0);
    EXPECT_EQ("", lastRun(0).lastError);  // the error of the run before is not carried over
    EXPECT_EQ(0, lastRun(0).code);
    EXPECT_EQ(2u, orvaSlotCounters(0).starts);
    EXPECT_EQ(1u, orvaSlotCounters(0).failedRuns);  // a clean end is no failure
}

TEST_F(RunTest, ASilentTranscoderIsKilledAsHungAndCountedOnce) {
    ASSERT_EQ(0, initEngine("echo started; exec sleep 30"));
    orvaSetHangTimeout(1);
    ASSERT_EQ(0, startSlot(7));
    ASSERT_TRUE(pollUntil([] { return orvaGetState(7) == ORVA_STATE_STOPPING; }, 10s));
    // Passes that come before the killed process is reaped see it still silent.
    for (int pass = 0; pass < 10; pass++)
        orvaPoll();
    ASSERT_TRUE(pollUntil([] { return isIdle(7); }, 10s));
    OrvaRun run = lastRun(7);
    EXPECT_EQ(OrvaRunEnd::Hung, run.how);
    EXPECT_EQ(128 + SIGKILL, run.code);
    EXPECT_EQ(1u, orvaSlotCounters(7).hangKills);
    EXPECT_EQ(1u, orvaSlotCounters(7).failedRuns);
    EXPECT_EQ(128 + SIGKILL, orvaSlotCounters(7).lastExitStatus);
}

TEST_F(RunTest, TheFirstStopCauseMarkedHoldsAndOnlyForTheRunningProcess) {
    ASSERT_EQ(0, initEngine("exec sleep 30"));
    orvaMarkStopCause(2, OrvaRunEnd::Shutdown);  // nothing runs: no effect on the next run
    ASSERT_EQ(0, startSlot(2));
    orvaMarkStopCause(2, OrvaRunEnd::Stopped);
    orvaMarkStopCause(2, OrvaRunEnd::Shutdown);
    orvaStop(2, ORVA_STOP_ORDERLY);
    ASSERT_TRUE(pollUntil([] { return isIdle(2); }, 10s));
    EXPECT_EQ(OrvaRunEnd::Stopped, lastRun(2).how);
    EXPECT_EQ(128 + SIGINT, lastRun(2).code);
    EXPECT_EQ(0u, orvaSlotCounters(2).failedRuns);  // a stop asked for
    // The next run starts without a cause: killed from outside, it ended by itself.
    ASSERT_EQ(0, startSlot(2));
    kill(g_procChannels[2].pid, SIGTERM);
    ASSERT_TRUE(pollUntil([] { return isIdle(2); }, 10s));
    EXPECT_EQ(OrvaRunEnd::Exited, lastRun(2).how);
    EXPECT_EQ(128 + SIGTERM, lastRun(2).code);
    EXPECT_EQ(1u, orvaSlotCounters(2).failedRuns);
}

TEST_F(RunTest, OnlyTheLastTwentyRunsAreKeptOldestFirst) {
    ASSERT_EQ(0, initEngine("n=$(cat \"$here/n\" 2>/dev/null || echo 0); echo $((n+1)) > \"$here/n\"\n"
                            "echo \"error $n\"; exit $((n % 100))"));
    for (int run = 0; run < 23; run++)
        runToEnd(1);
    std::vector<OrvaRun> runs = orvaSlotRuns(1);
    ASSERT_EQ(kOrvaRunsKept, runs.size());
    EXPECT_EQ("error 3", runs.front().lastError);
    EXPECT_EQ("error 22", runs.back().lastError);
    EXPECT_EQ(22, runs.back().code);
    EXPECT_EQ(23u, orvaSlotCounters(1).starts);
}

TEST_F(RunTest, RefusalsInARowWithOneCodeShareARecord) {
    ASSERT_EQ(0, initEngine("exit 0"));
    orvaRecordRefusal(3, ORVA_ERR_NO_PLAYLIST);
    orvaRecordRefusal(3, ORVA_ERR_NO_PLAYLIST);
    orvaRecordRefusal(3, ORVA_ERR_TEXT_TOO_LONG);
    runToEnd(3);
    orvaRecordRefusal(3, ORVA_ERR_TEXT_TOO_LONG);
    std::vector<OrvaRun> runs = orvaSlotRuns(3);
    ASSERT_EQ(4u, runs.size());
    const int codes[] = {ORVA_ERR_NO_PLAYLIST, ORVA_ERR_TEXT_TOO_LONG, 0, ORVA_ERR_TEXT_TOO_LONG};
    for (size_t i = 0; i < runs.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(i == 2 ? OrvaRunEnd::Exited : OrvaRunEnd::Refused, runs[i].how);
        EXPECT_EQ(codes[i], runs[i].code);
    }
    EXPECT_EQ(1u, orvaSlotCounters(3).starts);  // a refusal is no start
    // Every refusal failed, also those sharing a record; a start that found
    // the slot busy met a run in progress.
    orvaRecordRefusal(3, ORVA_ERR_SLOT_BUSY);
    EXPECT_EQ(4u, orvaSlotCounters(3).failedRuns);
}

TEST_F(RunTest, ARunKilledWhenTheEngineIsReleasedEndsWithItsCause) {
    ASSERT_EQ(0, initEngine("trap '' INT\ntouch \"$here/ready\"\nexec sleep 30"));
    orvaSetRunHook(recordHook);
    ASSERT_EQ(0, startSlot(6));
    ASSERT_TRUE(pollUntil([&] { return fileExists(dir / "ready"); }, 10s));
    orvaMarkStopCause(6, OrvaRunEnd::Shutdown);
    orvaFree();  // the orderly stop is ignored, so the release kills it
    EXPECT_EQ(OrvaRunEnd::Shutdown, lastRun(6).how);
    EXPECT_EQ(128 + SIGKILL, lastRun(6).code);
    EXPECT_EQ(6, g_hookSlot);
}

// The transcoder of a recorder slot learns its channel's settings, and no
// targets; the channel's slot learns which target each output of its line
// is. The alarms a run raised are cleared when it ends, each with a line in
// the service log.
TEST_F(RunTest, ARunsEndClearsItsAlarmsAndTheRecorderRunsWithItsChannelsSettings) {
    ASSERT_EQ(0, initEngine(
        "printf '%s|%s|%s|%s\\n' \"$ORVAL_CHANNEL\" \"$ORVAL_BACKUP\" \"$ORVAL_ALARM_BLACK\" "
        "\"${ORVAL_TARGETS-none}\" >> \"$here/env.txt\"\n"
        "if [ -n \"$ORVAL_TARGETS\" ]; then\n"
        "  printf 'orval-alarm: raise target_down 2 Connection refused %s\\n' \"$(printf '\\303\\251%.0s' $(seq 200))\"\n"
        "else\n"
        "  printf 'orval-alarm: raise source_lost\\norval-alarm: raise black\\n'\n"
        "fi\n"
        "exit 0"));
    orvaServiceLogOpen(dir.path().c_str());
    ORVA_CONTINUITY_TAG settings{"memo", "/media/backup.ts", 1000, 4, 10, 10};
    ASSERT_EQ(ORVA_OK, orvaSetContinuity(3, &settings));
    setenv("ORVAL_TARGETS", "9", 1);  // the service's own value is not passed on
    runToEnd(3 + ORVA_CHANNEL_COUNT);
    unsetenv("ORVAL_TARGETS");
    EXPECT_EQ("4|/media/backup.ts|4|none\n", readFile(dir / "env.txt"));
    OrvaChannelAlarms alarms = orvaChannelAlarms(3);
    EXPECT_FALSE(alarms.raised(OrvaAlarmKind::SourceLost) || alarms.raised(OrvaAlarmKind::Black));
    EXPECT_EQ(1u, alarms.sourceLosses);
    std::vector<OrvaAlarmEvent> events = orvaChannelAlarmEvents(3);
    ASSERT_EQ(4u, events.size());
    EXPECT_TRUE(events[1].raised);
    EXPECT_EQ(OrvaAlarmKind::Black, events[2].kind);  // the source's alarm is cleared last
    EXPECT_FALSE(events[2].raised || events[3].raised);
    std::string log = readFile(dir / "orval.log");
    for (const char* line : {"] channel 4 recorder alarm raised: source_lost\n",
                             "] channel 4 recorder alarm raised: black\n",
                             "] channel 4 recorder alarm cleared: black\n",
                             "] channel 4 recorder alarm cleared: source_lost\n"})
        EXPECT_NE(std::string::npos, log.find(line)) << line << log;

    // An RTP target with its audio apart, then a file target.
    ORVA_INPUT_TAG input{};
    input.pszAddress = "input.ts";
    ORVA_OUTPUT_TAG outputs[2]{};
    outputs[0].Format = ORVA_FORMAT_RTP;
    outputs[0].Audio = {1, ORVA_AUDIO_AAC, 2, 48000, 128, 0, 0, Inet_addr("127.0.0.1"), 5002, 0, ""};
    outputs[0].Video.VideoEnable = 1;
    outputs[0].Video.VideoCodec = ORVA_VIDEO_H264;
    outputs[0].Video.VideoTargetIP = Inet_addr("127.0.0.1");
    outputs[0].Video.VideoTargetPort = 5000;
    outputs[1].pszAddress = "output.ts";
    ASSERT_EQ(0, orvaTranscodeMA(3, &input, 1, outputs, 2));
    ASSERT_TRUE(pollUntil([] { return isIdle(3); }, 10s));
    orvaServiceLogOpen(nullptr);
    EXPECT_EQ("4|/media/backup.ts|4|none\n4|/media/backup.ts|4|1,1,2\n", readFile(dir / "env.txt"));
    EXPECT_FALSE(orvaChannelAlarms(3).targetDown(2));
    EXPECT_EQ("", lastRun(3).lastError);  // a target's reason is no error of the run
    events = orvaChannelAlarmEvents(3);
    ASSERT_EQ(6u, events.size());
    EXPECT_EQ(OrvaAlarmKind::TargetDown, events[5].kind);
    EXPECT_EQ(2, events[5].target);
    EXPECT_FALSE(events[5].raised);
    // The reason is kept to 300 bytes, not cut inside a character.
    std::string reason = "Connection refused ";
    for (int i = 0; i < 140; i++)
        reason += "\xC3\xA9";
    log = readFile(dir / "orval.log");
    for (std::string line : {"] channel 4 target 2 alarm raised: target_down (" + reason + ")\n",
                             std::string("] channel 4 target 2 alarm cleared: target_down\n")})
        EXPECT_NE(std::string::npos, log.find(line)) << line << log;
}
