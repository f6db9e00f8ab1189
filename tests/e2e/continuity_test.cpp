// continuity_test.cpp: channels that stay on air: the real launcher on the
// line the engine composes, fed by a live sender that the test stops and
// starts again, its targets received and recorded on loopback and judged by
// what they hold: timing, format, whose picture, one session.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e/live.h"
#include "engine/orva_text.h"
#include "test_support.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr double kFrameRate = 25;
// Short, so that each outage is mostly backup or slate; the default is 1000 ms.
constexpr int kTimeoutMs = 500;
// The time-out the launcher takes when the service passes none.
constexpr int kDefaultTimeoutMs = 1000;

// One stretch of the recorded target in which the same thing shows.
struct Stretch {
    Shows what;
    size_t first, last;  // indexes into the pictures
};

// With `fromSource`, what shows before the source's first picture (the
// launcher's start, while it waits for a key frame) is left out.
std::vector<Stretch> stretchesOf(const std::vector<PictureFrame>& pictures, bool fromSource = false) {
    std::vector<Stretch> runs;
    size_t start = 0;
    while (fromSource && start < pictures.size() && shows(pictures[start]) != Shows::source)
        start++;
    for (size_t i = start; i < pictures.size(); i++) {
        Shows what = shows(pictures[i]);
        if (runs.empty() || runs.back().what != what)
            runs.push_back({what, i, i});
        runs.back().last = i;
    }
    return runs;
}

std::string describe(const std::vector<Stretch>& runs, const std::vector<PictureFrame>& pictures) {
    static const char* names[] = {"source", "backup", "other"};
    std::ostringstream text;
    for (const Stretch& r : runs)
        text << names[static_cast<int>(r.what)] << " " << pictures[r.first].pts << "–" << pictures[r.last].pts
             << " s (" << r.last - r.first + 1 << " frames)\n";
    return text.str();
}

// How long the last source picture before `gap` was held: the frames at the
// end of the preceding source stretch that repeat its last picture.
double heldBefore(const Stretch& sourceRun, const std::vector<PictureFrame>& pictures) {
    int last = sourceFrameNumber(pictures[sourceRun.last]);
    size_t i = sourceRun.last;
    while (i > sourceRun.first && sourceFrameNumber(pictures[i - 1]) == last)
        i--;
    return (sourceRun.last - i) / kFrameRate;
}

// How far into the returned sender's own time the first picture shown from it
// lies: its frame number, counted from the sender's start again.
double sourceTakenAfter(const Stretch& sourceRun, const std::vector<PictureFrame>& pictures) {
    return sourceFrameNumber(pictures[sourceRun.first]) / kFrameRate;
}

class ContinuityTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string recording = dir / "target.ts";
    DatagramRecorder target{recording};
    DatagramRecorder watch;
    std::optional<LineReader> sender, launcher;
    Clock::time_point launched;
    std::vector<Clock::time_point> stops, returns;

    void SetUp() override {
        ASSERT_TRUE(copyText(g_cfg.szWorkDir, dir.path()));
        fs::create_directories(dir / "log");
        ASSERT_NE(target.port(), 0);
        ASSERT_NE(watch.port(), 0);
    }

    void TearDown() override {
        launcher.reset();
        sender.reset();
    }

    std::string targetAddress() const { return "udp://127.0.0.1:" + std::to_string(target.port()) + "?pkt_size=1316"; }

    // Starts the sender and waits for its first frame; the moment it came.
    Clock::time_point startSender(const std::string& address, const Content& content = {}) {
        Clock::time_point asked = Clock::now();
        sender.emplace(senderArgs(address, watch.port(), content));
        std::optional<Clock::time_point> first;
        // A listening SRT sender sends nothing until the launcher calls it.
        waitUntil([&] { return (first = watch.firstFrom(asked)).has_value(); }, 15s);
        return first.value_or(Clock::time_point{});
    }

    void startLauncher(const std::string& line, const ChannelSettings& settings) {
        ASSERT_NE(line, "");
        launched = Clock::now();
        launcher.emplace(Args{ORVAL_SO_BINARY}, launcherOptions(line, settings));
    }

    // Stops the sender for `seconds`, then starts it again.
    void outage(const std::string& address, std::chrono::milliseconds length) {
        sender.reset();
        stops.push_back(Clock::now());
        std::this_thread::sleep_for(length);
        returns.push_back(startSender(address));
    }

    // Stops the launcher as the service does; whether it ended on SIGINT, in
    // the time the service gives it.
    bool stopLauncher() {
        int status = launcher->stop();
        target.stop();
        sender.reset();
        return status != -1 && !(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }

    std::string story() const {
        return "launcher said:\n" + (launcher ? notesOf(*launcher) : "") + "alarms:\n" +
               (launcher ? describe(alarmsOf(*launcher), launched) : "");
    }

    // The launcher's alarms from `from` on, by kind.
    std::map<std::string, std::vector<Alarm>> alarmsByKind(Clock::time_point from = {}) const {
        std::map<std::string, std::vector<Alarm>> kinds;
        for (const Alarm& a : alarmsOf(*launcher))
            if (a.at >= from)
                kinds[a.kind].push_back(a);
        return kinds;
    }
};

