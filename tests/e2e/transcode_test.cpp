// transcode_test.cpp: channels that really transcode: the real daemon, the
// real launcher and this machine's ffmpeg, on clips the tests make.
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "e2e/media.h"
#include "e2e/real_launcher_fixture.h"
#include "web/web_client.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Target {
    std::string format;
    std::string file;
    std::string lines;  // further keys of the target
};

class TranscodeTest : public RealLauncherTest {
protected:

    // One channel of one source and one target, with H.264 and AAC unless
    // the target's lines say otherwise; `outputLines` are channel keys of the
    // output block (time shift).
    void configure(int autoRestart, const std::string& source, const Target& target,
                   const std::string& outputLines = "") {
        writeFile(conf, "Log 32\nHTTPPort " + std::to_string(httpPort) + "\nAutoRestart " +
                        std::to_string(autoRestart) + "\n"
                        "<Channel1>\nEnable 1\n"
                        "<Input>\nNumInputs 1\n<Input1>\nFormat file\nFile \"" + source + "\"\n</Input1>\n</Input>\n"
                        "<Output>\nNumOutputs 1\n<Output1>\nFormat " + target.format + "\n"
                        "VideoEnable 1\nVideoCodec H264\nVideoBitRate 600\nAudioEnable 1\nAudioCodec AAC\n"
                        "AudioBitRate 96\n" + target.lines + "File \"" + target.file + "\"\n</Output1>\n" + outputLines +
                        "</Output>\n"
                        "</Channel1>\n");
    }

    std::string channelLog(int slot = 1) const {
        char name[32];
        snprintf(name, sizeof name, "/var/orval/log/orva_%03d.log", slot);
        return readFile(root + name);
    }

    static int count(const std::string& text, const std::string& part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            n++;
        return n;
    }

    std::vector<std::string> filesIn(const std::string& folder, const std::string& ending) const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error))
            if (entry.path().string().ends_with(ending))
                names.push_back(entry.path().string());
        return names;
    }
};

// The stream time and bit rate the status document gives channel 1 while it
// runs, as "HH:MM:SS kbps"; "" before the first progress.
std::string progressOf(int port) {
    HttpReply reply = httpExchange(port, httpRequest("GET", "/status"));
    std::smatch m;
    std::regex status(R"(<ch id="1"><state>start</state><status>(\d\d:\d\d:\d\d) +(\d+)Kbps</status>)");
    return std::regex_search(reply.body, m, status) ? m.str(1) + " " + m.str(2) : "";
}

TEST_F(TranscodeTest, AFileBecomesATimeStampedH264AndAacFile) {
    makeClip(dir / "media/clip.mp4", 4);
    configure(0, dir / "media/clip.mp4", {"file", dir / "out/rec.ts", ""});
    startDaemon();
    std::string progress;
    EXPECT_TRUE(waitUntil([&] {
        progress = progressOf(httpPort);
        return progress >= "00:00:01" && progress.substr(9) != "0";
    }, 10s)) << progress;
    std::vector<std::string> written;
    ASSERT_TRUE(waitUntil([&] {
        written = filesIn(dir / "out", ".ts");
        return !written.empty() && channelLog().find("transcoding stopped") != std::string::npos;
    }, 30s)) << channelLog();
    EXPECT_EQ(stopDaemon(), 0);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(std::regex_match(fs::path(written[0]).filename().string(),
                                 std::regex(R"(rec-\d{8}-\d{6}\.ts)"))) << written[0];
    EXPECT_EQ(probeCodecs(written[0]), "h264,aac");
    EXPECT_NEAR(probeDuration(written[0]), 4.0, 0.3);
}

TEST_F(TranscodeTest, ALoopingFileRunsPastItsLengthAndSigtermLeavesAValidFile) {
    makeClip(dir / "media/clip.mp4", 1.5);
    configure(1, dir / "media/clip.mp4", {"file", dir / "out/loop.mp4", ""});
    startDaemon();
    std::vector<std::string> written;
    ASSERT_TRUE(waitUntil([&] { return std::regex_search(channelLog(), std::regex("time=00:00:0[4-9]")); }, 30s))
        << channelLog();
    EXPECT_EQ(stopDaemon(), 0);
    written = filesIn(dir / "out", ".mp4");
    ASSERT_EQ(written.size(), 1u) << "one process, never restarted";
    EXPECT_EQ(probeCodecs(written[0]), "h264,aac");
    EXPECT_GT(probeDuration(written[0]), 3.5);
}

