// "/metrics" and "/history" over real HTTP against the daemon: the values
// follow a fake transcoder's progress and a restart, promtool accepts the
// text, and both paths sit behind the access list and the login.
#include <filesystem>
#include <set>
#include <sstream>

#include "web/json_check.h"
#include "web/orva_metrics.h"
#include "web/promtool.h"
#include "web/web_fixture.h"

using namespace std::chrono_literals;

namespace {

// The value of the series `series` (name and labels), or "(none)".
std::string valueOf(const std::string& metrics, const std::string& series) {
    std::istringstream in(metrics);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(series + " "))
            return line.substr(series.size() + 1);
    }
    return "(none)";
}

std::string channelSeries(const char* name, int channel) {
    return std::string(name) + "{channel=\"" + std::to_string(channel) + "\"}";
}

// The names a text declares and the names its series use.
std::set<std::string> metricNames(const std::string& metrics) {
    std::set<std::string> names;
    std::istringstream in(metrics);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("# TYPE "))
            names.insert("declared " + line.substr(7, line.find(' ', 7) - 7));
        else if (!line.empty() && line[0] != '#')
            names.insert("series " + line.substr(0, line.find_first_of("{ ")));
    }
    return names;
}

// Channel 1 plays a folder: it reports 5 s at 800 kbit/s; once "go" exists
// 9 s at 1200 kbit/s; once "end" exists it complains and ends with status 3,
// and the supervision starts it again at once on the folder's next file (a
// restart that needs no timer, so the ThreadSanitizer build, whose runtime
// cannot run timer threads, runs it too). Channel 2 is configured and
// stopped, channel 3 not configured.
class MetricsHttpTest : public WebTest {
protected:
    std::string transcoderBody() const override {
        return "printf 'frame=  1 size=   1kB time=00:00:05.00 bitrate= 800.0kbits/s speed=1x\\r'\n"
               "while [ ! -f \"$here/go\" ]; do sleep 0.05; done\n"
               "printf 'frame=  2 size=   2kB time=00:00:09.00 bitrate=1200.0kbits/s speed=1x\\r'\n"
               "while [ ! -f \"$here/end\" ]; do sleep 0.05; done\n"
               "rm -f \"$here/end\"\necho 'Error: the input vanished'\nexit 3";
    }
    std::string settings() const override {
        return channelBlock(1, dir / "media", 1) + channelBlock(2, dir / "media/a.ts", 0);
    }
    void SetUp() override {
        std::filesystem::create_directories(dir / "media");
        for (const char* name : {"a.ts", "b.ts", "c.ts"})
            writeFile(dir / ("media/" + std::string(name)), "");
        WebTest::SetUp();
    }
    std::string metrics() const { return get("/metrics").body; }
    bool waitForValue(const std::string& series, const std::string& value) {
        return waitUntil([&] { return valueOf(metrics(), series) == value; }, 10s);
    }
};

}  // namespace