// Every alarm of `kinds` goes raise, clear, raise, clear… and ends cleared.
void expectPaired(const std::map<std::string, std::vector<Alarm>>& kinds) {
    for (const auto& [kind, alarms] : kinds) {
        for (size_t i = 0; i < alarms.size(); i++)
            EXPECT_EQ(alarms[i].raised, i % 2 == 0) << kind << " #" << i;
        EXPECT_EQ(alarms.size() % 2, 0u) << kind << " left raised";
    }
}

// Two three-second outages of a UDP source with a backup file of another
// picture size and sample rate: each target keeps one stream of one format,
// the backup fills each outage, the source is back within 2 s of its return,
// and the RTMP target stays one publishing session throughout. The source's
// time-out is the default one, which the backup's start-up also has to fit in.
TEST_F(ContinuityTest, AUdpSourceLostTwiceIsCoveredByTheBackupFileInOneStreamPerTarget) {
    RtmpServer rtmp(dir / "rtmp");
    ASSERT_TRUE(rtmp.ready()) << rtmp.log();
    makeColourClip(dir / "backup.mp4", 4, "240x180", kBackupU, kBackupV);
    std::string source = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    ORVA_INPUT_TAG input{};
    input.pszAddress = source.c_str();
    std::string udp = targetAddress(), publish = rtmp.address("channel1");
    std::string line = composeLine(input, {encodedTarget(ORVA_FORMAT_UDPTS, udp.c_str()),
                                           encodedTarget(ORVA_FORMAT_RTMP, publish.c_str())});
    startSender(source + "?pkt_size=1316");
    startLauncher(line, {dir / "backup.mp4"});
    ASSERT_TRUE(waitUntil([&] { return target.arrivals().size() > 100; }, 20s)) << line << "\n" << story();
    std::this_thread::sleep_for(2s);
    outage(source + "?pkt_size=1316", 3s);
    std::this_thread::sleep_for(5s);
    outage(source + "?pkt_size=1316", 3s);
    std::this_thread::sleep_for(5s);
    double gap = target.largestGap();
    int sessions = rtmp.publishSessions();
    for (const Alarm& a : alarmsOf(*launcher))
        EXPECT_FALSE(a.kind == "source_lost" && a.at < stops[0]) << "lost while the sender sent\n" << story();
    EXPECT_TRUE(stopLauncher()) << story();
    RecordProperty("largest_gap_ms", static_cast<int>(gap * 1000));

    EXPECT_LE(gap, 1.0) << story();
    EXPECT_EQ(sessions, 1) << rtmp.log();
    EXPECT_EQ(probePrograms(recording), 1);
    EXPECT_EQ(probeCodecs(recording), "h264,aac");
    Decoded decoded = decodeFrames(recording);
    EXPECT_EQ(continuityFaults(decoded, kFrameRate), "");
    ASSERT_FALSE(decoded.pictures.empty());
    EXPECT_EQ(decoded.pictures[0].width, 320) << "the canvas is the source's size";

    // source, backup, source, backup, source: whole pictures of one or the other.
    std::vector<Stretch> runs = stretchesOf(decoded.pictures, true);
    ASSERT_EQ(runs.size(), 5u) << describe(runs, decoded.pictures) << story();
    for (size_t i = 0; i < runs.size(); i++)
        EXPECT_EQ(runs[i].what, i % 2 ? Shows::backup : Shows::source) << describe(runs, decoded.pictures);
    for (size_t outage : {0, 1}) {
        const Stretch& before = runs[2 * outage];
        const Stretch& after = runs[2 * outage + 2];
        double held = heldBefore(before, decoded.pictures), taken = sourceTakenAfter(after, decoded.pictures);
        EXPECT_LE(held, 3 * kDefaultTimeoutMs / 1000.0) << "the last picture held before the backup";
        EXPECT_LE(taken, 2.0) << "the source shown again after its return";
        std::printf("outage %zu: last picture held %.2f s, source shown %.2f s after its return\n", outage + 1,
                    held, taken);
    }

    // Each outage: source_lost then on_backup raised, on_backup then source_lost cleared.
    std::vector<Alarm> alarms = alarmsOf(*launcher);
    std::vector<std::string> sequence;
    for (const Alarm& a : alarms)
        sequence.push_back((a.raised ? "raise " : "clear ") + a.kind);
    const std::vector<std::string> one = {"raise source_lost", "raise on_backup", "clear on_backup",
                                          "clear source_lost"};
    std::vector<std::string> expected(one);
    expected.insert(expected.end(), one.begin(), one.end());
    ASSERT_EQ(sequence, expected) << describe(alarms, launched);
    for (size_t i = 0; i < 2; i++) {
        double raised = secondsBetween(stops[i], alarms[4 * i].at);
        double cleared = secondsBetween(returns[i], alarms[4 * i + 3].at);
        EXPECT_GE(raised, kDefaultTimeoutMs / 1000.0 - 0.1) << "source_lost raised before the time-out";
        EXPECT_LE(raised, 3 * kDefaultTimeoutMs / 1000.0);
        EXPECT_LE(cleared, 3.0);
    }
}

