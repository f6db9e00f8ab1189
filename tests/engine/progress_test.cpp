// The progress parser on chunks of transcoder output: progress, stop
// messages, the launcher's alarm lines and the environment it is given.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/orva_alarms.h"
#include "engine/orva_engine.h"

namespace {

class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override { orvaInitChannels(); }
    void TearDown() override { orvaSetAppCallback(nullptr); }
};

long g_callbackSlot = -1;
std::string g_callbackChunk;

long recordChunk(unsigned long slot, const char* chunk) {
    g_callbackSlot = static_cast<long>(slot);
    g_callbackChunk = chunk;
    return 77;
}

}  // namespace

TEST_F(ProgressTest, StreamTimeAndBitrateAreReadFromTheirFields) {
    struct Case { const char* chunk; int time, bitrate; };
    const Case cases[] = {
        {"frame= 1 time=01:02:03.04 bitrate=1234.5kbits/s", 3723, 1234},
        {"size=1kB time=00:00:09.99 bitrate=   9.0kbits/s", 9, 9},
        {"size=1kB time=N/A bitrate=N/A speed=N/A", 500, 600},                 // unchanged
        {"size=N/A time=12:00:00 bitrate=25963.4kbits/s", 43200, 25963},
        {"time=00:00:05.00 bitrate=5kbits/s", 500, 5},                         // no blank before time=
        {" time=00:01 bitrate=x", 500, 600},                                   // two numbers are not a time
        {"a time=00:00:01.00 b time=00:00:02.00", 1, 600},                     // only the first counts
        {" bitrate=-12.5kbits/s", 500, -12},
        {" time=596523:14:07.00 bitrate=1kbits/s", 2147483647, 1},             // the largest that fits
        {" time=596523:14:08.00 bitrate=1kbits/s", 500, 1},                    // one second more does not fit
        {" time=2562047788015:12:55.80 bitrate=2kbits/s", 500, 2},             // broken timestamp
        {" time=99999999999999999999:00:00 bitrate=3kbits/s", 500, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chunk);
        g_procChannels[4].streamTime = 500;
        g_procChannels[4].bitrate = 600;
        g_procChannels[4].tmLastOutput = 0;
        orvaParseProgress(4, c.chunk);
        EXPECT_EQ(c.time, orvaGetStreamTime(4));
        EXPECT_EQ(c.bitrate, orvaGetStreamBitrate(4));
        EXPECT_GT(g_procChannels[4].tmLastOutput, 0);
    }
}

TEST_F(ProgressTest, ApplicationCallbackGetsEveryChunkAndItsResultIsPassedOn) {
    EXPECT_EQ(&g_cfg, orvaSetAppCallback(recordChunk));
    EXPECT_EQ(77, orvaParseProgress(9, "hello"));
    EXPECT_EQ(9, g_callbackSlot);
    EXPECT_EQ("hello", g_callbackChunk);
}

TEST_F(ProgressTest, FatalTranscoderMessagesStopOnlyARunningSlot) {
    for (const char* message : {"Number of bands", "channel element", "Queue input is backward in time"}) {
        SCOPED_TRACE(message);
        g_procChannels[1].state = ORVA_STATE_RUNNING;
        g_procChannels[1].pid = 0;  // no process: only the state changes
        orvaParseProgress(1, message);
        EXPECT_EQ(ORVA_STATE_STOPPING, orvaGetState(1));
    }
    g_procChannels[1].state = ORVA_STATE_RUNNING;
    orvaParseProgress(1, "Number of frames");
    EXPECT_EQ(ORVA_STATE_RUNNING, orvaGetState(1));
}

namespace {

using Kind = OrvaAlarmKind;

std::vector<std::pair<Kind, bool>> eventsOf(int channel) {
    std::vector<std::pair<Kind, bool>> out;
    for (const OrvaAlarmEvent& event : orvaChannelAlarmEvents(channel))
        out.emplace_back(event.kind, event.raised);
    return out;
}

}  // namespace