TEST_F(MetricsHttpTest, ValuesFollowTheTranscodersProgressAndARestart) {
    HttpReply reply = get("/metrics");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("text/plain; version=0.0.4", reply.header("content-type"));
    ASSERT_TRUE(waitForValue(channelSeries("orval_channel_stream_time_seconds", 1), "5"));
    std::string text = metrics();
    EXPECT_EQ("800000", valueOf(text, channelSeries("orval_channel_bitrate", 1)));
    EXPECT_EQ("1", valueOf(text, channelSeries("orval_channel_state", 1)));
    EXPECT_EQ("1", valueOf(text, channelSeries("orval_channel_starts_total", 1)));
    EXPECT_EQ("0", valueOf(text, channelSeries("orval_channel_restarts_total", 1)));
    EXPECT_EQ("0", valueOf(text, channelSeries("orval_channel_state", 2)));
    EXPECT_EQ("0", valueOf(text, channelSeries("orval_channel_starts_total", 2)));
    EXPECT_EQ("1", valueOf(text, channelSeries("orval_channel_enabled", 1)));
    EXPECT_EQ("0", valueOf(text, channelSeries("orval_channel_enabled", 2)));
    EXPECT_EQ("0", valueOf(text, channelSeries("orval_channel_failed_runs_total", 1)));
    EXPECT_EQ("(none)", valueOf(text, channelSeries("orval_channel_state", 3)));
    EXPECT_EQ("1", valueOf(text, "orval_running_slots"));
    EXPECT_EQ("1", valueOf(text, "orval_build_info{version=\"5.13.4.1\"}"));
    EXPECT_GT(std::stod(valueOf(text, "orval_uptime_seconds")), 0.0);
    long requests = std::stol(valueOf(text, "orval_http_requests_total"));
    EXPECT_EQ(std::to_string(requests + 1), valueOf(metrics(), "orval_http_requests_total"));

    PromtoolCheck check = promtoolCheckMetrics(text);
    ORVAL_REQUIRE_PROMTOOL(check);
    EXPECT_EQ(0, check.status) << check.output;
    EXPECT_EQ("", check.output);

    writeFile(dir / "bin/go", "");
    ASSERT_TRUE(waitForValue(channelSeries("orval_channel_stream_time_seconds", 1), "9"));
    EXPECT_EQ("1200000", valueOf(metrics(), channelSeries("orval_channel_bitrate", 1)));

    writeFile(dir / "bin/end", "");
    ASSERT_TRUE(waitForValue(channelSeries("orval_channel_restarts_total", 1), "1"));
    text = metrics();
    EXPECT_EQ("2", valueOf(text, channelSeries("orval_channel_starts_total", 1)));
    EXPECT_EQ("3", valueOf(text, channelSeries("orval_channel_last_exit_status", 1)));
    EXPECT_EQ("0", valueOf(text, channelSeries("orval_channel_hang_kills_total", 1)));
    EXPECT_EQ("1", valueOf(text, channelSeries("orval_channel_failed_runs_total", 1)));  // status 3
    check = promtoolCheckMetrics(text);
    EXPECT_EQ(0, check.status) << check.output;
    EXPECT_EQ("", check.output);

    std::string history = get("/history1").body;
    EXPECT_EQ("exited", jsonValue(history, "[\"runs\"][0][\"ended\"]")) << history;
    EXPECT_EQ("3", jsonValue(history, "[\"runs\"][0][\"status\"]"));
    EXPECT_EQ("Error: the input vanished", jsonValue(history, "[\"runs\"][0][\"error\"]"));
}

