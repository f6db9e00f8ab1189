// The device endpoints over real HTTP against the daemon, with the stand-ins
// for the DeckLink driver library and the NDI runtime found through the
// loader path the daemon inherits: the lists as the page reads them, and
// searches that run side by side without holding up the status.
#include <stdlib.h>

#include <chrono>
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
    void SetUp() override {
        // The daemon inherits these; its loader takes the path when it starts.
        setenv("LD_LIBRARY_PATH", ORVAL_FAKES_DIR, 1);
        setenv("ORVAL_FAKE_DECKLINK", kCards, 1);
        setenv("ORVAL_FAKE_NDI", kSources, 1);
        WebTest::SetUp();
    }
    void TearDown() override {
        WebTest::TearDown();
        unsetenv("LD_LIBRARY_PATH");
        unsetenv("ORVAL_FAKE_DECKLINK");
        unsetenv("ORVAL_FAKE_NDI");
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
    // The late source extends the search by another full second.
    EXPECT_GE(took, 1200ms);
    EXPECT_LT(took, 3000ms);

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
    for (auto& search : searches) {
        HttpReply reply = search.get();
        EXPECT_EQ(200, reply.status);
        EXPECT_EQ("STUDIO (Camera \"1\")", jsonValue(reply.body, "[\"sources\"][0][\"name\"]"));
    }
    // Side by side: both within about one search's time, not two.
    EXPECT_GE(since(begin), 2000ms);
    EXPECT_LT(since(begin), 4000ms);
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