// An SRT source whose listener goes away, with a backup that cannot be
// played: the slate shows, silent, while the source is away; and a launcher
// killed outright leaves none of its processes behind.
TEST_F(ContinuityTest, AnSrtSourceLostWithABrokenBackupShowsTheSlateAndNothingOutlivesTheLauncher) {
    writeFile(dir / "broken.ts", std::string(100000, 'x'));
    std::string port = std::to_string(freePort(SOCK_DGRAM));
    std::string listening = "srt://127.0.0.1:" + port + "?mode=listener";
    std::string source = "srt://127.0.0.1:" + port;
    ORVA_INPUT_TAG input{};
    input.pszAddress = source.c_str();
    std::string udp = targetAddress();
    std::string line = composeLine(input, {encodedTarget(ORVA_FORMAT_UDPTS, udp.c_str(), 320, 240)});
    // The listener waits for the launcher's call, so it starts first.
    std::thread starting([&] { startSender(listening); });
    std::this_thread::sleep_for(500ms);
    startLauncher(line, {dir / "broken.ts", kTimeoutMs, 2, 2, 2});
    starting.join();
    ASSERT_TRUE(waitUntil([&] { return target.arrivals().size() > 100; }, 20s)) << line << "\n" << story();
    std::this_thread::sleep_for(2s);
    for (const Alarm& a : alarmsOf(*launcher))
        EXPECT_FALSE(a.kind == "source_lost") << "lost while the sender sent\n" << story();
    sender.reset();
    stops.push_back(Clock::now());
    std::this_thread::sleep_for(3s);
    returns.push_back(startSender(listening));
    ASSERT_NE(returns.back(), Clock::time_point{}) << "the launcher did not call the listener again\n" << story();
    std::this_thread::sleep_for(4s);

    // Kill -9: the launcher's processes all end, and the target falls silent.
    std::set<pid_t> family = descendantsOf(launcher->pid());
    kill(launcher->pid(), SIGKILL);
    Clock::time_point killed = Clock::now();
    bool allGone = waitUntil([&] { return std::none_of(family.begin(), family.end(), alive); }, 5s);
    std::this_thread::sleep_for(1s);
    std::vector<DatagramRecorder::Arrival> arrivals = target.arrivals();
    stopLauncher();
    EXPECT_GE(family.size(), 2u) << "the source's decoder and the encoder run below the launcher";
    EXPECT_TRUE(allGone) << family.size() << " processes, some still running after the launcher was killed";
    ASSERT_FALSE(arrivals.empty());
    EXPECT_LE(secondsBetween(killed, arrivals.back().at), 0.5) << "the target was still fed";

    std::vector<DatagramRecorder::Arrival> fed;
    std::copy_if(arrivals.begin(), arrivals.end(), std::back_inserter(fed),
                 [&](const auto& a) { return a.at < killed; });
    double gap = 0;
    for (size_t i = 1; i < fed.size(); i++)
        gap = std::max(gap, secondsBetween(fed[i - 1].at, fed[i].at));
    EXPECT_LE(gap, 1.0) << story();
    Decoded decoded = decodeFrames(recording);
    EXPECT_EQ(continuityFaults(decoded, kFrameRate), "");
    std::vector<Stretch> runs = stretchesOf(decoded.pictures, true);
    ASSERT_EQ(runs.size(), 3u) << describe(runs, decoded.pictures) << story();
    EXPECT_EQ(runs[0].what, Shows::source);
    EXPECT_EQ(runs[1].what, Shows::other) << "the slate, neither source nor backup";
    EXPECT_EQ(runs[2].what, Shows::source);
    EXPECT_LE(sourceTakenAfter(runs[2], decoded.pictures), 2.0);
    // The slate is silent: every sound frame well inside it.
    double from = decoded.pictures[runs[1].first].pts + 0.2, to = decoded.pictures[runs[1].last].pts - 0.2;
    int sounding = 0, inside = 0;
    for (const SoundFrame& s : decoded.sounds) {
        if (s.pts < from || s.pts > to)
            continue;
        inside++;
        sounding += s.rms > -70;
    }
    EXPECT_GT(inside, 50);
    EXPECT_EQ(sounding, 0) << "of " << inside << " sound frames under the slate";

    // source_lost once in the outage; on_backup never, or cleared before the
    // source returned; the still, silent slate raises no content alarm.
    auto kinds = alarmsByKind(stops[0] - 1s);
    expectPaired(kinds);
    ASSERT_EQ(kinds["source_lost"].size(), 2u) << story();
    EXPECT_LE(secondsBetween(stops[0], kinds["source_lost"][0].at), 3 * kTimeoutMs / 1000.0);
    EXPECT_LE(secondsBetween(returns[0], kinds["source_lost"][1].at), 3.0);
    for (const Alarm& a : kinds["on_backup"])
        EXPECT_LT(a.at, returns[0]) << "on_backup while the slate showed\n" << story();
    for (const char* kind : {"black", "frozen", "silent"})
        EXPECT_TRUE(kinds[kind].empty()) << kind << "\n" << story();
}

