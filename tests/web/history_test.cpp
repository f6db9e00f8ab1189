// The run history of a channel: each way a run ends is recorded with its
// reason after the matching event, and the JSON the page reads carries it.
#include <signal.h>

#include <chrono>
#include <filesystem>

#include "engine/orva_runs.h"
#include "engine/orva_service_log.h"
#include "web/channel_web_fixture.h"
#include "web/json_check.h"
#include "web/orva_history.h"

using namespace std::chrono_literals;

namespace {

// Complains, then either ends with status 1 or, once "stay" exists, ignores
// SIGINT, says it is "ready" and goes silent.
class HistoryTest : public ChannelWebTest {
protected:
    std::string transcoderBody() const override {
        return "echo 'Error opening input: No such file'\n"
               "[ -f \"$here/stay\" ] || exit 1\n"
               "trap '' INT\ntouch \"$here/ready\"\nexec sleep 30";
    }
    bool waitForState(int channel, int state) {
        return pollUntil([=] { return orvaGetChannelState(channel) == state; }, 10s);
    }
    // Starts the channel and waits until its transcoder ignores SIGINT.
    void startStaying(int channel) {
        std::filesystem::remove(dir / "ready");
        act(channel, "start");
        ASSERT_TRUE(pollUntil([&] { return fileExists(dir / "ready"); }, 10s));
    }
    static std::string history(int channel) {
        return orvaComposeHistory(channel + 1, orvaSlotRuns(channel));
    }
    static std::string runField(const std::string& json, size_t run, const char* field) {
        return jsonValue(json, "[\"runs\"][" + std::to_string(run) + "][\"" + field + "\"]")
            .value_or("(none)");
    }
};

}  // namespace

TEST_F(HistoryTest, EachWayOfEndingIsRecordedWithItsReason) {
    configure(0);
    act(0, "start");  // ends by itself
    ASSERT_TRUE(waitForState(0, ORVA_STATE_IDLE));

    writeFile(dir / "stay", "");
    startStaying(0);
    act(0, "stop");  // ignored: the channel stays stopping
    ASSERT_EQ(ORVA_STATE_STOPPING, orvaGetChannelState(0));
    act(0, "stop");  // killed
    ASSERT_TRUE(waitForState(0, ORVA_STATE_IDLE));

    orvaSetHangTimeout(1);
    startStaying(0);
    ASSERT_TRUE(waitForState(0, ORVA_STATE_IDLE));  // silent, so killed as hung

    orvaSetHangTimeout(30);
    startStaying(0);
    g_orvaShuttingDown = true;
    orvaStopChannel(0, ORVA_STOP_FORCED);
    g_orvaShuttingDown = false;
    ASSERT_TRUE(waitForState(0, ORVA_STATE_IDLE));

    std::filesystem::create_directories(dir / "empty");
    copyText(g_orvaChannels[0].Sources[0].File, dir / "empty");
    act(0, "start");  // a folder without files is refused

    std::vector<OrvaRun> runs = orvaSlotRuns(0);
    ASSERT_EQ(5u, runs.size());
    const OrvaRunEnd expected[] = {OrvaRunEnd::Exited, OrvaRunEnd::Stopped, OrvaRunEnd::Hung,
                                   OrvaRunEnd::Shutdown, OrvaRunEnd::Refused};
    const int codes[] = {1, 128 + SIGKILL, 128 + SIGKILL, 128 + SIGKILL, ORVA_ERR_NO_PLAYLIST};
    for (size_t run = 0; run < runs.size(); run++) {
        SCOPED_TRACE(run);
        EXPECT_STREQ(orvaRunEndName(expected[run]), orvaRunEndName(runs[run].how));
        EXPECT_EQ(codes[run], runs[run].code);
        EXPECT_EQ(run < 4 ? "Error opening input: No such file" : "", runs[run].lastError);
        EXPECT_LE(runs[run].start, runs[run].end);
        if (run > 0) {
            EXPECT_LE(runs[run - 1].end, runs[run].start);
        }
    }
    EXPECT_EQ(1u, orvaSlotCounters(0).hangKills);
    EXPECT_EQ(4u, orvaSlotCounters(0).starts);
}