// The list fills to its size, then moves on: while it does, the folder holds
// the listed segments and at most one more, the one being written. A slow
// machine takes longer to fill the list, so the wait is for the list, not for
// a fixed time.
TEST_F(TranscodeTest, AnHlsTargetKeepsItsListSizeAndOneMoreSegment) {
    makeClip(dir / "media/clip.mp4", 2);
    configure(1, dir / "media/clip.mp4",
              {"hls", dir / "out/live.m3u8", "VideoParam \"-hls_time 1 -hls_list_size 3\"\n"});
    startDaemon();
    std::string playlist;
    ASSERT_TRUE(waitUntil([&] {
        playlist = readFile(dir / "out/live.m3u8");
        return count(playlist, "#EXTINF") >= 3;
    }, 30s)) << playlist << channelLog();
    std::set<std::string> seen;
    size_t most = 0;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::vector<std::string> segments = filesIn(dir / "out", ".ts");
        most = std::max(most, segments.size());
        seen.insert(segments.begin(), segments.end());
        playlist = readFile(dir / "out/live.m3u8");
        EXPECT_EQ(count(playlist, "#EXTINF"), 3) << playlist;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(stopDaemon(), 0);
    EXPECT_LE(most, 4u);
    EXPECT_GE(seen.size(), 5u) << "the list moved on";
}

// The command line the service gave the launcher for the target writing `output`.
std::string composedLine(const std::string& log, const std::string& output) {
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find("] -v ");
        if (at != std::string::npos && line.find(output) != std::string::npos)
            return line.substr(at + 2);
    }
    return "";
}

std::string without(std::string text, const std::string& part) {
    size_t at = text.find(part);
    return at == std::string::npos ? "" : text.erase(at, part.size());
}

std::vector<double> segmentLengths(const std::string& playlist) {
    std::vector<double> lengths;
    for (size_t at = playlist.find("#EXTINF:"); at != std::string::npos; at = playlist.find("#EXTINF:", at + 1))
        lengths.push_back(std::atof(playlist.c_str() + at + 8));
    return lengths;
}

uintmax_t bytesOf(const std::vector<std::string>& files) {
    uintmax_t total = 0;
    for (const std::string& file : files)
        total += fs::file_size(file);
    return total;
}

// Segments cut every two seconds, each opened by a key frame and holding no
// more, at the quality an encoder reaches when it places its own key frames.
TEST_F(TranscodeTest, HlsSegmentsEachOpenWithTheirOneKeyFrameAtFullQuality) {
    std::string source = dir / "media/pattern.mp4";
    makeExactClip(source, 10, "640x360");
    std::string playlist = dir / "out/live.m3u8";
    configure(0, source, {"hls", playlist, "VideoParam \"-hls_time 2 -hls_list_size 0\"\n"});
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return channelLog().find("transcoding stopped") != std::string::npos; }, 40s))
        << channelLog();
    EXPECT_EQ(stopDaemon(), 0);

    std::vector<std::string> segments = filesIn(dir / "out", ".ts");
    std::sort(segments.begin(), segments.end());
    ASSERT_EQ(segments.size(), 5u) << channelLog();
    for (double length : segmentLengths(readFile(playlist)))
        EXPECT_NEAR(length, 2.0, 0.05) << readFile(playlist);
    int keyFrames = 0;
    for (const std::string& segment : segments) {
        EXPECT_TRUE(probeStartsWithKeyFrame(segment)) << segment;
        int here = probeKeyFrames(segment);
        EXPECT_GE(here, 1) << segment;
        EXPECT_LE(here, 2) << segment;
        keyFrames += here;
    }
    EXPECT_LE(keyFrames, static_cast<int>(segments.size()) + 1);

    // The reference: the same line through the same launcher, with no key
    // frame setting at all, read as fast as it can be encoded.
    std::string line = composedLine(channelLog(), playlist);
    std::string free = without(without(line, "-g 2 -sc_threshold 0 "), "-re ");
    ASSERT_NE(free, "") << line;
    fs::create_directories(dir / "ref");
    free.replace(free.find(playlist), playlist.size(), dir / "ref/live.m3u8");
    writeFile(dir / "ref/line.txt", "qzWek_3184 " + free + "\n");
    runProgram({"timeout", "60", "sh", "-c", "exec \"$0\" < \"$1\" 2>/dev/null", dir / "bin/orval.so", dir / "ref/line.txt"});
    std::vector<std::string> reference = filesIn(dir / "ref", ".ts");
    ASSERT_FALSE(reference.empty());

    double forced = measurePsnr(playlist, source);
    double chosen = measurePsnr(dir / "ref/live.m3u8", source);
    EXPECT_GT(chosen, 30.0);
    EXPECT_GE(forced, chosen - 0.5) << "forced " << forced << " dB, encoder's own " << chosen << " dB";
    // At the same bit rate: a constant-rate encoder fills what it is given.
    double sizeRatio = double(bytesOf(segments)) / double(bytesOf(reference));
    EXPECT_NEAR(sizeRatio, 1.0, 0.1);
    std::printf("key frames %d in %zu segments; PSNR forced %.2f dB, encoder's own %.2f dB; bytes %ju / %ju\n",
                keyFrames, segments.size(), forced, chosen, bytesOf(segments), bytesOf(reference));
    RecordProperty("psnr_forced_cdB", static_cast<int>(forced * 100));
    RecordProperty("psnr_own_cdB", static_cast<int>(chosen * 100));
}