// A source absent when the channel starts: the channel goes on air at once
// with its backup folder, played in turn at the target's size, and takes the
// source within 2 s once it appears ten seconds later.
TEST_F(ContinuityTest, ASourceAbsentAtStartIsTakenWhenItAppearsWhileTheBackupFolderPlays) {
    fs::create_directories(dir / "backup");
    // The clips tell themselves apart by their luma: 60–99 and 150–189.
    makeColourClip(dir / "backup/1.mp4", 2, "240x180", kBackupU, kBackupV, 60);
    makeColourClip(dir / "backup/2.mp4", 2, "400x300", kBackupU, kBackupV, 150);
    std::string source = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    ORVA_INPUT_TAG input{};
    input.pszAddress = source.c_str();
    std::string udp = targetAddress();
    std::string line = composeLine(input, {encodedTarget(ORVA_FORMAT_UDPTS, udp.c_str(), 320, 240)});
    startLauncher(line, {dir / "backup", kTimeoutMs});
    ASSERT_TRUE(waitUntil([&] { return !target.arrivals().empty(); }, 15s)) << line << "\n" << story();
    double onAir = secondsBetween(launched, target.arrivals()[0].at);
    std::this_thread::sleep_for(launched + 10s - Clock::now());
    returns.push_back(startSender(source + "?pkt_size=1316"));
    std::this_thread::sleep_for(5s);
    double gap = target.largestGap();
    EXPECT_TRUE(stopLauncher()) << story();

    // On air from the backup once the source is declared lost (the time-out
    // and the 2 s a fresh decoder gets, 2.5 s) and the encoder's first output
    // is out, about 2 s later on an idle machine: seconds, not the ten of the
    // source's absence. A busy machine may take three times the loss's 2.5 s.
    const double lostAfter = kTimeoutMs / 1000.0 + 2.0;
    EXPECT_LE(onAir, 3 * lostAfter);
    EXPECT_LE(gap, 1.0) << story();
    Decoded decoded = decodeFrames(recording);
    EXPECT_EQ(continuityFaults(decoded, kFrameRate), "");
    ASSERT_FALSE(decoded.pictures.empty());
    EXPECT_EQ(decoded.pictures[0].width, 320);
    EXPECT_EQ(decoded.pictures[0].height, 240);
    // Until the time-out has passed and the backup is open, the slate may show.
    std::vector<Stretch> runs = stretchesOf(decoded.pictures);
    if (!runs.empty() && runs[0].what == Shows::other) {
        EXPECT_LE((runs[0].last - runs[0].first + 1) / kFrameRate, 3 * kTimeoutMs / 1000.0);
        runs.erase(runs.begin());
    }
    ASSERT_EQ(runs.size(), 2u) << describe(runs, decoded.pictures) << story();
    EXPECT_EQ(runs[0].what, Shows::backup);
    EXPECT_EQ(runs[1].what, Shows::source);
    // The folder's clips, 2 s each, in the order of their names, over and over.
    std::vector<int> clips;
    for (size_t i = runs[0].first; i <= runs[0].last; i++) {
        int clip = decoded.pictures[i].y < 125 ? 1 : 2;
        if (clips.empty() || clips.back() != clip)
            clips.push_back(clip);
    }
    ASSERT_GE(clips.size(), 2u) << describe(runs, decoded.pictures);
    for (size_t i = 0; i < clips.size(); i++)
        EXPECT_EQ(clips[i], 1 + static_cast<int>(i % 2)) << "turn " << i << " of " << clips.size();
    EXPECT_LE(sourceTakenAfter(runs[1], decoded.pictures), 2.0);

    std::vector<Alarm> alarms = alarmsOf(*launcher);
    ASSERT_EQ(alarms.size(), 4u) << describe(alarms, launched);
    EXPECT_EQ(alarms[0].kind, "source_lost");
    EXPECT_LE(secondsBetween(launched, alarms[0].at), 3 * lostAfter) << "a loss from the first moment";
    std::printf("source_lost %.2f s and the first datagram %.2f s after the launch\n",
                secondsBetween(launched, alarms[0].at), onAir);
    EXPECT_EQ(alarms[1].kind, "on_backup");
    EXPECT_TRUE(alarms[1].raised);
    EXPECT_EQ(alarms[3].kind, "source_lost");
    EXPECT_FALSE(alarms[3].raised);
    EXPECT_LE(secondsBetween(returns[0], alarms[3].at), 3.0);
}

