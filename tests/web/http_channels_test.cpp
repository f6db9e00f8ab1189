// The status and channel endpoints over real HTTP against the daemon: the
// path reaches the right channel, actions reach its transcoder, edits and
// removals reach the configuration file.
#include <signal.h>

#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "web/web_fixture.h"

using namespace std::chrono_literals;

namespace {

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

// A process the daemon has ended and reaped.
bool gone(pid_t pid) { return kill(pid, 0) != 0; }

bool isXml(const HttpReply& reply) {
    return reply.status == 200 && reply.header("content-type") == "text/xml" &&
           reply.header("pragma") == "no-cache" && reply.header("cache-control") == "no-cache";
}

// Channels 1 to 4 run, 5 to 7 are configured to stay stopped, the others are
// not configured. Channel n plays "media/clip<n>.ts".
class ChannelHttpTest : public WebTest {
protected:
    std::string transcoderBody() const override {
        return "printf '%s %s\\n' \"$$\" \"$line\" >> \"$here/procs.txt\"\nexec sleep 30";
    }
    std::string settings() const override {
        std::string blocks = "\n";
        for (int n : configured())
            blocks += channelBlock(n, clip(n), n <= 4 ? 1 : 0);
        return blocks;
    }
    virtual std::vector<int> configured() const { return {1, 2, 3, 4, 5, 6, 7}; }

    void SetUp() override {
        std::filesystem::create_directories(dir / "media");
        for (int n : configured())
            writeFile(clip(n), "");
        WebTest::SetUp();
    }

    std::string clip(int n) const { return dir / ("media/clip" + std::to_string(n) + ".ts"); }
    std::string procs() const { return readFile(dir / "bin/procs.txt"); }
    size_t starts() const { return count(procs(), "\n"); }
    // The last transcoder started on clip n; 0 when none was.
    pid_t pidOf(int n) const {
        std::istringstream in(procs());
        pid_t pid = 0;
        for (std::string line; std::getline(in, line);)
            pid = holds(line, clip(n) + "\"") ? std::stoi(line) : pid;
        return pid;
    }
    std::string status() const { return get("/status").body; }
    // `rev` is the channel's revision, which a line shows once it is not 0.
    static std::string opening(int n, int rev) {
        return "<ch id=\"" + std::to_string(n) + "\"" + (rev ? " rev=\"" + std::to_string(rev) + "\"" : "") + ">";
    }
    static std::string running(int n, int rev = 0) {
        return opening(n, rev) + "<state>start</state><status>RUNNING</status></ch>\n";
    }
    static std::string stopped(int n, int rev = 0) {
        return opening(n, rev) + "<state>stop</state><status>STOPPED</status></ch>\n";
    }
};

class RemoveHttpTest : public ChannelHttpTest {
protected:
    std::vector<int> configured() const override { return {1, 2, 3, 4}; }
};

}  // namespace

TEST_F(ChannelHttpTest, TheStatusListsAll64ChannelsInOrderWithTheirStates) {
    ASSERT_TRUE(waitUntil([&] { return starts() == 4; }, 5s));
    HttpReply reply = get("/status");
    EXPECT_TRUE(isXml(reply));
    EXPECT_EQ(0u, reply.body.find("<root>\n<ch id=\"1\">"));
    EXPECT_EQ(64u, count(reply.body, "<ch id="));
    size_t last = 0;
    for (int n = 1; n <= 64; n++) {
        size_t at = reply.body.find("<ch id=\"" + std::to_string(n) + "\">");
        EXPECT_GT(at, last) << n;
        last = at;
    }
    EXPECT_TRUE(holds(reply.body, running(4) + stopped(5) + stopped(6) + stopped(7) +
                                      "<ch id=\"8\"></ch>\n"));
    EXPECT_TRUE(reply.body.ends_with("<ch id=\"64\"></ch>\n</root>"));
}