TEST_F(HistoryTest, TheHistoryMovesWithItsChannelWhenAnEarlierOneIsRemoved) {
    configure(0);
    configure(1);
    act(1, "start");
    ASSERT_TRUE(waitForState(1, ORVA_STATE_IDLE));
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        orvaRemoveChannel(0);
    }
    std::string json = history(0);
    EXPECT_EQ("exited", runField(json, 0, "ended")) << json;
    EXPECT_EQ("[]", jsonValue(history(1), "[\"runs\"]"));
}

TEST(HistoryJson, AnyErrorLineGivesValidJsonThatReadsBack) {
    OrvaRun run;
    run.start = 1700000000;
    run.end = 1700000100;
    run.code = 255;
    run.lastError = "bad \"quote\" \\ tab\t \x01 \xff end";
    std::string json = orvaComposeHistory(64, {run});
    ASSERT_TRUE(jsonValid(json)) << json;
    EXPECT_EQ("64", jsonValue(json, "[\"channel\"]"));
    EXPECT_EQ("1700000000", jsonValue(json, "[\"runs\"][0][\"start\"]"));
    EXPECT_EQ("1700000100", jsonValue(json, "[\"runs\"][0][\"end\"]"));
    EXPECT_EQ("bad \"quote\" \\ tab\t \x01 \xEF\xBF\xBD end", jsonValue(json, "[\"runs\"][0][\"error\"]"));
    EXPECT_EQ("{\"channel\":3,\"runs\":[],\"alarms\":[]}", orvaComposeHistory(3, {}));
    OrvaAlarmEvent raised{1700000005, OrvaAlarmKind::Frozen, true};
    OrvaAlarmEvent cleared{1700000009, OrvaAlarmKind::Frozen, false};
    OrvaAlarmEvent targetDown{1700000010, OrvaAlarmKind::TargetDown, true, 3};
    EXPECT_EQ("{\"channel\":3,\"runs\":[],\"alarms\":[{\"time\":1700000005,\"kind\":\"frozen\","
              "\"event\":\"raised\"},{\"time\":1700000009,\"kind\":\"frozen\",\"event\":\"cleared\"},"
              "{\"time\":1700000010,\"kind\":\"target_down\",\"target\":3,\"event\":\"raised\"}]}",
              orvaComposeHistory(3, {}, {raised, cleared, targetDown}));
    std::vector<OrvaChannelAlarms> channels(ORVA_CHANNEL_COUNT);
    EXPECT_EQ("{\"alarms\":[]}", orvaComposeAlarms(channels));
    channels[63].since[static_cast<size_t>(OrvaAlarmKind::Silent)] = 1700000001;
    channels[1].since[static_cast<size_t>(OrvaAlarmKind::OnBackup)] = 1700000003;
    channels[1].since[static_cast<size_t>(OrvaAlarmKind::SourceLost)] = 1700000002;
    channels[1].targetSince[4] = 1700000004;
    channels[0].targetSince[0] = 1700000000;
    EXPECT_EQ("{\"alarms\":[{\"channel\":1,\"kind\":\"target_down\",\"target\":1,\"since\":1700000000},"
              "{\"channel\":2,\"kind\":\"source_lost\",\"since\":1700000002},"
              "{\"channel\":2,\"kind\":\"on_backup\",\"since\":1700000003},"
              "{\"channel\":2,\"kind\":\"target_down\",\"target\":5,\"since\":1700000004},"
              "{\"channel\":64,\"kind\":\"silent\",\"since\":1700000001}]}",
              orvaComposeAlarms(channels));
    OrvaRun refused;
    refused.how = OrvaRunEnd::Refused;
    refused.code = ORVA_ERR_NO_PLAYLIST;
    EXPECT_EQ("{\"channel\":2,\"runs\":[{\"start\":0,\"end\":0,\"ended\":\"refused\",\"code\":-99,\"reason\":\"" +
                  std::string(orvaStartResultText(ORVA_ERR_NO_PLAYLIST)) + "\",\"error\":\"\"}],\"alarms\":[]}",
              orvaComposeHistory(2, {refused}));
}