// The segments of a playlist, by number, in the order it lists them.
std::vector<int> segmentNumbers(const std::string& playlist) {
    std::vector<int> numbers;
    std::regex segment(R"((\d+)\.ts\s*$)");
    std::istringstream lines(playlist);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!line.starts_with("#") && std::regex_search(line, m, segment))
            numbers.push_back(std::stoi(m[1]));
    }
    return numbers;
}

// A ten-second outage with no backup under an HLS target: one playlist whose
// segments run on without a gap or a restart, readable throughout, with the
// slate between the source's pictures; the slate raises no content alarm.
TEST_F(ContinuityTest, AnHlsTargetRunsOnThroughATenSecondOutageOnTheSlate) {
    std::string source = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    ORVA_INPUT_TAG input{};
    input.pszAddress = source.c_str();
    fs::create_directories(dir / "hls");
    std::string playlist = dir / "hls/live.m3u8";
    std::string line = composeLine(input, {encodedTarget(ORVA_FORMAT_HLS, playlist.c_str(), 320, 240,
                                                         "-hls_time 1 -hls_list_size 0")});
    startSender(source + "?pkt_size=1316");
    startLauncher(line, {"", kTimeoutMs, 2, 2, 2});
    ASSERT_TRUE(waitUntil([&] { return fileExists(dir / "hls/live1.ts"); }, 20s)) << line << "\n" << story();
    std::this_thread::sleep_for(2s);
    outage(source + "?pkt_size=1316", 10s);
    std::this_thread::sleep_for(5s);
    double ran = secondsBetween(launched, Clock::now());
    EXPECT_TRUE(stopLauncher()) << story();

    std::string list = readFile(playlist);
    std::vector<int> numbers = segmentNumbers(list);
    ASSERT_GE(numbers.size(), 10u) << list;
    for (size_t i = 0; i < numbers.size(); i++)
        EXPECT_EQ(numbers[i], static_cast<int>(i)) << list;
    EXPECT_EQ(list.find("#EXT-X-DISCONTINUITY"), std::string::npos) << list;
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir / "hls"))
        files += entry.path().extension() == ".ts";
    EXPECT_EQ(files, numbers.size()) << "a segment written but not listed, or listed but missing";

    Decoded decoded = decodeFrames(playlist);
    EXPECT_EQ(continuityFaults(decoded, kFrameRate), "");
    ASSERT_FALSE(decoded.pictures.empty());
    double span = decoded.pictures.back().pts - decoded.pictures.front().pts;
    // All the time the launcher ran, less its start and the last open segment.
    EXPECT_GE(span, ran - 6.0) << "the playlist covers " << span << " s of " << ran << " s";
    std::vector<Stretch> runs = stretchesOf(decoded.pictures, true);
    ASSERT_EQ(runs.size(), 3u) << describe(runs, decoded.pictures) << story();
    EXPECT_EQ(runs[1].what, Shows::other);
    double slate = decoded.pictures[runs[1].last].pts - decoded.pictures[runs[1].first].pts;
    EXPECT_NEAR(slate, 10.0, 1.5) << describe(runs, decoded.pictures);
    EXPECT_LE(sourceTakenAfter(runs[2], decoded.pictures), 2.0);

    auto kinds = alarmsByKind();
    expectPaired(kinds);
    EXPECT_EQ(kinds["source_lost"].size(), 2u) << story();
    EXPECT_TRUE(kinds["on_backup"].empty()) << story();
    for (const char* kind : {"black", "frozen", "silent"})
        EXPECT_TRUE(kinds[kind].empty()) << kind << "\n" << story();
}