TEST_F(MetricsHttpTest, HistoryAnswersConfiguredChannelsAndRunEndsReachTheServiceLog) {
    HttpReply reply = get("/HISTORY02x");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("application/json", reply.header("content-type"));
    EXPECT_EQ("no-cache", reply.header("cache-control"));
    EXPECT_EQ("{\"channel\":2,\"runs\":[],\"alarms\":[]}", reply.body);
    for (const char* path : {"/history3", "/history0", "/history65", "/history", "/history/1"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(404, get(path).status);
    }
    writeFile(dir / "bin/go", "");
    writeFile(dir / "bin/end", "");
    std::string log = root + "/var/orval/log/orval.log";
    EXPECT_TRUE(waitUntil([&] {
        return readFile(log).find("channel 1 run ended: exited, status 3, after ") != std::string::npos;
    }, 10s)) << readFile(log);
    EXPECT_NE(std::string::npos, readFile(log).find("; last error: Error: the input vanished\n"));
    // Started again on the next file, and past its first report.
    ASSERT_TRUE(waitForValue(channelSeries("orval_channel_starts_total", 1), "2"));
    // Both reports may come in one read, of which the first counts.
    ASSERT_TRUE(waitUntil([&] {
        std::string seconds = valueOf(metrics(), channelSeries("orval_channel_stream_time_seconds", 1));
        return seconds == "5" || seconds == "9";
    }, 10s));
    EXPECT_EQ(0, endDaemon());
    EXPECT_NE(std::string::npos, readFile(log).find("channel 1 run ended: shutdown, status ")) << readFile(log);
}

namespace {

// Channel 1's launcher reports its source lost, the backup playing and its
// one target down once "lose" exists; once "back" exists the source is back
// and the picture black; once "end" exists it ends with the black and the
// target's alarms raised. Each trigger file is taken away when seen, so the
// restarted run waits again.
class AlarmsHttpTest : public MetricsHttpTest {
protected:
    std::string transcoderBody() const override {
        auto await = [](const char* name) {
            return std::string("while [ ! -f \"$here/") + name + "\" ]; do sleep 0.05; done; rm -f \"$here/" +
                   name + "\"\n";
        };
        return "printf 'frame=  1 size=   1kB time=00:00:05.00 bitrate= 800.0kbits/s speed=1x\\r'\n" +
               await("lose") +
               "printf 'frame=  2 time=00:00:06.00 bitrate= 800.0kbits/s\\rorval-alarm: raise source_lost\\n'\n"
               "printf 'orval-alarm: raise on_backup\\norval-alarm: raise target_down 1 Connection refused\\n'\n" +
               await("back") +
               "printf 'orval-alarm: clear on_backup\\norval-alarm: clear source_lost\\n"
               "orval-alarm: raise black\\n'\n" +
               await("end") + "exit 0";
    }
    std::string alarms() const { return get("/alarms").body; }
    std::string serviceLog() const { return readFile(root + "/var/orval/log/orval.log"); }
    bool waitForAlarms(const std::string& text) {
        return waitUntil([&] { return alarms() == text; }, 10s);
    }
    std::string alarmSeries(const char* kind) const {
        return std::string("orval_channel_alarm{channel=\"1\",kind=\"") + kind + "\"}";
    }
    static std::string targetSeries(int channel, int target) {
        return "orval_channel_target_up{channel=\"" + std::to_string(channel) + "\",target=\"" +
               std::to_string(target) + "\"}";
    }
};

}  // namespace

TEST_F(AlarmsHttpTest, RaisedAndClearedAlarmsShowInAllFourPlaces) {
    ASSERT_TRUE(waitForValue(channelSeries("orval_channel_stream_time_seconds", 1), "5"));
    HttpReply reply = get("/alarms");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("application/json", reply.header("content-type"));
    EXPECT_EQ("{\"alarms\":[]}", reply.body);
    std::string text = metrics();
    EXPECT_EQ("0", valueOf(text, alarmSeries("source_lost")));
    EXPECT_EQ("0", valueOf(text, channelSeries("orval_channel_on_backup", 1)));
    EXPECT_EQ("0", valueOf(text, channelSeries("orval_channel_source_losses_total", 1)));
    EXPECT_EQ("0", valueOf(text, channelSeries("orval_channel_on_backup", 2)));
    EXPECT_EQ("1", valueOf(text, targetSeries(1, 1)));
    EXPECT_EQ("1", valueOf(text, targetSeries(2, 1)));  // stopped, and no alarm
    EXPECT_EQ("(none)", valueOf(text, targetSeries(1, 2)));  // not configured

    time_t before = time(nullptr);
    writeFile(dir / "bin/lose", "");
    ASSERT_TRUE(waitUntil([&] { return alarms().find("\"target_down\"") != std::string::npos; }, 10s))
        << alarms();
    std::string now = alarms();
    EXPECT_EQ("on_backup", jsonValue(now, "[\"alarms\"][1][\"kind\"]"));
    EXPECT_EQ("target_down", jsonValue(now, "[\"alarms\"][2][\"kind\"]"));
    EXPECT_EQ("1", jsonValue(now, "[\"alarms\"][2][\"target\"]"));
    EXPECT_EQ("1", jsonValue(now, "[\"alarms\"][0][\"channel\"]"));
    EXPECT_EQ("source_lost", jsonValue(now, "[\"alarms\"][0][\"kind\"]"));
    long since = std::stol(jsonValue(now, "[\"alarms\"][0][\"since\"]").value_or("0"));
    EXPECT_GE(since, before);
    EXPECT_LE(since, time(nullptr));
    text = metrics();
    EXPECT_EQ("1", valueOf(text, alarmSeries("source_lost")));
    EXPECT_EQ("1", valueOf(text, alarmSeries("on_backup")));
    EXPECT_EQ("0", valueOf(text, alarmSeries("black")));
    EXPECT_EQ("1", valueOf(text, channelSeries("orval_channel_on_backup", 1)));
    EXPECT_EQ("1", valueOf(text, channelSeries("orval_channel_source_losses_total", 1)));
    // Its every target down, the channel still runs.
    EXPECT_EQ("0", valueOf(text, targetSeries(1, 1)));
    EXPECT_EQ("1", valueOf(text, channelSeries("orval_channel_state", 1)));
    PromtoolCheck check = promtoolCheckMetrics(text);
    ORVAL_REQUIRE_PROMTOOL(check);
    EXPECT_EQ(0, check.status) << check.output;
    EXPECT_EQ("", check.output);

    writeFile(dir / "bin/back", "");
    ASSERT_TRUE(waitUntil([&] { return alarms().find("\"black\"") != std::string::npos; }, 10s))
        << alarms();
    EXPECT_EQ("black", jsonValue(alarms(), "[\"alarms\"][0][\"kind\"]"));
    EXPECT_EQ("target_down", jsonValue(alarms(), "[\"alarms\"][1][\"kind\"]"));
    EXPECT_EQ(std::nullopt, jsonValue(alarms(), "[\"alarms\"][2]"));
    text = metrics();
    EXPECT_EQ("0", valueOf(text, channelSeries("orval_channel_on_backup", 1)));
    EXPECT_EQ("1", valueOf(text, channelSeries("orval_channel_source_losses_total", 1)));
    EXPECT_EQ("1", valueOf(text, alarmSeries("black")));

    // The run ends with the picture black and the target down: their alarms
    // are cleared with it.
    writeFile(dir / "bin/end", "");
    ASSERT_TRUE(waitForAlarms("{\"alarms\":[]}"));
    EXPECT_EQ("0", valueOf(metrics(), alarmSeries("black")));
    EXPECT_EQ("1", valueOf(metrics(), targetSeries(1, 1)));
    // Status 0: the folder's next file follows, and nothing failed.
    ASSERT_TRUE(waitForValue(channelSeries("orval_channel_starts_total", 1), "2"));
    EXPECT_EQ("0", valueOf(metrics(), channelSeries("orval_channel_failed_runs_total", 1)));
    std::string history = get("/history1").body;
    // What follows "kind": in each event, in order.
    const char* target = R"("target_down","target":1)";
    const char* expected[][2] = {{R"("source_lost")", "raised"}, {R"("on_backup")", "raised"},
                                 {target, "raised"},           {R"("on_backup")", "cleared"},
                                 {R"("source_lost")", "cleared"}, {R"("black")", "raised"},
                                 {target, "cleared"},          {R"("black")", "cleared"}};
    ASSERT_TRUE(jsonValid(history)) << history;
    size_t at = history.find("\"alarms\":[");
    for (const auto& [kind, event] : expected) {
        // In order, each with its time.
        at = history.find(std::string(",\"kind\":") + kind + ",\"event\":\"" + event + "\"}", at);
        ASSERT_NE(std::string::npos, at) << kind << " " << event << " in " << history;
    }
    EXPECT_GE(std::stol(jsonValue(history, "[\"alarms\"][0][\"time\"]").value_or("0")), before);
    EXPECT_EQ(std::nullopt, jsonValue(history, "[\"alarms\"][8]"));
    EXPECT_EQ("exited", jsonValue(history, "[\"runs\"][0][\"ended\"]"));
    EXPECT_EQ("", jsonValue(history, "[\"runs\"][0][\"error\"]"));  // an alarm's reason is none
    std::string log = serviceLog();
    for (const char* line : {"channel 1 alarm raised: source_lost\n", "channel 1 alarm raised: on_backup\n",
                             "channel 1 alarm cleared: on_backup\n", "channel 1 alarm cleared: source_lost\n",
                             "channel 1 alarm raised: black\n", "channel 1 alarm cleared: black\n",
                             "channel 1 target 1 alarm raised: target_down (Connection refused)\n",
                             "channel 1 target 1 alarm cleared: target_down\n"})
        EXPECT_NE(std::string::npos, log.find(line)) << line << log;
}

namespace {

constexpr const char* kPassword = "secret";

class GuardedMetricsTest : public WebTest {
protected:
    std::string settings() const override {
        return std::string("LoginPass ") + kPassword + "\n" + channelBlock(1, dir / "clip.ts", 0);
    }
};

}  // namespace

TEST_F(GuardedMetricsTest, BothPathsNeedTheSessionCookieAndObeyTheAccessList) {
    for (const char* path : {"/metrics", "/history1", "/alarms"}) {
        SCOPED_TRACE(path);
        HttpReply anonymous = get(path);
        EXPECT_EQ(200, anonymous.status);
        EXPECT_EQ("text/html", anonymous.header("content-type"));
        EXPECT_EQ(std::string::npos, anonymous.body.find("orval_"));
        HttpReply scraper = get(path, std::string("Cookie: auth=") + kPassword + "\r\n");
        EXPECT_EQ(200, scraper.status);
        EXPECT_NE("text/html", scraper.header("content-type"));
    }
    EXPECT_NE(std::string::npos,
              get("/metrics", "Cookie: auth=secret\r\n").body.find("orval_channel_state{channel=\"1\"} 0\n"));
    // A scraper without cookies sends the cookie's value as a bearer token.
    HttpReply bearer = get("/metrics", "Authorization: Bearer secret\r\n");
    EXPECT_EQ("text/plain; version=0.0.4", bearer.header("content-type"));
    for (const char* wrong : {"Bearer Secret", "Basic c2VjcmV0", "Bearer ", "secret"}) {
        SCOPED_TRACE(wrong);
        EXPECT_EQ("text/html", get("/metrics", std::string("Authorization: ") + wrong + "\r\n").header("content-type"));
    }
    writeFile(aclFile, "deny 127.0.0.1\n");
    HttpReply denied = get("/metrics", "Cookie: auth=secret\r\n");
    EXPECT_EQ(403, denied.status);
    EXPECT_EQ("", denied.body);
}

TEST(MetricsText, TheSetOfNamesIsTheSameForNoChannelAndSixtyFour) {
    OrvaMetricsSample none;
    none.version = "1.2 \"x\\y\"";
    OrvaMetricsSample full = none;
    for (int n = 1; n <= 64; n++) {
        full.channels.push_back({n, n % 3, n * 10, n * 1000LL, 5, 2, 1, 137});
        full.channels.back().targets = n % 6;
    }
    std::string empty = orvaComposeMetrics(none);
    std::string busy = orvaComposeMetrics(full);
    std::set<std::string> emptyNames = metricNames(empty);
    std::set<std::string> busyNames = metricNames(busy);
    for (const char* name : {"orval_channel_state", "orval_channel_enabled",
                             "orval_channel_stream_time_seconds", "orval_channel_failed_runs_total",
                             "orval_channel_bitrate", "orval_channel_starts_total",
                             "orval_channel_restarts_total", "orval_channel_hang_kills_total",
                             "orval_channel_last_exit_status", "orval_channel_alarm",
                             "orval_channel_on_backup", "orval_channel_source_losses_total",
                             "orval_channel_target_up"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(emptyNames.contains(std::string("declared ") + name));
        EXPECT_FALSE(emptyNames.contains(std::string("series ") + name));
        EXPECT_TRUE(busyNames.contains(std::string("series ") + name));
        emptyNames.insert(std::string("series ") + name);  // the per-channel series apart
    }
    EXPECT_EQ(busyNames, emptyNames);
    EXPECT_EQ("640", valueOf(busy, channelSeries("orval_channel_stream_time_seconds", 64)));
    EXPECT_EQ("1", valueOf(busy, "orval_build_info{version=\"1.2 \\\"x\\\\y\\\"\"}"));
    for (const std::string& text : {empty, busy}) {
        PromtoolCheck check = promtoolCheckMetrics(text);
        ORVAL_REQUIRE_PROMTOOL(check);
        EXPECT_EQ(0, check.status) << check.output;
        EXPECT_EQ("", check.output);
    }
}
