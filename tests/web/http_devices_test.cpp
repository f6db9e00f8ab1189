// The device endpoints over real HTTP against the daemon, with the stand-ins
// for the DeckLink driver library and the NDI runtime found through the
// loader path the daemon inherits: the lists as the page reads them,
// searches that run side by side without holding up the status, end at their
// timeout and are cut short by the stop, and libraries that are missing at
// first and found once they are installed.
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "web/json_check.h"
#include "web/web_fixture.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A capture card with two modes and a playback side, and a playback-only card.
constexpr const char* kCards =
    "card DeckLink Duo \"A\" \\ 1\n"
    "input Hi59 1920 1080 30000 1001 lowr\n"
    "input Hp25 1920 1080 25000 1000 prog\n"
    "output Hp50 1920 1080 50000 1000 prog\n"
    "card Mini Monitor\n"
    "output ntsc 720 486 30000 1001 lowr\n";

// A source at once and one that appears 300 ms into the search.
constexpr const char* kSources =
    "source 0 192.168.1.20:5961 STUDIO (Camera \"1\")\n"
    "source 300 192.168.1.21:5961 EDIT\\PC (Program)\n";

class DevicesHttpTest : public WebTest {
protected:
    // Where the daemon's loader looks for the driver libraries.
    virtual std::string libraryFolder() const { return ORVAL_FAKES_DIR; }
    virtual std::string ndiSources() const { return kSources; }
    void SetUp() override {
        // The daemon inherits these; its loader takes the path when it starts.
        setenv("LD_LIBRARY_PATH", libraryFolder().c_str(), 1);
        setenv("ORVAL_FAKE_DECKLINK", kCards, 1);
        setenv("ORVAL_FAKE_NDI", ndiSources().c_str(), 1);
        setenv("ORVAL_DEVICE_RETRY_SECONDS", "1", 1);
        WebTest::SetUp();
    }
    void TearDown() override {
        WebTest::TearDown();
        unsetenv("LD_LIBRARY_PATH");
        unsetenv("ORVAL_FAKE_DECKLINK");
        unsetenv("ORVAL_FAKE_NDI");
        unsetenv("ORVAL_DEVICE_RETRY_SECONDS");
    }
};

// A source every 0.9 s, for ten seconds.
class AppearingSourcesHttpTest : public DevicesHttpTest {
protected:
    std::string ndiSources() const override {
        std::string sources;
        for (int i = 1; i <= 11; i++)
            sources += "source " + std::to_string(900 * i) + " 10.0.0." + std::to_string(i) + ":5961 HOST-" +
                       std::to_string(i) + "\n";
        return sources;
    }
};

// The loader path holds no driver library when the daemon starts.
class MissingDevicesHttpTest : public DevicesHttpTest {
protected:
    std::string folder = dir / "drivers";
    std::string libraryFolder() const override { return folder; }
    void SetUp() override {
        std::filesystem::create_directories(folder);
        DevicesHttpTest::SetUp();
    }
    void install(const char* library) {
        std::filesystem::copy_file(std::string(ORVAL_FAKES_DIR) + "/" + library, folder + "/" + library);
    }
    long serviceLogLines(const std::string& text) const {
        std::string log = readFile(root + "/var/orval/log/orval.log");
        long lines = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            lines++;
        return lines;
    }
};

std::chrono::milliseconds since(Clock::time_point begin) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
}

}  // namespace

TEST_F(DevicesHttpTest, DecklinkListsTheCaptureAndThePlaybackSideOfEachCard) {
    HttpReply capture = get("/decklink_config");
    ASSERT_EQ(200, capture.status);
    EXPECT_EQ("application/json", capture.header("content-type"));
    EXPECT_EQ("no-cache", capture.header("pragma"));
    ASSERT_TRUE(jsonValid(capture.body)) << capture.body;
    EXPECT_EQ("[{\"name\":\"DeckLink Duo \\\"A\\\" \\\\ 1\",\"formats\":["
              "{\"fmtcode\":1214854457,\"width\":1920,\"height\":1080,\"numFrame\":30000,"
              "\"denFrame\":1001,\"interlaced\":1},"
              "{\"fmtcode\":1215312437,\"width\":1920,\"height\":1080,\"numFrame\":25000,"
              "\"denFrame\":1000,\"interlaced\":0}]},"
              "{\"name\":\"Mini Monitor\",\"formats\":[]}]",
              jsonValue(capture.body, "[\"devices\"]"));

    HttpReply playback = get("/decklink_config?output=1");
    ASSERT_EQ(200, playback.status);
    EXPECT_EQ("{ \"devices\": [\n"
              "  { \"name\": \"DeckLink Duo \\\"A\\\" \\\\ 1\",\n"
              "  \"formats\": [\n"
              "  { \"fmtcode\": 1215313200, \"width\": 1920, \"height\": 1080, \"numFrame\": 50000, "
              "\"denFrame\": 1000, \"interlaced\": 0 }\n"
              "  ]\n  },\n"
              "  { \"name\": \"Mini Monitor\",\n"
              "  \"formats\": [\n"
              "  { \"fmtcode\": 1853125475, \"width\": 720, \"height\": 486, \"numFrame\": 30000, "
              "\"denFrame\": 1001, \"interlaced\": 1 }\n"
              "  ]\n  }\n"
              " ]\n}\n",
              playback.body);
    EXPECT_TRUE(jsonValid(playback.body));
}