// A source that turns black, stands still and goes silent, 5 s each, with
// thresholds of 2 s: each alarm raised once, after its threshold and within
// 2 s more, and cleared within 2 s of the end; a second is added to each bound
// for the way from the sender and a loaded machine.
TEST_F(ContinuityTest, BlackFrozenAndSilentSourcesRaiseAndClearTheirAlarmsInTime) {
    const Content content{{5, 10}, {15, 20}, {25, 30}};
    std::string source = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    ORVA_INPUT_TAG input{};
    input.pszAddress = source.c_str();
    std::string udp = targetAddress();
    std::string line = composeLine(input, {encodedTarget(ORVA_FORMAT_UDPTS, udp.c_str(), 320, 240)});
    // The launcher first, so it takes the sender from its first frame.
    startLauncher(line, {"", 1000, 2, 2, 2});
    Clock::time_point origin = startSender(source + "?pkt_size=1316", content);
    ASSERT_NE(origin, Clock::time_point{});
    std::this_thread::sleep_for(origin + 33s - Clock::now());
    EXPECT_TRUE(stopLauncher()) << story();

    auto kinds = alarmsByKind(origin + 1s);
    const std::pair<const char*, Window> expected[] = {
        {"black", content.black}, {"frozen", content.frozen}, {"silent", content.silent}};
    for (const auto& [kind, window] : expected) {
        SCOPED_TRACE(kind);
        const std::vector<Alarm>& alarms = kinds[kind];
        ASSERT_EQ(alarms.size(), 2u) << describe(alarmsOf(*launcher), origin);
        double raised = secondsBetween(origin, alarms[0].at), cleared = secondsBetween(origin, alarms[1].at);
        EXPECT_TRUE(alarms[0].raised);
        EXPECT_GE(raised, window.from + 2 - 0.3);
        EXPECT_LE(raised, window.from + 2 + 2 + 1);
        EXPECT_GE(cleared, window.to);
        EXPECT_LE(cleared, window.to + 2 + 1);
        std::printf("%s: raised %.2f s after it began, cleared %.2f s after it ended\n", kind,
                    raised - window.from, cleared - window.to);
    }
    EXPECT_TRUE(kinds["source_lost"].empty()) << describe(alarmsOf(*launcher), origin);
}

// The launcher's processes by what they are: decoders of the source, encoders
// (reading the stage) and targets' muxers (reading their queue), each with
// its command line.
struct Pipeline {
    std::vector<std::string> decoders, encoders, muxers;
};