// Frame sizes in the order a receiver showed them, each run once.
std::vector<std::string> sizesShown(const LineReader& receiver) {
    std::vector<std::string> sizes;
    std::regex size(R"( s:(\d+x\d+) )");
    for (const auto& line : receiver.lines()) {
        std::smatch m;
        if (std::regex_search(line.text, m, size) && (sizes.empty() || sizes.back() != m[1]))
            sizes.push_back(m[1]);
    }
    return sizes;
}

TEST_F(TranscodeTest, AFolderPlaysItsFilesInOrderIntoUdp) {
    fs::create_directories(dir / "clips");
    const std::vector<std::string> sizes = {"160x120", "240x180", "320x240"};
    for (const std::string& size : sizes)
        makeClip(dir / ("clips/" + size + ".mp4"), 1.5, size);
    std::vector<std::string> expected;
    for (const auto& entry : fs::directory_iterator(dir / "clips"))
        expected.push_back(entry.path().stem().string());
    int port = freePort(SOCK_DGRAM);
    // The receiver ends five seconds after the last packet and shows every frame by then.
    LineReader receiver(frameLoggerArgs(port, 5));
    configure(0, dir / "clips", {"udpts", "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316", ""});
    startDaemon();
    EXPECT_TRUE(waitUntil([&] { return sizesShown(receiver).size() >= 3; }, 30s)) << channelLog();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(stopDaemon(), 0);
    receiver.stop();
    EXPECT_EQ(sizesShown(receiver), expected);
}

// Each frame of the live source carries its number in its brightness and
// colour, so a receiver can tell which frame it shows whatever the delay.
Args numberedFramesSender(int portA, int portB) {
    std::string udp = "udp://127.0.0.1:";
    return {"ffmpeg", "-hide_banner", "-nostdin", "-re", "-f", "lavfi", "-i",
            "color=c=black:s=64x64:r=25,format=yuv420p,"
            "geq=lum='16+8*mod(N,25)':cb='16+8*mod(floor(N/25),25)':cr=128",
            "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "25", "-map", "0:v", "-f", "tee",
            "[f=mpegts]" + udp + std::to_string(portA) + "?pkt_size=1316|[f=mpegts]" + udp + std::to_string(portB) +
                "?pkt_size=1316"};
}

// When each frame number arrived, in arrival order.
std::vector<std::pair<int, std::chrono::steady_clock::time_point>> framesShown(const LineReader& receiver) {
    std::vector<std::pair<int, std::chrono::steady_clock::time_point>> frames;
    std::regex mean(R"(mean:\[(\d+) (\d+) )");
    for (const auto& line : receiver.lines()) {
        std::smatch m;
        if (!std::regex_search(line.text, m, mean))
            continue;
        int low = static_cast<int>(std::lround((std::stoi(m[1]) - 16) / 8.0));
        int high = static_cast<int>(std::lround((std::stoi(m[2]) - 16) / 8.0));
        frames.push_back({high * 25 + low, line.at});
    }
    return frames;
}

// For every frame the target showed, how long after the live source showed
// it, in the order shown.
std::vector<double> delaysBehind(const LineReader& live, const LineReader& shifted) {
    auto reference = framesShown(live);
    std::vector<double> delays;
    for (const auto& [number, at] : framesShown(shifted)) {
        // The latest showing of that number before this one: numbers repeat every 25 s.
        for (auto r = reference.rbegin(); r != reference.rend(); ++r) {
            if (r->first == number && r->second <= at) {
                delays.push_back(std::chrono::duration<double>(at - r->second).count());
                break;
            }
        }
    }
    return delays;
}

TEST_F(TranscodeTest, ATimeShiftedChannelDeliversItsTargetTheDelayBehindLive) {
    int source = freePort(SOCK_DGRAM), live = freePort(SOCK_DGRAM), shifted = freePort(SOCK_DGRAM);
    LineReader sender(numberedFramesSender(source, live));
    LineReader liveReceiver(frameLoggerArgs(live, 30));
    LineReader shiftedReceiver(frameLoggerArgs(shifted, 30));
    configure(1, "udp://127.0.0.1:" + std::to_string(source),
              {"udpts", "udp://127.0.0.1:" + std::to_string(shifted) + "?pkt_size=1316",
               "VideoCodec Copy\nAudioEnable 0\n"},
              "TimeShiftSec 4\nTimeShiftCacheFolder \"" + dir / "cache" + "\"\n");
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return framesShown(shiftedReceiver).size() >= 300; }, 50s))
        << channelLog(1) << channelLog(65);
    EXPECT_EQ(stopDaemon(), 0);
    // A receiver shows its first frames late, after probing the stream, and
    // catches up over some seconds; only the later frames tell the delay.
    std::vector<double> delays = delaysBehind(liveReceiver, shiftedReceiver);
    ASSERT_GE(delays.size(), 250u);
    delays.erase(delays.begin(), delays.end() - 100);
    std::sort(delays.begin(), delays.end());
    double median = delays[delays.size() / 2];
    EXPECT_NEAR(median, 4.0, 1.0) << "from " << delays.front() << " to " << delays.back()
        << channelLog(1) << channelLog(65);
    RecordProperty("median_delay_ms", static_cast<int>(median * 1000));
}

}  // namespace
