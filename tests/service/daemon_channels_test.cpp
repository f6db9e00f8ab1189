// The daemon runs the channels of its configuration file: where it reads the
// file from, which channels it starts, how it keeps them going, and that it
// writes the file back when it ends.
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "service/daemon_fixture.h"

using namespace std::chrono_literals;

namespace {

struct Start {
    double time;
    std::string line;
};

class DaemonChannelsTest : public DaemonTest {
protected:
    std::string binConf = dir / "bin/orval.conf";
    std::string etcConf = root + "/etc/orval/orval.conf";

    void SetUp() override {
        DaemonTest::SetUp();
        std::filesystem::create_directories(root + "/etc/orval");
        std::filesystem::create_directories(dir / "media");
        writeFile(dir / "media/in.ts", "");
    }

    // Every start leaves its time and line in "starts.txt"; then `behaviour()` runs.
    std::string transcoderBody() const override {
        return "printf '%s %s\\n' \"$(date +%s.%N)\" \"$line\" >> \"$here/starts.txt\"\n" + behaviour();
    }
    virtual std::string behaviour() const { return "exec sleep 30"; }

    std::vector<Start> starts() const {
        std::istringstream in(readFile(dir / "bin/starts.txt"));
        std::vector<Start> all;
        for (Start s; in >> s.time && std::getline(in, s.line);)
            all.push_back(s);
        return all;
    }

    bool startedOn(const Start& start, const std::string& file) const {
        return start.line.find("-i \"" + file + "\"") != std::string::npos;
    }

    std::string settings(int autoRestart) const {
        return "# Kestova Configuration File\n\n" + portLine() + "AutoRestart " +
               std::to_string(autoRestart) + "\n\n";
    }

    // A channel block with one source and one H.264 file target.
    std::string channel(int number, const std::string& source, int enable = 1,
                        const std::string& outputExtra = "") const {
        std::string n = std::to_string(number);
        return "<Channel" + n + ">\nEnable " + std::to_string(enable) + "\n<Input>\nNumInputs 1\n"
               "<Input1>\nFormat file\nFile \"" + source + "\"\n</Input1>\n</Input>\n"
               "<Output>\nNumOutputs 1\n<Output1>\nFormat udpts\nVideoEnable 1\nVideoCodec H264\n"
               "File \"udp://127.0.0.1:5000\"\n</Output1>\n" + outputExtra + "</Output>\n</Channel" + n + ">\n";
    }

    // Three files in "clips", in the order the folder lists them.
    std::vector<std::string> makeClips() const {
        std::filesystem::create_directories(dir / "clips");
        for (const char* name : {"a.ts", "b.ts", "c.ts"})
            writeFile(dir / (std::string("clips/") + name), "");
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "clips"))
            files.push_back(entry.path().string());
        return files;
    }
};

}  // namespace

TEST_F(DaemonChannelsTest, AConfigurationBesideTheProgramIsTakenOnceAndSavedToTheConfigurationFolder) {
    writeFile(etcConf, settings(0) + channel(1, dir / "media/old.ts"));
    writeFile(binConf, settings(0) + channel(1, dir / "media/in.ts") + channel(2, dir / "media/in.ts", 0));
    ASSERT_GT(startDaemon(), 0);
    ASSERT_TRUE(waitUntil([&] { return starts().size() == 1; }, 5s));
    EXPECT_TRUE(startedOn(starts()[0], dir / "media/in.ts")) << starts()[0].line;
    EXPECT_FALSE(fileExists(binConf));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(1u, starts().size());  // channel 2 is not enabled

    EXPECT_EQ(0, stopDaemon());
    std::string saved = readFile(etcConf);
    EXPECT_EQ(0u, saved.find("# Kestova Configuration File\n\nLog 0\n" + portLine()));
    EXPECT_NE(std::string::npos, saved.find("File \"" + dir / "media/in.ts\""));
    EXPECT_EQ(std::string::npos, saved.find("old.ts"));
}

TEST_F(DaemonChannelsTest, AConfigurationBesideTheProgramWithoutChannelsIsLeftInPlace) {
    writeFile(binConf, settings(0));
    writeFile(etcConf, settings(0) + channel(1, dir / "media/in.ts"));
    ASSERT_GT(startDaemon(), 0);
    ASSERT_TRUE(waitUntil([&] { return starts().size() == 1; }, 5s));
    EXPECT_TRUE(startedOn(starts()[0], dir / "media/in.ts"));
    EXPECT_EQ(settings(0), readFile(binConf));
}

namespace {

class EndingChannelTest : public DaemonChannelsTest {
    std::string behaviour() const override { return "sleep 0.2"; }
};

}  // namespace

TEST_F(EndingChannelTest, WithoutAutomaticRestartAnEndedChannelStaysStopped) {
    writeFile(etcConf, settings(0) + channel(1, dir / "media/in.ts"));
    ASSERT_GT(startDaemon(), 0);
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(1u, starts().size());
}