// A server thread sends the last status again while it has not changed; a
// client polling on one kept-alive connection must still see every change.
TEST_F(ChannelHttpTest, StatusPolledOnOneConnectionFollowsEveryChange) {
    ASSERT_TRUE(waitUntil([&] { return starts() == 4; }, 5s));
    HttpConnection poller(port);
    auto poll = [&] {
        std::optional<HttpReply> reply;
        if (poller.send(httpRequest("GET", "/status")))
            reply = poller.read();
        return reply ? reply->body : std::string();
    };
    const std::string first = poll();
    EXPECT_TRUE(holds(first, stopped(5)));
    EXPECT_EQ(first, poll());

    ASSERT_EQ(200, get("/channel5?start").status);
    EXPECT_TRUE(waitUntil([&] { return holds(poll(), running(5)); }, 5s));
    ASSERT_EQ(200, get("/channel5?stop").status);
    EXPECT_TRUE(waitUntil([&] { return holds(poll(), stopped(5)); }, 5s));
    EXPECT_EQ(first, poll());
}

TEST_F(ChannelHttpTest, ThePathNamesTheChannelAndOnly1To64Exist) {
    HttpReply read = get("/channel5");
    EXPECT_TRUE(isXml(read));
    EXPECT_TRUE(holds(read.body, "<url>" + clip(5) + "</url>"));
    EXPECT_TRUE(holds(get("/Channel7x").body, "<url>" + clip(7) + "</url>"));
    EXPECT_TRUE(holds(get("/channel07").body, "<url>" + clip(7) + "</url>"));
    for (const char* path : {"/channel8", "/channel", "/channel0?start", "/channel65?start"}) {
        SCOPED_TRACE(path);
        HttpReply reply = get(path);
        EXPECT_EQ(404, reply.status);
        EXPECT_EQ("", reply.body);
    }
    std::string saved = readFile(confFile);
    EXPECT_EQ(404, post("/channel65", "memo=x").status);
    EXPECT_EQ(404, post("/channel0", "memo=x").status);
    EXPECT_EQ(saved, readFile(confFile));
}

TEST_F(ChannelHttpTest, AnEditIsConvertedStoredAndSaved) {
    // The form as a browser sends it: "&" typed into a field arrives as %26.
    HttpReply edit = post("/channel5", "sfmt=file&surl=udp%3A%2F%2Fh%3A1%3Fa%3D1%26b%3D2"
                                       "&memo=a+b%26c&vy=720",
                          "Content-Type: application/x-www-form-urlencoded\r\n");
    EXPECT_EQ(200, edit.status);
    EXPECT_EQ("", edit.body);
    std::string read = get("/channel5").body;
    EXPECT_TRUE(holds(read, "<url>udp://h:1?a=1&amp;b=2</url>")) << read;
    EXPECT_TRUE(holds(read, "venable=\"0\" vcodec=\"H264\" width=\"0\" height=\"720\""));
    EXPECT_TRUE(holds(read, "<memo>a b&amp;c</memo>"));
    std::string saved = readFile(confFile);
    EXPECT_TRUE(holds(saved, "udp://h:1?a=1&b=2")) << saved;
    EXPECT_TRUE(holds(saved, "a b&c"));
    EXPECT_FALSE(holds(saved, clip(5)));

    // The edit moved the channel's revision on: an edit naming the old one is
    // refused and changes nothing, one naming the new one is applied.
    EXPECT_TRUE(holds(status(), stopped(5, 1)));
    HttpReply stale = post("/channel5", "rev=0&memo=late");
    EXPECT_EQ(409, stale.status);
    EXPECT_TRUE(holds(stale.body, "Channel 5 was changed meanwhile")) << stale.body;
    EXPECT_EQ(saved, readFile(confFile));
    EXPECT_EQ(200, post("/channel5", "rev=1&surl=%2Fx.ts&memo=current").status);
    EXPECT_TRUE(holds(get("/channel5").body, "<memo>current</memo>"));
    EXPECT_TRUE(holds(status(), stopped(5, 2)));
    EXPECT_TRUE(holds(saved, clip(7)));
}