TEST_F(DevicesHttpTest, NdiListsTheSourcesOfASearchHeldToAtLeastOneSecond) {
    auto begin = Clock::now();
    HttpReply reply = get("/ndi_config?timeout=1");
    auto took = since(begin);
    ASSERT_EQ(200, reply.status);
    EXPECT_EQ("application/json", reply.header("content-type"));
    EXPECT_EQ("no-cache", reply.header("cache-control"));
    EXPECT_EQ("{ \"sources\": [\n"
              "  { \"name\": \"STUDIO (Camera \\\"1\\\")\", \"addr\": \"192.168.1.20:5961\" }\n,\n"
              "  { \"name\": \"EDIT\\\\PC (Program)\", \"addr\": \"192.168.1.21:5961\" }\n\n"
              " ]\n}\n",
              reply.body);
    EXPECT_EQ("EDIT\\PC (Program)", jsonValue(reply.body, "[\"sources\"][1][\"name\"]"));
    // The late source is listed; the search still ends at its timeout.
    EXPECT_GE(took, 1000ms);
    EXPECT_LT(took, 2000ms);

    // No wait at all is taken as the shortest search.
    begin = Clock::now();
    EXPECT_TRUE(jsonValid(get("/ndi_config?timeout=0").body));
    EXPECT_GE(since(begin), 1000ms);
}