TEST_F(EndingChannelTest, WithAutomaticRestartAnEndedChannelStartsAgainASecondLater) {
    writeFile(etcConf, settings(1) + channel(1, dir / "media/in.ts"));
    ASSERT_GT(startDaemon(), 0);
    ASSERT_TRUE(waitUntil([&] { return starts().size() >= 2; }, 5s));
    double gap = starts()[1].time - starts()[0].time;
    EXPECT_GT(gap, 1.1);  // 0.2 s of running, then one second of waiting
    EXPECT_LT(gap, 1.8);
    EXPECT_NE(std::string::npos, starts()[1].line.find("-loop_input "));
}

TEST_F(EndingChannelTest, AFolderChannelPlaysItsFilesInOrderOnce) {
    std::vector<std::string> files = makeClips();
    writeFile(etcConf, settings(0) + channel(1, dir / "clips"));
    ASSERT_GT(startDaemon(), 0);
    ASSERT_TRUE(waitUntil([&] { return starts().size() == 3; }, 5s));
    std::this_thread::sleep_for(500ms);
    std::vector<Start> played = starts();
    ASSERT_EQ(3u, played.size());
    for (size_t k = 0; k < files.size(); k++)
        EXPECT_TRUE(startedOn(played[k], files[k])) << k << ": " << played[k].line;
}

namespace {

// Plays the folder's second file until it is stopped; every other file ends at once.
class FolderResumeTest : public DaemonChannelsTest {
protected:
    void SetUp() override {
        files = makeClips();
        DaemonChannelsTest::SetUp();
    }
    std::string behaviour() const override {
        return "case \"$line\" in *\"" + files[1] + "\"*) exec sleep 30 ;; esac";
    }
    std::vector<std::string> files;
};

}  // namespace

TEST_F(FolderResumeTest, AFolderChannelResumesItsCurrentFileAfterARestart) {
    writeFile(etcConf, settings(0) + channel(1, dir / "clips"));
    ASSERT_GT(startDaemon(), 0);
    ASSERT_TRUE(waitUntil([&] { return starts().size() == 2; }, 5s));
    EXPECT_TRUE(startedOn(starts()[1], files[1]));
    ASSERT_EQ(0, stopDaemon());
    EXPECT_EQ("current " + files[1] + "\n", readFile(root + "/var/orval/orva_001.pls").substr(0, files[1].size() + 9));

    ASSERT_GT(startDaemon(), 0);
    ASSERT_TRUE(waitUntil([&] { return starts().size() == 3; }, 5s));
    EXPECT_TRUE(startedOn(starts()[2], files[1])) << starts()[2].line;
}

namespace {

// The recorder of a time-shifted channel ends at once; its player keeps running.
class TimeShiftDaemonTest : public DaemonChannelsTest {
    std::string behaviour() const override { return "case \"$line\" in *'-wrap_time 60 -re -i'*) exec sleep 30 ;; esac"; }
};

}  // namespace

TEST_F(TimeShiftDaemonTest, AnEndedRecorderIsStartedAgainAtOnce) {
    std::string timeShift = "TimeShiftSec 30\nTimeShiftCacheFolder \"" + dir / "cache" + "\"\n";
    writeFile(etcConf, settings(5) + channel(1, dir / "media/in.ts", 1, timeShift));
    ASSERT_GT(startDaemon(), 0);
    std::this_thread::sleep_for(1500ms);
    std::vector<Start> all = starts();
    int recorders = 0, players = 0;
    for (const Start& s : all)
        (startedOn(s, dir / "cache/feed001.ffm") ? players : recorders)++;
    EXPECT_EQ(1, players);
    // Restarted within a pass each time, not after the five seconds of AutoRestart.
    EXPECT_GE(recorders, 5);
}

namespace {

// The program installed where its own path is longer than most: the
// configuration folder is still read and written.
class DeepInstallTest : public DaemonChannelsTest {
protected:
    // Over 200 bytes, as the engine's own limit (256) still allows.
    std::filesystem::path deep = dir / (std::string(100, 'a') + "/" + std::string(90, 'b'));

    DeepInstallTest() { program = (deep / "orval").string(); }

    void SetUp() override {
        std::filesystem::create_directories(deep);
        DaemonChannelsTest::SetUp();
        std::filesystem::copy_file(dir / "bin/orval.so", deep / "orval.so");
    }
};

}  // namespace

TEST_F(DeepInstallTest, ALongProgramPathStillRunsTheConfiguredChannels) {
    writeFile(etcConf, settings(0) + channel(1, dir / "media/in.ts"));
    ASSERT_GT(startDaemon(), 0);
    EXPECT_TRUE(waitUntil([&] { return fileExists((deep / "starts.txt").string()); }, 5s))
        << "the channel of " << etcConf << " did not start";
    EXPECT_EQ(0, stopDaemon());
    EXPECT_NE(std::string::npos, readFile(etcConf).find("File \"" + dir / "media/in.ts\""));
}