Pipeline pipelineOf(const std::set<pid_t>& family) {
    Pipeline found;
    for (pid_t pid : family) {
        std::string args = readFile("/proc/" + std::to_string(pid) + "/cmdline");
        std::replace(args.begin(), args.end(), '\0', ' ');
        if (args.find(" -i pipe:3 ") != std::string::npos)
            found.encoders.push_back(args);
        else if (args.find(" -i pipe:0 ") != std::string::npos)
            found.muxers.push_back(args);
        else if (args.find(" pipe:1") != std::string::npos)
            found.decoders.push_back(args);
    }
    return found;
}

// The durations an HLS playlist lists, in order.
std::vector<double> segmentSeconds(const std::string& playlist) {
    std::vector<double> seconds;
    std::istringstream lines(playlist);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("#EXTINF:"))
            seconds.push_back(std::atof(line.c_str() + 8));
    return seconds;
}

// Three targets of one encoding (UDP, HLS, a file) and a fourth of another
// size: one decoder and one encoder with two encodings between them; every
// target gets its stream as it would alone, and the service's stop lets each
// muxer finish its output.
TEST_F(ContinuityTest, TargetsOfOneEncodingShareOneEncoderAndTwoSizesOneDecoder) {
    std::string source = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    ORVA_INPUT_TAG input{};
    input.pszAddress = source.c_str();
    fs::create_directories(dir / "hls");
    std::string playlist = dir / "hls/live.m3u8", file = dir / "rec.ts", smallFile = dir / "small.ts";
    DatagramRecorder small(smallFile);
    std::string udp = targetAddress(), smallUdp = "udp://127.0.0.1:" + std::to_string(small.port()) + "?pkt_size=1316";
    std::string line = composeLine(input, {encodedTarget(ORVA_FORMAT_UDPTS, udp.c_str(), 320, 240),
                                           encodedTarget(ORVA_FORMAT_HLS, playlist.c_str(), 320, 240,
                                                         "-hls_time 2 -hls_list_size 0"),
                                           encodedTarget(ORVA_FORMAT_FILE, file.c_str(), 320, 240),
                                           encodedTarget(ORVA_FORMAT_UDPTS, smallUdp.c_str(), 160, 120)});
    startSender(source + "?pkt_size=1316");
    ChannelSettings settings;
    settings.targets = "1,2,3,4";
    startLauncher(line, settings);
    ASSERT_TRUE(waitUntil([&] { return target.arrivals().size() > 100 && small.arrivals().size() > 50; }, 20s))
        << line << "\n" << story();
    std::this_thread::sleep_for(6s);
    Pipeline pipeline = pipelineOf(descendantsOf(launcher->pid()));
    double gap = target.largestGap();
    EXPECT_TRUE(stopLauncher()) << story();
    small.stop();

    EXPECT_NE(readFile(playlist).find("#EXT-X-ENDLIST"), std::string::npos) << "the HLS muxer finished its list";
    EXPECT_EQ(pipeline.decoders.size(), 1u) << "one decoding for both sizes";
    ASSERT_EQ(pipeline.encoders.size(), 1u);
    const std::string& encoder = pipeline.encoders[0];
    EXPECT_NE(encoder.find(" -s 320x240 "), std::string::npos) << encoder;
    EXPECT_NE(encoder.find(" -s 160x120 "), std::string::npos) << encoder;
    EXPECT_NE(encoder.find("pipe:5"), std::string::npos) << "two encodings, " << encoder;
    EXPECT_EQ(encoder.find("pipe:6"), std::string::npos) << "no more than two, " << encoder;
    EXPECT_EQ(pipeline.muxers.size(), 4u) << story();
    EXPECT_LE(gap, 1.0) << story();
    for (const Alarm& a : alarmsOf(*launcher))
        EXPECT_NE(a.kind, "target_down") << story();

    for (const std::string& path : {recording, playlist, file}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(probeCodecs(path), "h264,aac");
        Decoded decoded = decodeFrames(path);
        EXPECT_EQ(continuityFaults(decoded, kFrameRate), "");
        ASSERT_FALSE(decoded.pictures.empty());
        EXPECT_EQ(decoded.pictures[0].width, 320);
        EXPECT_EQ(decoded.pictures[0].height, 240);
    }
    Decoded smaller = decodeFrames(smallFile);
    ASSERT_FALSE(smaller.pictures.empty());
    EXPECT_EQ(smaller.pictures[0].width, 160);
    // The HLS target's key frames still cut its segments at 2 s.
    std::vector<double> segments = segmentSeconds(readFile(playlist));
    ASSERT_GE(segments.size(), 3u) << readFile(playlist);
    for (size_t i = 0; i + 1 < segments.size(); i++)
        EXPECT_NEAR(segments[i], 2.0, 0.05) << readFile(playlist);
}

