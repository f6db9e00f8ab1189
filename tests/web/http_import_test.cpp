// An import while channels run, over real HTTP against the daemon: every
// transcoder of the old table ends before the table is replaced, and the
// enabled channels of the imported file start.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <vector>

#include "service/fleet_fixture.h"
#include "web/web_fixture.h"

using namespace std::chrono_literals;

namespace {

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A process the daemon has ended and reaped.
bool gone(pid_t pid) { return kill(pid, 0) != 0; }

// Channel 1 plays "old1.ts" in a transcoder that ignores the orderly stop;
// channel 2 is time-shifted, a recorder and a player on "old2.ts".
class ImportHttpTest : public WebTest {
protected:
    std::string transcoderBody() const override {
        return "printf '%s %s env:%s:%s:%s\\n' \"$$\" \"$line\" \"$ORVAL_SOURCE_TIMEOUT\" "
               "\"$ORVAL_ALARM_FREEZE\" \"$ORVAL_BACKUP\" >> \"$here/procs.txt\"\n"
               "case \"$line\" in *old1.ts*) trap '' INT ;; esac\nexec sleep 30";
    }
    std::string settings() const override {
        return withLines(channelBlock(1, media("old1.ts"), 1), "SourceTimeout 3000\nBackupSource \"/old/b.ts\"\n") +
               withLines(timeShifted(2, media("old2.ts")), "AlarmBlackSec 5\n");
    }
    // A channel block with `lines` at its end.
    static std::string withLines(std::string block, const std::string& lines) {
        return block.insert(block.rfind("</Channel"), lines);
    }
    std::string procLineOf(const std::string& path) const {
        std::istringstream in(readFile(dir / "bin/procs.txt"));
        for (std::string line; std::getline(in, line);)
            if (holds(line, "-i \"" + path + "\""))
                return line;
        return "";
    }
    void SetUp() override {
        std::filesystem::create_directories(dir / "media");
        for (const char* name : {"old1.ts", "old2.ts", "new1.ts", "new2.ts"})
            writeFile(media(name), "");
        WebTest::SetUp();
    }

    std::string media(const std::string& name) const { return dir / ("media/" + name); }
    std::string timeShifted(int number, const std::string& source) const {
        std::string block = channelBlock(number, source, 1);
        std::string lines = "TimeShiftSec 30\nTimeShiftCacheFolder \"" + dir / "cache" + "\"\n";
        return block.insert(block.find("</Output>\n"), lines);
    }
    // Every transcoder started on the file `path`, by process id.
    std::vector<pid_t> pidsOn(const std::string& path) const {
        std::istringstream in(readFile(dir / "bin/procs.txt"));
        std::vector<pid_t> pids;
        for (std::string line; std::getline(in, line);)
            if (holds(line, "-i \"" + path + "\""))
                pids.push_back(std::stoi(line));
        return pids;
    }
    // The processes the daemon has started and not yet reaped, on all its threads.
    size_t daemonChildren() const {
        size_t n = 0;
        std::string tasks = "/proc/" + std::to_string(daemonPid()) + "/task";
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
            std::istringstream in(readFile(task.path().string() + "/children"));
            for (pid_t pid; in >> pid;)
                n++;
        }
        return n;
    }
};

}  // namespace