// The launcher's lines may be cut anywhere between two reads, may follow a
// progress fragment, and say each alarm once; anything else on them is ignored.
TEST_F(ProgressTest, AlarmLinesAreTakenWholeAcrossChunksAndAfterProgress) {
    for (const char* chunk : {"frame= 1 time=00:00:01.00 bitrate= 1.0kbits/s\rorval-al",
                              "arm: raise sour", "ce_lost\n"})
        orvaParseProgress(2, chunk);
    OrvaChannelAlarms alarms = orvaChannelAlarms(2);
    EXPECT_TRUE(alarms.raised(Kind::SourceLost));
    EXPECT_EQ(2, alarms.onBackup());  // lost, and no backup plays: the slate
    EXPECT_EQ(1, orvaGetStreamTime(2));
    orvaParseProgress(2, "orval-alarm: raise on_backup\r\norval-alarm: raise source_lost\n");
    EXPECT_EQ(1, orvaChannelAlarms(2).onBackup());
    // Unknown kinds, other words and other cases change nothing.
    orvaParseProgress(2, "orval-alarm: raise purple\norval-alarm: raise Black\norval-alarm: clear "
                         "frozen\norval-alarm: lower black\nsay orval-alarm: raise\n");
    // A progress fragment without its "\r" in front of the line.
    orvaParseProgress(2, "frame= 2 time=00:00:02.00 bitrate= 1.0kbits/sorval-alarm: raise black \n");
    EXPECT_TRUE(orvaChannelAlarms(2).raised(Kind::Black));
    orvaParseProgress(2, "orval-alarm: clear on_backup\norval-alarm: clear source_lost\n");
    alarms = orvaChannelAlarms(2);
    EXPECT_EQ(0, alarms.onBackup());
    EXPECT_EQ(1u, alarms.sourceLosses);
    const std::vector<std::pair<Kind, bool>> expected = {
        {Kind::SourceLost, true}, {Kind::OnBackup, true}, {Kind::Black, true},
        {Kind::OnBackup, false}, {Kind::SourceLost, false}};
    EXPECT_EQ(expected, eventsOf(2));
    // A recorder's alarms are its channel's.
    orvaParseProgress(2 + ORVA_CHANNEL_COUNT, "orval-alarm: raise source_lost\n");
    alarms = orvaChannelAlarms(2);
    EXPECT_EQ(2u, alarms.sourceLosses);
    EXPECT_EQ(2, alarms.onBackup());
    EXPECT_FALSE(orvaChannelAlarms(3).raised(Kind::SourceLost));
    EXPECT_EQ(6u, orvaChannelAlarmEvents(2).size());
}

// A target's alarm is its own: raised once with a reason, cleared by its
// number; a number that is no target (0, 6, 12, none, not one digit) and a
// clear with more words change nothing. The recorder's count for its channel.
TEST_F(ProgressTest, TargetAlarmsAreKeptPerTargetAndOtherNumbersAreIgnored) {
    for (const char* chunk : {"frame= 3 time=00:00:03.00 bitrate= 1.0kbits/s\rorval-alarm: raise tar",
                              "get_down 2 Connection refused\n", "orval-alarm: raise target_down 5\n",
                              "orval-alarm: raise target_down 2 Broken pipe\n"})
        orvaParseProgress(7, chunk);
    for (const char* bad :
         {"raise target_down 0 x", "raise target_down 6 x", "raise target_down 12 x", "raise target_down",
          "raise target_down x", "raise target_down -1", "raise target_down  1", "raise target_down1",
          "raise target_down 1x", "raise target_downs 1", "clear target_down 2 now", "clear target_down"}) {
        SCOPED_TRACE(bad);
        orvaParseProgress(7, (std::string("orval-alarm: ") + bad + "\n").c_str());
    }
    OrvaChannelAlarms alarms = orvaChannelAlarms(7);
    for (int target = 0; target <= kOrvaAlarmTargetCount + 1; target++)
        EXPECT_EQ(target == 2 || target == 5, alarms.targetDown(target)) << target;
    EXPECT_TRUE(alarms.raised(Kind::TargetDown));
    EXPECT_FALSE(alarms.raised(Kind::SourceLost));
    EXPECT_EQ(3, orvaGetStreamTime(7));
    orvaParseProgress(7, "orval-alarm: clear target_down 2\norval-alarm: clear target_down 5 \n");
    EXPECT_FALSE(orvaChannelAlarms(7).raised(Kind::TargetDown));
    orvaParseProgress(7 + ORVA_CHANNEL_COUNT, "orval-alarm: raise target_down 1 No space left on device\n");
    EXPECT_TRUE(orvaChannelAlarms(7).targetDown(1));
    std::vector<std::pair<int, bool>> targets;
    for (const OrvaAlarmEvent& event : orvaChannelAlarmEvents(7)) {
        EXPECT_EQ(Kind::TargetDown, event.kind);
        targets.emplace_back(event.target, event.raised);
    }
    const std::vector<std::pair<int, bool>> expected = {
        {2, true}, {5, true}, {2, false}, {5, false}, {1, true}};
    EXPECT_EQ(expected, targets);
}