// A UDP target beside an RTMP target whose server stops for 15 s and one
// whose server never exists: the UDP target never pauses, the first RTMP
// target is reported down once and publishes again soon after its server
// returns, and the second stays down without troubling the others. A
// launcher killed outright takes every muxer with it.
TEST_F(ContinuityTest, AnRtmpTargetWhoseServerGoesAwayFailsAloneAndPublishesAgain) {
    RtmpServer rtmp(dir / "rtmp");
    ASSERT_TRUE(rtmp.ready()) << rtmp.log();
    std::string source = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    ORVA_INPUT_TAG input{};
    input.pszAddress = source.c_str();
    std::string udp = targetAddress(), publish = rtmp.address("channel1");
    std::string nowhere = "rtmp://127.0.0.1:" + std::to_string(freePort()) + "/live/channel1";
    std::string line = composeLine(input, {encodedTarget(ORVA_FORMAT_UDPTS, udp.c_str()),
                                           encodedTarget(ORVA_FORMAT_RTMP, publish.c_str()),
                                           encodedTarget(ORVA_FORMAT_RTMP, nowhere.c_str())});
    startSender(source + "?pkt_size=1316");
    ChannelSettings settings;
    settings.targets = "1,2,3";
    startLauncher(line, settings);
    ASSERT_TRUE(waitUntil([&] { return target.arrivals().size() > 100 && rtmp.publishSessions() == 1; }, 20s))
        << line << "\n" << story() << rtmp.log();
    std::this_thread::sleep_for(2s);
    rtmp.stop();
    Clock::time_point stopped = Clock::now();
    std::this_thread::sleep_for(15s);
    ASSERT_TRUE(rtmp.start()) << rtmp.log();
    Clock::time_point back = Clock::now();
    // The retry comes every 5 s; the bound is three times the 10 s asked for.
    bool published = waitUntil([&] { return rtmp.publishSessions() == 2; }, 30s);
    double publishedAfter = secondsBetween(back, Clock::now());
    std::this_thread::sleep_for(3s);
    double gap = target.largestGap();
    std::set<pid_t> family = descendantsOf(launcher->pid());
    size_t muxers = pipelineOf(family).muxers.size();
    kill(launcher->pid(), SIGKILL);
    bool allGone = waitUntil([&] { return std::none_of(family.begin(), family.end(), alive); }, 5s);
    stopLauncher();

    EXPECT_GE(muxers, 2u) << "the UDP and RTMP targets' muxers ran";
    EXPECT_TRUE(allGone) << "a process of the pipeline outlived the launcher";
    EXPECT_LE(gap, 1.0) << story();
    EXPECT_TRUE(published) << rtmp.log();
    EXPECT_LE(publishedAfter, 10.0);
    std::printf("UDP target's largest silence %.2f s; RTMP published again %.2f s after its server's return\n", gap,
                publishedAfter);
    EXPECT_EQ(continuityFaults(decodeFrames(recording), kFrameRate), "");
    std::vector<Alarm> down[6];
    for (const Alarm& a : alarmsOf(*launcher))
        if (a.kind == "target_down")
            down[a.target].push_back(a);
    EXPECT_TRUE(down[1].empty()) << story();
    ASSERT_EQ(down[2].size(), 2u) << story();
    EXPECT_TRUE(down[2][0].raised);
    EXPECT_GT(down[2][0].at, stopped);
    EXPECT_FALSE(down[2][0].reason.empty());
    EXPECT_FALSE(down[2][1].raised);
    EXPECT_GT(down[2][1].at, back);
    ASSERT_EQ(down[3].size(), 1u) << "raised once and never cleared\n" << story();
    EXPECT_EQ(down[3][0].reason, "Connection refused");
    EXPECT_LE(secondsBetween(launched, down[3][0].at), 15.0);
}

}  // namespace
