// thumb_test.cpp: the live thumbnail of a channel that really transcodes:
// the real daemon, the real launcher and this machine's ffmpeg.
#include <filesystem>
#include <regex>
#include <sstream>

#include "e2e/media.h"
#include "e2e/real_launcher_fixture.h"
#include "web/web_client.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class ThumbnailTest : public RealLauncherTest {
protected:
    std::string thumb = root + "/var/orval/thumb/orva_001.jpg";

    // Channel 1: the file `source` into an H.264 and AAC file in out/, or a
    // copy of its streams.
    void configure(const std::string& source, bool copy = false) {
        std::string codecs = copy ? "VideoCodec Copy\nAudioEnable 1\nAudioCodec Copy\n"
                                  : "VideoCodec H264\nVideoBitRate 600\nAudioEnable 1\nAudioCodec AAC\nAudioBitRate 96\n";
        writeFile(conf, "Log 32\n" + portLine() + "AutoRestart 0\n"
                        "<Channel1>\nEnable 1\n"
                        "<Input>\nNumInputs 1\n<Input1>\nFormat file\nFile \"" + source + "\"\n</Input1>\n</Input>\n"
                        "<Output>\nNumOutputs 1\n<Output1>\nFormat file\n"
                        "VideoEnable 1\n" + codecs + "File \"" + (dir / "out/rec.ts") + "\"\n</Output1>\n</Output>\n"
                        "</Channel1>\n");
    }

    std::string channelLog() const { return readFile(root + "/var/orval/log/orva_001.log"); }
    bool stopped() const { return channelLog().find("transcoding stopped") != std::string::npos; }

    std::string written() const {
        for (const auto& entry : fs::directory_iterator(dir / "out"))
            if (entry.path().extension() == ".ts")
                return entry.path().string();
        return "";
    }

    // The line the service gave the launcher, with its output moved into ref/.
    std::string referenceLine() const {
        std::istringstream lines(channelLog());
        std::string out = dir / "out/";
        for (std::string line; std::getline(lines, line);) {
            size_t at = line.find("] -v ");
            size_t target = line.find(out);
            if (at == std::string::npos || target == std::string::npos)
                continue;
            line.replace(target, out.size(), dir / "ref/");
            return line.substr(at + 2);
        }
        return "";
    }
};

// One line per stream: codec, type, and the picture or sound format.
std::string streamsOf(const std::string& path) {
    std::string text = runProgram({"ffprobe", "-v", "error", "-show_entries",
                                   "stream=codec_type,codec_name,width,height,sample_rate,channels", "-of", "csv=p=0",
                                   path});
    // MPEG-TS lists its program's streams first, then a blank line and the streams again.
    size_t blank = text.rfind("\n\n");
    return blank == std::string::npos ? text : text.substr(blank + 2);
}

std::string pictureOf(const std::string& path) {
    return runProgram({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height", "-of", "csv=p=0",
                       path});
}

// Channel 1's stream time from the status document, in seconds; -1 before the first progress.
int streamSeconds(int port) {
    HttpReply reply = httpExchange(port, httpRequest("GET", "/status"));
    std::smatch m;
    std::regex status(R"(<ch id="1"><state>start</state><status>(\d\d):(\d\d):(\d\d) )");
    if (!std::regex_search(reply.body, m, status))
        return -1;
    return std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]);
}

bool isWholeJpeg(const std::string& bytes) {
    return bytes.size() > 4 && bytes.starts_with("\xff\xd8") && bytes.ends_with("\xff\xd9");
}

}  // namespace

