// Removing a channel: the channels after it move one number down in the
// table and the configuration file, and running ones go on under their new
// number with their slots, folder playlist and pending restart.
#include <signal.h>

#include <sstream>

#include "engine/orva_slots.h"
#include "playlist/orva_playlist.h"
#include "web/channel_web_fixture.h"

using namespace std::chrono_literals;

namespace {

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The text of one channel's block in the configuration file.
std::string blockOf(const std::string& conf, int number) {
    std::string open = "<Channel" + std::to_string(number) + ">";
    size_t begin = conf.find(open);
    return begin == std::string::npos ? "" : conf.substr(begin, conf.find("</Channel", begin) - begin);
}

bool gone(pid_t pid) { return kill(pid, 0) != 0; }  // a zombie still counts: it is not reaped

class RemoveRunningTest : public ChannelWebTest {
protected:
    void SetUp() override {
        ChannelWebTest::SetUp();
        for (int i = 0; i < 5; i++) {
            char name[32];
            snprintf(name, sizeof name, "orva_%03d.pls", i + 1);
            g_orvaPlaylists[i].init((dir / name).c_str());
        }
    }
    // Every start leaves its pid and line in "procs.txt".
    std::string transcoderBody() const override {
        return "printf '%s %s\\n' \"$$\" \"$line\" >> \"$here/procs.txt\"\nexec sleep 30";
    }

    std::vector<std::pair<pid_t, std::string>> starts() const {
        std::istringstream in(readFile(dir / "procs.txt"));
        std::vector<std::pair<pid_t, std::string>> all;
        for (std::string line; std::getline(in, line);)
            all.emplace_back(std::stoi(line), line);
        return all;
    }
    // The last process whose line names the target "out<n>"; 0 for none.
    pid_t pidOf(int n) const {
        pid_t pid = 0;
        for (const auto& [p, line] : starts())
            pid = holds(line, "/out" + std::to_string(n) + "\"") ? p : pid;
        return pid;
    }
    // Runs supervision passes, as the service's loop does, until `done` holds.
    static bool supervise(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < end) {
            orvaSleep(20);
            orvaSupervisePass();
        }
        return done();
    }
};

using SlotSwapTest = EngineTest;

}  // namespace

TEST_F(SlotSwapTest, ARunningTranscoderIsReadAndStoppedUnderItsNewSlot) {
    ASSERT_EQ(0, initEngine("while [ ! -e \"$here/go\" ]; do sleep 0.05; done\n"
                            "echo 'frame=1 time=00:00:07.00 bitrate= 64.0kbits/s'\nexec sleep 30"));
    ASSERT_EQ(0, startSlot(5));
    ASSERT_EQ(0, orvaSwapSlots(5, 70));
    EXPECT_EQ(ORVA_STATE_IDLE, orvaGetState(5));
    writeFile(dir / "go", "");
    EXPECT_TRUE(pollUntil([] { return orvaGetStreamTime(70) == 7; }, 3s));
    orvaStop(70, ORVA_STOP_FORCED);
    EXPECT_TRUE(pollUntil([] { return orvaGetState(70) == ORVA_STATE_IDLE; }, 3s));
    EXPECT_EQ(ORVA_ERR_SLOT_RANGE, orvaSwapSlots(5, ORVA_SLOT_COUNT));
}

TEST_F(ChannelWebTest, RemovingMovesLaterChannelsDownAndRewritesTheFile) {
    const char* memos[] = {"one", "two", "three", "four", "five"};
    for (int i = 0; i < 5; i++)
        configure(i, memos[i]);
    act(2, "remove");
    for (int i : {0, 1, 2, 3})
        EXPECT_STREQ(memos[i < 2 ? i : i + 1], g_orvaChannels[i].Memo);
    EXPECT_FALSE(isChannelValid(4));
    const ORVA_CHANNEL_TAG& moved = g_orvaChannels[3];
    EXPECT_EQ(moved.Sources[0].File, moved.Sources[0].pszAddress);
    EXPECT_EQ(moved.Targets[0].File, moved.Targets[0].pszAddress);
    EXPECT_STREQ((dir / "out5").c_str(), moved.Targets[0].pszAddress);
    std::string conf1 = readFile(conf);
    EXPECT_TRUE(holds(blockOf(conf1, 4), "Memo \"five\""));
    EXPECT_FALSE(holds(conf1, "three"));

    configure(63, "last");
    ASSERT_EQ(0, orvaStartChannel(63));
    act(63, "remove");
    EXPECT_NE(ORVA_STATE_RUNNING, orvaGetState(63));
    static const ORVA_CHANNEL_TAG empty{};
    EXPECT_EQ(0, memcmp(&empty, &g_orvaChannels[63], sizeof empty));
    EXPECT_FALSE(holds(readFile(conf), "last"));
}

TEST_F(RemoveRunningTest, RunningChannelsGoOnUnderTheirNewNumbers) {
    g_globalSettings.AutoRestart = 1;
    std::filesystem::create_directories(dir / "clips");
    writeFile(dir / "clips/x.ts", "");
    for (int i = 0; i < 5; i++)
        configure(i).Enable = 1;
    copyText(g_orvaChannels[2].Sources[0].File, dir / "clips");
    g_orvaChannels[4].TimeShiftSec = 30;  // a recorder and a player
    copyText(g_orvaChannels[4].TimeShiftCacheFolder, dir / "cache");
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        for (int i = 0; i < 5; i++)
            ASSERT_EQ(0, orvaStartChannel(i));
    }
    ASSERT_TRUE(waitUntil([&] { return starts().size() == 6; }, 5s));
    pid_t second = pidOf(2), third = pidOf(3), fourth = pidOf(4);
    kill(fourth, SIGKILL);  // channel 4 ends and waits for its restart
    ASSERT_TRUE(supervise([] { return g_timers[3] != kOrvaNoTimer; }, 3s));

    act(1, "remove");
    EXPECT_NE(kOrvaNoTimer, g_timers[2]);
    EXPECT_EQ(kOrvaNoTimer, g_timers[3]);
    EXPECT_TRUE(holds(status(), "<ch id=\"2\"><state>start</state><status>x.ts</status></ch>\n"
                                "<ch id=\"3\"><state>stop</state><status>STOPPED</status></ch>\n"
                                "<ch id=\"4\"><state>start</state><status>RUNNING</status></ch>\n"
                                "<ch id=\"5\"></ch>\n"));
    EXPECT_TRUE(holds(readFile(dir / "orva_002.pls"), "current " + dir / "clips/x.ts\n"));
    EXPECT_FALSE(fileExists(dir / "orva_003.pls"));

    // The pending restart starts the former channel 4 as channel 3; the
    // removed channel's transcoder is stopped and reaped; nothing else starts.
    ASSERT_TRUE(supervise([&] { return pidOf(4) != fourth; }, 3s));
    EXPECT_EQ(ORVA_STATE_RUNNING, orvaGetState(2));
    EXPECT_TRUE(supervise([&] { return gone(second); }, 3s));
    EXPECT_EQ(7u, starts().size());

    act(1, "stop");  // number 2 is now the folder channel
    EXPECT_TRUE(supervise([&] { return gone(third); }, 3s));
    EXPECT_FALSE(gone(pidOf(1)));
    EXPECT_FALSE(gone(pidOf(4)));
    EXPECT_FALSE(gone(pidOf(5)));
}