TEST_F(ImportHttpTest, RunningChannelsEndBeforeTheImportedOnesStart) {
    const std::string feed = dir / "cache/feed002.ffm";
    ASSERT_TRUE(waitUntil([&] {
        return pidsOn(media("old1.ts")).size() == 1 && pidsOn(media("old2.ts")).size() == 1 &&
               pidsOn(feed).size() == 1;
    }, 5s));
    std::vector<pid_t> old = {pidsOn(media("old1.ts"))[0], pidsOn(media("old2.ts"))[0], pidsOn(feed)[0]};
    ASSERT_EQ(3u, daemonChildren());

    const std::string imported = "# Kestova Configuration File\n\nAutoRestart 0\nHTTPPort " +
                                 std::to_string(port) + "\n\n" +
                                 withLines(channelBlock(1, media("new1.ts"), 1), "AlarmFreezeSec 20\n") +
                                 channelBlock(2, media("new2.ts"), 0);
    auto begin = std::chrono::steady_clock::now();
    HttpReply reply = post("/import", multipart(imported),
                           "Content-Type: multipart/form-data; boundary=----b0undary\r\n");
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(301, reply.status);
    EXPECT_EQ("/", reply.header("location"));
    // The transcoder that ignores the orderly stop is killed after about three seconds.
    EXPECT_GT(took, 2500ms);
    EXPECT_LT(took, 4500ms);
    for (pid_t pid : old)
        EXPECT_TRUE(gone(pid)) << pid;  // already reaped when the reply came

    ASSERT_TRUE(waitUntil([&] { return pidsOn(media("new1.ts")).size() == 1; }, 5s));
    EXPECT_TRUE(pidsOn(media("new2.ts")).empty());  // imported, but not to run
    EXPECT_EQ(1u, daemonChildren());
    std::string status = get("/status").body;
    // Every channel may hold another record after an import: each revision moves on.
    EXPECT_TRUE(holds(status, "<ch id=\"1\" rev=\"1\"><state>start</state><status>RUNNING</status></ch>\n"
                              "<ch id=\"2\" rev=\"1\"><state>stop</state><status>STOPPED</status></ch>\n"
                              "<ch id=\"3\" rev=\"1\"></ch>\n"))
        << status;
    EXPECT_TRUE(holds(readFile(confFile), media("new1.ts")));
    EXPECT_FALSE(holds(readFile(confFile), "old1.ts"));
    // The channels' continuity settings are the imported file's, defaults where it has none.
    EXPECT_TRUE(procLineOf(media("old1.ts")).ends_with(" env:3000:10:/old/b.ts"));
    EXPECT_TRUE(procLineOf(media("new1.ts")).ends_with(" env:1000:20:")) << procLineOf(media("new1.ts"));
    EXPECT_TRUE(holds(get("/channel1").body, "<bsrc></bsrc>\n<stimeout>1000</stimeout>\n<ablack>10</ablack>\n"
                                             "<afreeze>20</afreeze>\n"));
    EXPECT_TRUE(holds(get("/channel2").body, "<ablack>10</ablack>\n"));
    EXPECT_FALSE(holds(readFile(confFile), "/old/b.ts"));
}

namespace {

// Three boxes, each with channels of its own (the third behind a password),
// take one configuration pushed with curl as the README shows it.
class FleetImportTest : public FleetTest {
protected:
    // curl's status line for the upload of `file` to `box` with the cookie `auth`.
    std::string push(const Box& box, const std::string& file, const std::string& auth) const {
        std::string command = "curl -s --max-time 10 -o /dev/null -w '%{http_code}' -b 'auth=" + auth +
                              "' -F 'file=@" + file + "' http://127.0.0.1:" + std::to_string(box.port) +
                              "/import";
        return commandOutput(command).value_or("curl failed");
    }
    HttpReply download(const Box& box, const std::string& auth) const {
        return httpExchange(box.port, httpRequest("GET", "/orval.conf", "Cookie: auth=" + auth + "\r\n"));
    }
};

}  // namespace

TEST_F(FleetImportTest, AnImportAcceptedByThreeBoxesLeavesAllThreeWithTheSameChannels) {
    std::vector<Box> fleet = {startBox("a", channelBlock(1, "/media/a.ts", 0)),
                              startBox("b", channelBlock(1, "/media/b1.ts", 0) + channelBlock(2, "/media/b2.ts", 0) +
                                                channelBlock(3, "/media/b3.ts", 0)),
                              startBox("c", "LoginPass old\n")};
    // The fleet's file: its password travels with it, as every setting does.
    const std::string file = dir / "fleet.conf";
    writeFile(file, "# Kestova Configuration File\n\nAutoRestart 0\nLoginPass f&p\n\n" +
                        channelBlock(1, "/media/one.ts", 0) + channelBlock(2, "/media/two.ts", 0));
    const std::vector<std::string> cookies = {"", "", "old"};
    for (size_t i = 0; i < fleet.size(); i++)
        EXPECT_EQ("301", push(fleet[i], file, cookies[i])) << fleet[i].name;

    std::string first = download(fleet[0], "f%26p").body;
    EXPECT_NE(std::string::npos, first.find("/media/two.ts"));
    EXPECT_EQ(std::string::npos, first.find("/media/b3.ts"));
    for (const Box& box : fleet) {
        SCOPED_TRACE(box.name);
        EXPECT_EQ(first, readFile(boxConfFile(box)));
        EXPECT_EQ(first, download(box, "f%26p").body);
    }
    // A script tells a refusal from a success: nothing, or nothing usable, is 400.
    writeFile(dir / "empty.conf", "");
    writeFile(dir / "notes.txt", "just some notes\n");
    for (const char* name : {"empty.conf", "notes.txt"})
        EXPECT_EQ("400", push(fleet[1], dir / name, "f%26p")) << name;
    EXPECT_EQ(first, readFile(boxConfFile(fleet[1])));
}