TEST_F(ThumbnailTest, ARunningChannelKeepsAFreshPictureOfItsInputAndItsOutputIsUnchanged) {
    makeClip(dir / "media/clip.mp4", 14, "640x360");
    configure(dir / "media/clip.mp4");
    auto start = std::chrono::steady_clock::now();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return fileExists(thumb); }, 10s)) << channelLog();
    double appeared = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("the first picture appeared %.1f s after the daemon was started\n", appeared);
    RecordProperty("first_picture_ms", static_cast<int>(appeared * 1000));
    std::string first = readFile(thumb);
    EXPECT_TRUE(isWholeJpeg(first));
    EXPECT_EQ(pictureOf(thumb), "mjpeg,320,180\n");

    HttpReply served = httpExchange(httpPort, httpRequest("GET", "/thumb1"));
    EXPECT_EQ(served.status, 200);
    EXPECT_EQ(served.header("content-type"), "image/jpeg");
    EXPECT_EQ(served.header("cache-control"), "no-cache");
    EXPECT_TRUE(isWholeJpeg(served.body));

    // The test pattern moves: the next picture differs, and every one read is
    // whole. Meanwhile the channel's stream time, read in real time, never runs
    // ahead of the clock: the thumbnail's own timestamps must not carry it.
    std::string next;
    int furthestLead = -100;
    EXPECT_TRUE(waitUntil([&] {
        next = readFile(thumb);
        EXPECT_TRUE(isWholeJpeg(next)) << next.size() << " bytes";
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        furthestLead = std::max(furthestLead, streamSeconds(httpPort) - static_cast<int>(elapsed));
        return next != first;
    }, 15s)) << channelLog();  // a picture every 5 s of stream, with room for a loaded machine
    EXPECT_LE(furthestLead, 0) << "the stream time ran ahead of the clock";
    EXPECT_EQ(pictureOf(thumb), "mjpeg,320,180\n");

    ASSERT_TRUE(waitUntil([&] { return stopped(); }, 30s)) << channelLog();
    EXPECT_EQ(stopDaemon(), 0);
    std::string output = written();
    ASSERT_NE(output, "");
    EXPECT_EQ(streamsOf(output), "h264,video,640,360\naac,audio,44100,1\n") << channelLog();

    // The same line through the same launcher, without a thumbnail, writes the same streams.
    std::string line = referenceLine();
    ASSERT_NE(line, "") << channelLog();
    fs::create_directories(dir / "ref");
    writeFile(dir / "ref/line.txt", "qzWek_3184 " + line + "\n");
    runProgram({"timeout", "60", "env", "-u", "ORVAL_THUMB", "sh", "-c", "exec \"$0\" < \"$1\" 2>/dev/null",
                dir / "bin/orval.so", dir / "ref/line.txt"});
    std::string reference = dir / "ref" / fs::path(output).filename();
    EXPECT_EQ(streamsOf(reference), streamsOf(output));
}

TEST_F(ThumbnailTest, AChannelThatCopiesShowsPicturesDecodedFromKeyFrames) {
    makeClip(dir / "media/clip.mp4", 12, "640x360");
    configure(dir / "media/clip.mp4", true);
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return fileExists(thumb); }, 10s)) << channelLog();
    std::string first = readFile(thumb);
    EXPECT_EQ(pictureOf(thumb), "mjpeg,320,180\n");
    EXPECT_TRUE(waitUntil([&] { return readFile(thumb) != first; }, 8s)) << channelLog();
    ASSERT_TRUE(waitUntil([&] { return stopped(); }, 30s)) << channelLog();
    EXPECT_EQ(stopDaemon(), 0);
    ASSERT_NE(written(), "");
    EXPECT_EQ(streamsOf(written()), "h264,video,640,360\naac,audio,44100,1\n") << channelLog();
}

// A sound-only MPEG-TS file does not say what it carries: the thumbnail
// output is there, finds no picture, and the channel runs all the same.
TEST_F(ThumbnailTest, AChannelThatTakesInSoundOnlyRunsWithoutAPicture) {
    std::string source = dir / "media/tone.ts";
    runProgram({"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
                "-t", "4", "-c:a", "aac", source});
    configure(source);
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return stopped(); }, 30s)) << channelLog();
    EXPECT_EQ(stopDaemon(), 0);
    EXPECT_FALSE(fileExists(thumb));
    std::string log = channelLog();
    EXPECT_NE(log.find("Output #1, tee, to "), std::string::npos) << log;
    EXPECT_EQ(log.find("does not contain any stream"), std::string::npos) << log;
    ASSERT_NE(written(), "");
    EXPECT_EQ(streamsOf(written()), "aac,audio,44100,1\n") << log;
    EXPECT_NEAR(probeDuration(written()), 4.0, 0.3);
}