TEST_F(ChannelHttpTest, StartAndStopActionsReachTheTranscoderAndAreNotSaved) {
    ASSERT_TRUE(waitUntil([&] { return starts() == 4; }, 5s));
    std::string saved = readFile(confFile);
    EXPECT_EQ(200, get("/channel5?start=1").status);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(0, pidOf(5));
    EXPECT_TRUE(holds(status(), stopped(5)));

    HttpReply start = get("/channel5?Start");
    EXPECT_EQ(200, start.status);
    EXPECT_EQ("", start.body);
    ASSERT_TRUE(waitUntil([&] { return pidOf(5) != 0; }, 5s));
    EXPECT_TRUE(holds(status(), running(5)));
    pid_t pid = pidOf(5);

    EXPECT_EQ(200, get("/channel5?stop").status);
    EXPECT_TRUE(waitUntil([&] { return gone(pid); }, 5s));
    EXPECT_TRUE(waitUntil([&] { return holds(status(), stopped(5)); }, 2s));
    EXPECT_EQ(5u, starts());
    EXPECT_EQ(saved, readFile(confFile));

    // A slot without a channel has nothing to start: refused with a reason.
    HttpReply empty = get("/channel8?start");
    EXPECT_EQ(400, empty.status);
    EXPECT_TRUE(holds(empty.body, "Channel 8 is not configured")) << empty.body;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(5u, starts());
    EXPECT_TRUE(holds(status(), "<ch id=\"8\"></ch>\n"));

    // The daemon saves when it ends: the run flags as the actions left them.
    EXPECT_EQ(200, get("/channel6?start").status);
    ASSERT_EQ(0, endDaemon());
    std::string atEnd = readFile(confFile);
    EXPECT_TRUE(holds(atEnd, "<Channel5>\nEnable 0\n"));
    EXPECT_TRUE(holds(atEnd, "<Channel6>\nEnable 1\n"));
    EXPECT_TRUE(holds(atEnd, "<Channel7>\nEnable 0\n"));
}

TEST_F(RemoveHttpTest, RemovingMovesTheRunningChannelsAfterItDown) {
    ASSERT_TRUE(waitUntil([&] { return starts() == 4; }, 5s));
    pid_t pids[5] = {0, pidOf(1), pidOf(2), pidOf(3), pidOf(4)};
    // A body sent along with an action is ignored.
    HttpReply remove = post("/channel2?remove", "memo=ignored");
    EXPECT_EQ(200, remove.status);
    EXPECT_EQ("", remove.body);
    EXPECT_TRUE(waitUntil([&] { return gone(pids[2]); }, 5s));
    // Every channel from 2 on holds another record now: its revision moves on.
    EXPECT_TRUE(holds(status(), running(1) + running(2, 1) + running(3, 1) + "<ch id=\"4\" rev=\"1\"></ch>\n" +
                                    "<ch id=\"5\" rev=\"1\"></ch>\n"));
    EXPECT_TRUE(holds(status(), "<ch id=\"64\" rev=\"1\"></ch>\n</root>"));
    EXPECT_TRUE(holds(get("/channel2").body, "<url>" + clip(3) + "</url>"));
    EXPECT_EQ(404, get("/channel4").status);

    std::string saved = readFile(confFile);
    EXPECT_EQ(3u, count(saved, dir / "media/clip"));
    EXPECT_FALSE(holds(saved, clip(2)));
    EXPECT_FALSE(holds(saved, "ignored"));
    EXPECT_LT(saved.find("<Channel2>"), saved.find(clip(3)));
    EXPECT_LT(saved.find(clip(4)), saved.find("</Channel3>"));

    // An action naming the revision the client saw before the removal acts on nothing.
    HttpReply stale = get("/channel2?stop&rev=0");
    EXPECT_EQ(409, stale.status);
    EXPECT_TRUE(holds(stale.body, "Channel 2 was changed meanwhile")) << stale.body;
    EXPECT_EQ(400, get("/channel2?stop&rev=x").status);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(gone(pids[3]));
    // Number 2 is now the former channel 3, with its transcoder.
    EXPECT_EQ(200, get("/channel2?stop&rev=1").status);
    EXPECT_TRUE(waitUntil([&] { return gone(pids[3]); }, 5s));
    EXPECT_FALSE(gone(pids[1]) || gone(pids[4]));
    EXPECT_TRUE(holds(status(), running(1) + stopped(2, 1) + running(3, 1)));
    EXPECT_EQ(4u, starts());
}