// A line without an end is kept only so far: what follows it is no alarm
// line, and the line after its end is read again.
TEST_F(ProgressTest, AnOverlongLineIsNoAlarmLineAndTheNextLineIsRead) {
    const std::string noise(3000, 'x');
    orvaParseProgress(5, noise.c_str());
    orvaParseProgress(5, noise.c_str());
    orvaParseProgress(5, "orval-alarm: raise black\n");
    EXPECT_FALSE(orvaChannelAlarms(5).raised(Kind::Black));
    orvaParseProgress(5, "orval-alarm: raise black\n");
    EXPECT_TRUE(orvaChannelAlarms(5).raised(Kind::Black));
    EXPECT_EQ(1u, orvaChannelAlarmEvents(5).size());
}

// The launcher's input stage rides out a source's decoder trouble; only the
// encoder's messages end the run.
TEST_F(ProgressTest, StopMessagesOfTheLaunchersOwnLinesDoNotStopTheSlot) {
    g_procChannels[1].state = ORVA_STATE_RUNNING;
    g_procChannels[1].pid = 0;
    for (const char* chunk :
         {"orval-input: [aac @ 0x1] channel element 1.0 is not allocated\n",
          "frame= 1 time=00:00:01.00\rorval-input: [mp3] Number of bands (33) exceeds limit\n",
          "orval-alarm: raise source_lost Queue input is backward in time\n", "orval-in",
          "put: [aac] channel element 0.0 is not allocated\n", "orval-input: a long message: ",
          "Queue input is backward in time\n"}) {
        SCOPED_TRACE(chunk);
        orvaParseProgress(1, chunk);
        EXPECT_EQ(ORVA_STATE_RUNNING, orvaGetState(1));
    }
    orvaParseProgress(1, "[aac @ 0x2] channel element 1.0 is not allocated\n");
    EXPECT_EQ(ORVA_STATE_STOPPING, orvaGetState(1));
    g_procChannels[1].state = ORVA_STATE_RUNNING;
    orvaParseProgress(1, "[aac @ 0x2] channel el");  // a message cut between two reads
    EXPECT_EQ(ORVA_STATE_RUNNING, orvaGetState(1));
    orvaParseProgress(1, "ement 1.0 is not allocated\n");
    EXPECT_EQ(ORVA_STATE_STOPPING, orvaGetState(1));
}

// The recorder slot runs for its channel; a text too long to pass whole is left out.
TEST_F(ProgressTest, TheEnvironmentCarriesTheChannelsSettingsWholeOrNotAtAll) {
    const std::string longest(ORVA_TEXT_SIZE - 1, 'm');
    const std::string tooLong(ORVA_TEXT_SIZE, 'b');
    ORVA_CONTINUITY_TAG settings{longest.c_str(), tooLong.c_str(), 2500, 0, 3600, 7};
    ASSERT_EQ(ORVA_OK, orvaSetContinuity(6, &settings));
    EXPECT_EQ(ORVA_ERR_SLOT_RANGE, orvaSetContinuity(ORVA_CHANNEL_COUNT, &settings));
    const std::vector<std::string> expected = {
        "ORVAL_CHANNEL=7", "ORVAL_MEMO=" + longest, "ORVAL_SOURCE_TIMEOUT=2500",
        "ORVAL_ALARM_BLACK=0", "ORVAL_ALARM_FREEZE=3600", "ORVAL_ALARM_SILENCE=7"};
    EXPECT_EQ(expected, orvaContinuityEnvironment(6 + ORVA_CHANNEL_COUNT));
    settings.pszBackup = "udp://239.0.0.1:5000";
    orvaSetContinuity(6, &settings);
    EXPECT_EQ("ORVAL_BACKUP=udp://239.0.0.1:5000", orvaContinuityEnvironment(6)[2]);
    orvaSetContinuity(6, nullptr);
    const std::vector<std::string> defaults = {
        "ORVAL_CHANNEL=7", "ORVAL_MEMO=", "ORVAL_SOURCE_TIMEOUT=1000", "ORVAL_ALARM_BLACK=10",
        "ORVAL_ALARM_FREEZE=10", "ORVAL_ALARM_SILENCE=10"};
    EXPECT_EQ(defaults, orvaContinuityEnvironment(6));
    // The channel slot is told which target each output of its line is; the
    // recorder's output is no target, and a line without targets passes none.
    orvaSetLineTargets(6, {1, 1, 3});
    orvaSetLineTargets(6 + ORVA_CHANNEL_COUNT, {1});
    EXPECT_EQ("ORVAL_TARGETS=1,1,3", orvaContinuityEnvironment(6).back());
    EXPECT_EQ(defaults, orvaContinuityEnvironment(6 + ORVA_CHANNEL_COUNT));
    orvaSetLineTargets(6, {});
    EXPECT_EQ(defaults, orvaContinuityEnvironment(6));
}