TEST_F(DevicesHttpTest, TwoSlowSearchesRunSideBySideAndTheStatusAnswersAtOnce) {
    auto begin = Clock::now();
    std::vector<std::future<HttpReply>> searches;
    for (int i = 0; i < 2; i++)
        searches.push_back(std::async(std::launch::async, [&] { return get("/ndi_config?timeout=2"); }));
    std::this_thread::sleep_for(200ms);  // both searches are under way

    int polls = 0;
    while (since(begin) < 1800ms) {
        auto asked = Clock::now();
        HttpReply status = get("/status");
        EXPECT_EQ(200, status.status);
        EXPECT_LT(since(asked), 500ms);
        polls++;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_GE(polls, 5);
    std::vector<HttpReply> replies;
    for (auto& search : searches)
        replies.push_back(search.get());
    // Side by side: both within about one search's time, not two.
    EXPECT_GE(since(begin), 2000ms);
    EXPECT_LT(since(begin), 4000ms);
    for (const HttpReply& reply : replies) {
        EXPECT_EQ(200, reply.status);
        EXPECT_EQ("STUDIO (Camera \"1\")", jsonValue(reply.body, "[\"sources\"][0][\"name\"]"));
    }
}

// The search's answer comes after its connection waited; a request sent
// behind it on the same connection is answered next, in order.
TEST_F(DevicesHttpTest, ARequestBehindASearchOnItsConnectionIsAnsweredAfterIt) {
    HttpConnection connection(port);
    ASSERT_TRUE(connection.send(httpRequest("GET", "/ndi_config?timeout=1") +
                                httpRequest("GET", "/status")));
    std::optional<HttpReply> search = connection.read();
    ASSERT_TRUE(search.has_value());
    EXPECT_EQ(200, search->status);
    EXPECT_EQ("STUDIO (Camera \"1\")", jsonValue(search->body, "[\"sources\"][0][\"name\"]"));
    std::optional<HttpReply> status = connection.read();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(200, status->status);
    EXPECT_NE(std::string::npos, status->body.find("<")) << status->body;

    // The connection stays open for more.
    ASSERT_TRUE(connection.send(httpRequest("GET", "/decklink_config")));
    std::optional<HttpReply> cards = connection.read();
    ASSERT_TRUE(cards.has_value());
    EXPECT_EQ("Mini Monitor", jsonValue(cards->body, "[\"devices\"][1][\"name\"]"));
}

TEST_F(AppearingSourcesHttpTest, SourcesThatKeepAppearingDoNotHoldTheSearchBeyondItsTimeout) {
    auto begin = Clock::now();
    HttpReply reply = get("/ndi_config?timeout=2");
    auto took = since(begin);
    ASSERT_EQ(200, reply.status);
    EXPECT_EQ("HOST-2", jsonValue(reply.body, "[\"sources\"][1][\"name\"]")) << reply.body;
    EXPECT_FALSE(jsonValue(reply.body, "[\"sources\"][2]").has_value()) << reply.body;
    EXPECT_GE(took, 2000ms);
    EXPECT_LT(took, 2500ms);
}

// A stop during searches answers their clients 503 at once and never waits
// for a search: systemd kills a service that outlasts its stop time-out
// before it has written its configuration. A timeout beyond the range of a
// long is the longest search, not the shortest.
TEST_F(AppearingSourcesHttpTest, ATerminationDuringSearchesAnswers503AndEndsAtOnceWithTheConfigurationWritten) {
    std::vector<std::future<HttpReply>> searches;
    for (const char* timeout : {"60", "99999999999999999999"})
        searches.push_back(std::async(std::launch::async, [&, timeout] {
            return get(std::string("/ndi_config?timeout=") + timeout);
        }));
    std::this_thread::sleep_for(1500ms);
    for (auto& search : searches)
        ASSERT_EQ(std::future_status::timeout, search.wait_for(0ms)) << "the search ended early";
    writeFile(confFile, "# not yet written back\n");

    auto begin = Clock::now();
    pid_t pid = daemonPid();
    ASSERT_EQ(0, kill(pid, SIGTERM));
    for (auto& search : searches) {
        ASSERT_EQ(std::future_status::ready, search.wait_for(3000ms));
        EXPECT_EQ(503, search.get().status);
    }
    EXPECT_EQ(0, waitForEnd(pid, 6s));
    ended = true;
    EXPECT_LT(since(begin), 2000ms);
    EXPECT_NE(std::string::npos, readFile(confFile).find("HTTPPort " + std::to_string(port) + "\n"))
        << readFile(confFile);
}

// "Not installed" is not "nothing connected"; a library installed while the
// service runs is found without a restart, and the log says what was tried
// once per attempt, not once per request.
TEST_F(MissingDevicesHttpTest, AMissingLibraryIsReportedAndFoundOnceItIsInstalled) {
    HttpReply cards = get("/decklink_config");
    ASSERT_EQ(200, cards.status);
    EXPECT_EQ("{ \"devices\": [\n ],\n  \"error\": \"DeckLink driver not installed\"\n}\n", cards.body);
    HttpReply sources = get("/ndi_config?timeout=1");
    ASSERT_EQ(200, sources.status);
    EXPECT_EQ("{ \"sources\": [\n ],\n  \"error\": \"NDI runtime not found\"\n}\n", sources.body);
    EXPECT_TRUE(jsonValid(sources.body));
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(cards.body, get("/decklink_config").body);
    long attempts = serviceLogLines("DeckLink library libDeckLinkAPI.so cannot be opened");
    EXPECT_GE(attempts, 1);
    EXPECT_LE(attempts, 3) << readFile(root + "/var/orval/log/orval.log");
    EXPECT_NE(std::string::npos, readFile(root + "/var/orval/log/orval.log").find("libndi.so.6"));

    install("libDeckLinkAPI.so");
    install("libndi.so.3");
    // Looked for again at most once a second here.
    EXPECT_TRUE(waitUntil([&] { return get("/decklink_config").body.find("error") == std::string::npos; }, 3000ms));
    EXPECT_EQ("Mini Monitor", jsonValue(get("/decklink_config").body, "[\"devices\"][1][\"name\"]"));
    std::this_thread::sleep_for(1000ms);
    sources = get("/ndi_config?timeout=1");
    EXPECT_EQ("STUDIO (Camera \"1\")", jsonValue(sources.body, "[\"sources\"][0][\"name\"]")) << sources.body;
    EXPECT_FALSE(jsonValue(sources.body, "[\"error\"]").has_value());
}
