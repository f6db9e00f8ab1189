// Removing a channel: the channels after it move one number down in the
// table and the configuration file, and running ones go on under their new
// number with their slots, folder playlist and pending restart.
#include <signal.h>

#include <algorithm>
#include <sstream>

#include "engine/orva_slots.h"
#include "playlist/orva_playlist.h"
#include "web/channel_web_fixture.h"

using namespace std::chrono_literals;

namespace {

using SlotSwapTest = EngineTest;

bool gone(pid_t pid) { return kill(pid, 0) != 0; }  // a zombie is not gone: it is not reaped

// Runs supervision passes, as the service's loop does, until `done` holds.
bool supervise(const std::function<bool()>& done) {
    auto end = std::chrono::steady_clock::now() + 3s;
    while (!done() && std::chrono::steady_clock::now() < end) {
        orvaSleep(20);
        orvaSupervisePass();
    }
    return done();
}

class RemoveRunningTest : public ChannelWebTest {
protected:
    // Every start leaves a line "<pid> <command line>" in "procs.txt".
    std::string transcoderBody() const override {
        return "printf '%s %s\\n' \"$$\" \"$line\" >> \"$here/procs.txt\"\nexec sleep 30";
    }
    size_t starts() const {
        std::string procs = readFile(dir / "procs.txt");
        return static_cast<size_t>(std::count(procs.begin(), procs.end(), '\n'));
    }
    // The last process that wrote to the target "out<n>".
    pid_t pidOf(int n) const {
        std::istringstream in(readFile(dir / "procs.txt"));
        pid_t pid = 0;
        for (std::string line; std::getline(in, line);)
            pid = holds(line, "/out" + std::to_string(n) + "\"") ? std::stoi(line) : pid;
        return pid;
    }
};

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
    for (int i = 0; i < 5; i++) {
        configure(i, memos[i]);
        copyText(g_orvaContinuity[i].BackupSource, std::string("/backup/") + memos[i]);
        g_orvaContinuity[i].SourceTimeout = 2000 + i;
    }
    act(2, "remove");
    for (int i : {0, 1, 2, 3}) {
        int was = i < 2 ? i : i + 1;
        EXPECT_STREQ(memos[was], g_orvaChannels[i].Memo);
        EXPECT_EQ("/backup/" + std::string(memos[was]), g_orvaContinuity[i].BackupSource);
        EXPECT_EQ(2000 + was, g_orvaContinuity[i].SourceTimeout);
    }
    EXPECT_EQ(kOrvaDefaultSourceTimeoutMs, g_orvaContinuity[4].SourceTimeout);
    EXPECT_STREQ("", g_orvaContinuity[4].BackupSource);
    EXPECT_FALSE(isChannelValid(4));
    const ORVA_CHANNEL_TAG& moved = g_orvaChannels[3];
    EXPECT_EQ(moved.Sources[0].File, moved.Sources[0].pszAddress);
    EXPECT_STREQ((dir / "out5").c_str(), moved.Targets[0].pszAddress);
    EXPECT_TRUE(holds(readFile(conf), "Memo \"five\"\n </Output>\nBackupSource \"/backup/five\"\n"
                                      "SourceTimeout 2004\n"));
    EXPECT_TRUE(holds(readFile(conf), "AlarmSilenceSec 10\n</Channel4>\n"));
    EXPECT_FALSE(holds(readFile(conf), "three"));

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
    for (int i = 0; i < 5; i++) {
        configure(i).Enable = 1;
        g_orvaPlaylists[i].init((dir / ("orva_00" + std::to_string(i + 1) + ".pls")).c_str());
    }
    copyText(g_orvaChannels[2].Sources[0].File, dir / "clips");
    g_orvaChannels[4].TimeShiftSec = 30;  // a recorder and a player
    copyText(g_orvaChannels[4].TimeShiftCacheFolder, dir / "cache");
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        for (int i = 0; i < 5; i++)
            ASSERT_EQ(0, orvaStartChannel(i));
    }
    ASSERT_TRUE(waitUntil([&] { return starts() == 6; }, 5s));
    pid_t second = pidOf(2), third = pidOf(3), fourth = pidOf(4);
    kill(fourth, SIGKILL);  // channel 4 ends and waits for its restart
    ASSERT_TRUE(supervise([] { return g_timers[3] != kOrvaNoTimer; }));

    act(1, "remove");
    EXPECT_NE(kOrvaNoTimer, g_timers[2]);
    EXPECT_EQ(kOrvaNoTimer, g_timers[3]);
    // The removal moved every later record, so each of them has a new revision.
    EXPECT_TRUE(holds(status(), "<ch id=\"2\" rev=\"1\"><state>start</state><status>x.ts</status></ch>\n"
                                "<ch id=\"3\" rev=\"1\"><state>stop</state><status>STOPPED</status></ch>\n"
                                "<ch id=\"4\" rev=\"1\"><state>start</state><status>RUNNING</status></ch>\n"
                                "<ch id=\"5\" rev=\"1\"></ch>\n"))
        << status();
    EXPECT_TRUE(holds(readFile(dir / "orva_002.pls"), "current " + dir / "clips/x.ts\n"));
    EXPECT_FALSE(fileExists(dir / "orva_003.pls"));

    // The restart starts the former channel 4 as channel 3, the removed
    // channel's transcoder is stopped and reaped, and nothing else starts.
    ASSERT_TRUE(supervise([&] { return pidOf(4) != fourth; }));
    EXPECT_EQ(ORVA_STATE_RUNNING, orvaGetState(2));
    EXPECT_TRUE(supervise([&] { return gone(second); }));
    EXPECT_EQ(7u, starts());

    act(1, "stop");  // number 2 is now the folder channel
    EXPECT_TRUE(supervise([&] { return gone(third); }));
    EXPECT_FALSE(gone(pidOf(1)) || gone(pidOf(4)) || gone(pidOf(5)));
}
