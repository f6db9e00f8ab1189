// Reading the configuration file: older keys and tags, clamped counts, quoted
// texts, uploads and files that cannot be read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "config/config_fixture.h"
#include "engine/orva_text.h"
#include "test_support.h"

namespace {

// A configured first channel: a file source and an H.264 target.
const char* const kMinimalBlock =
    "Enable 1\n<Input>\nFormat file\nFile \"/media/a.ts\"\n</Input>\n"
    "<Output>\nFormat udpts\nVideoCodec H264\nFile \"udp://239.0.0.1:1234\"\n";

class ConfigRead : public ConfigFileTest {
protected:
    int read(const std::string& text) {
        writeFile(path_, text);
        return orvaImportConfig();
    }
    // Channel 1 with the minimal block, `extra` lines in its output block.
    int readChannel(const std::string& extra) {
        return read(std::string("<Channel1>\n") + kMinimalBlock + extra + "</Output>\n</Channel1>\n");
    }
    ORVA_CHANNEL_TAG& ch_ = g_orvaChannels[0];
};

}  // namespace

TEST_F(ConfigRead, TakesChannelsOnlyUpToTheFirstUnconfiguredOne) {
    std::string text;
    for (int n : {1, 2, 3, 4}) {
        const char* body = n == 3 ? "Enable 1\n" : kMinimalBlock;
        text += "<Channel" + std::to_string(n) + ">\n" + body + (n == 3 ? "" : "</Output>\n") +
                "</Channel" + std::to_string(n) + ">\n";
    }
    EXPECT_EQ(2, read(text));
    EXPECT_EQ(0, isChannelValid(2));
    EXPECT_EQ(1, g_orvaChannels[2].Enable);  // channel 3 was read, not taken
    EXPECT_EQ('\0', g_orvaChannels[3].Sources[0].File[0]);
}

TEST_F(ConfigRead, SettingsStartFromFileDefaultsAndLogOneMeansDebug) {
    copyText(g_globalSettings.AclFile, "/etc/orval/orval.acl");
    EXPECT_EQ(0, read("log 1\nLoginPass pass word\nCpuPerChannel 2\nHTTPPort 99999\n"));
    EXPECT_EQ(32, g_globalSettings.Log);
    EXPECT_STREQ("pass", g_globalSettings.LoginPass);
    EXPECT_EQ(2, g_globalSettings.CpuPerChannel);
    EXPECT_EQ(8888, g_globalSettings.HTTPPort);  // out of range for a port: not read
    EXPECT_EQ(5544, g_globalSettings.RTSPPort);
    EXPECT_EQ(1, g_globalSettings.AutoRestart);
    EXPECT_STREQ("/etc/orval/orval.acl", g_globalSettings.AclFile);
}

TEST_F(ConfigRead, OlderSlotTagsAndKeys) {
    ASSERT_EQ(1, read(std::string("<Slot1>\n") + kMinimalBlock +
                      "TimeShift 2\nCustomParam \"-x 1\"\nTimeShiftCacheFolder \"/cache\"\n"
                      "</Output>\n</Slot1>\n"));
    EXPECT_EQ(120, ch_.TimeShiftSec);
    EXPECT_STREQ("-x 1", ch_.TargetParam);
    EXPECT_STREQ("/cache/", ch_.TimeShiftCacheFolder);

    struct Case { const char* lines; int seconds; };
    const Case cases[] = {{"TimeShift 2\nTimeShiftSec 30\n", 30},
                          {"TimeShiftSec 30\nTimeShift 2\n", 120},
                          {"TimeShift 99999999\n", INT32_MAX}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        readChannel(c.lines);
        EXPECT_EQ(c.seconds, ch_.TimeShiftSec);
    }
}

TEST_F(ConfigRead, CountsAreClampedAndExtraSubBlocksFallToTheFirstRecord) {
    std::string text = "NumOutputs 7\n";
    for (int t = 1; t <= 6; t++)
        text += "<Output" + std::to_string(t) + ">\nMuxBitRate " + std::to_string(t) + "\n</Output" +
                std::to_string(t) + ">\n";
    text += "Filters 12\n";
    for (int k = 1; k <= 12; k++)
        text += "Filter[" + std::to_string(k) + "] \"f" + std::to_string(k) + "\"\n";
    readChannel(text);
    EXPECT_EQ(5, ch_.NumOutputs);
    EXPECT_EQ(6, ch_.Targets[0].MuxBitRate);  // the sixth sub-block's lines
    EXPECT_EQ(5, ch_.Targets[4].MuxBitRate);
    EXPECT_EQ(10, ch_.Filters);
    EXPECT_STREQ("f10", ch_.Filter[9]);

    read("<Channel1>\n<Input>\nNumInputs -3\n</Input>\n<Output>\nFilters -1\n</Output>\n");
    EXPECT_EQ(0, ch_.NumInputs);
    EXPECT_EQ(0, ch_.Filters);
}

TEST_F(ConfigRead, TargetKeys) {
    struct MapCase { const char* param; const char* kept; };
    const MapCase maps[] = {{"-map 0:v -map 0:a -g 50", "-g 50"},
                            {"-c:v libx264 -map 0", "-c:v libx264 "},
                            {"-g 50", "-g 50"}};
    for (const MapCase& c : maps) {
        SCOPED_TRACE(c.param);
        parseOutputSubBlock((std::string("VideoParam \"") + c.param + "\"").c_str(), ch_.Targets[1]);
        EXPECT_STREQ(c.kept, ch_.Targets[1].VideoParam);
    }
    struct HeaderCase { const char* word; int value; };
    const HeaderCase headers[] = {{"outofband", 1}, {"OUTOFBAND", 1}, {"InBand", 0}, {"yes", 0}};
    for (const HeaderCase& c : headers) {
        SCOPED_TRACE(c.word);
        parseOutputSubBlock((std::string("videoglobalheader ") + c.word).c_str(), ch_.Targets[1]);
        EXPECT_EQ(c.value, ch_.Targets[1].Video.VideoGlobalHeader);
    }
    for (const char* lines : {"VideoBitRate 2000\nVideoQuality 80\n", "VideoQuality 80\nVideoBitRate 2000\n"}) {
        SCOPED_TRACE(lines);
        readChannel(lines);
        EXPECT_EQ(0, ch_.Targets[0].Video.VideoQuality);
    }
    readChannel("VideoQuality 80\nVideoBitRate 0\nMemo \"a\"b\"\nRTMPPubPass p w\n");
    EXPECT_EQ(80, ch_.Targets[0].Video.VideoQuality);
    EXPECT_STREQ("a", ch_.Memo);
    EXPECT_STREQ("p", ch_.Targets[0].RTMPPubPass);
}

TEST_F(ConfigRead, SourceFileIsQuotedOnlyForFileSources) {
    ORVA_CHANNEL_SOURCE_TAG& src = ch_.Sources[0];
    parseInputSubBlock(("File \"" + std::string(996, 'a') + "\"").c_str(), src);
    EXPECT_EQ(994u, strlen(src.File));
    EXPECT_EQ(src.File, src.pszAddress);
    parseInputSubBlock("Format decklink", src);
    parseInputSubBlock("File \t DeckLink Mini Recorder (1)\r\n", src);
    EXPECT_STREQ("DeckLink Mini Recorder (1)", src.File);
    parseInputSubBlock("File", src);  // no blank behind the key: not the key
    EXPECT_STREQ("DeckLink Mini Recorder (1)", src.File);
}

TEST_F(ConfigRead, OldSingleBlockFormInsideAnUpload) {
    const std::string upload =
        "------WebKitFormBoundaryx7\r\n"
        "Content-Disposition: form-data; name=\"file\"; filename=\"orval.conf\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n"
        "# Kestova Configuration File\r\n\r\nAutoStart 1\r\n"
        "<Channel1>\r\n Enable 1\r\n <Input>\r\n  Format ndi\r\n  File CAM (Studio 1)\r\n"
        "  VideoParam \"-re\"\r\n </Input>\r\n <Output>\r\n  Format rtmp\r\n  VideoCodec h264\r\n"
        "  File \"rtmp://a/b\"\r\n  Memo \"m\"\r\n </Output>\r\n</Channel1>\r\n"
        "------WebKitFormBoundaryx7--\r\n";
    ASSERT_EQ(1, read(upload));
    EXPECT_EQ(1, g_globalSettings.AutoStart);
    EXPECT_EQ(1, ch_.NumInputs);
    EXPECT_EQ(1, ch_.NumOutputs);
    EXPECT_EQ(ORVA_FORMAT_NDI, ch_.Sources[0].Format);
    EXPECT_STREQ("CAM (Studio 1)", ch_.Sources[0].File);
    EXPECT_STREQ("-re", ch_.SourceVideoParam);
    EXPECT_STREQ("rtmp://a/b", ch_.Targets[0].File);
    EXPECT_STREQ("m", ch_.Memo);
    for (const ORVA_CHANNEL_SOURCE_TAG& src : g_orvaChannels[5].Sources)
        EXPECT_EQ(src.File, src.pszAddress);
}

TEST_F(ConfigRead, UnreadablePathChangesNothing) {
    ch_.Enable = 7;
    g_globalSettings.HTTPPort = 1234;
    for (const std::string& path : {dir_ / "missing.conf", dir_.path(), std::string()}) {
        SCOPED_TRACE(path);
        orvaSetConfigFile(path.c_str());
        EXPECT_EQ(0, orvaImportConfig());
        EXPECT_EQ(7, ch_.Enable);
        EXPECT_EQ(1234, g_globalSettings.HTTPPort);
    }
}

// The first line where two texts differ, for a short failure message.
std::string firstDifference(const std::string& a, const std::string& b) {
    size_t at = std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
    size_t start = a.rfind('\n', at) == std::string::npos ? 0 : a.rfind('\n', at) + 1;
    return a.substr(start, a.find('\n', at) - start) + " | " + b.substr(start, b.find('\n', at) - start);
}

// Whatever a hand-edited or damaged file holds, reading it never fails, and
// once written (which names an unset video codec as the reader's default) the
// configuration reads back and writes again unchanged.
TEST_F(ConfigRead, AnyFileReadsAndThenRoundTripsUnchanged) {
    const char* const keys[] = {
        "<Channel1>", "</Channel1>", "<Channel2>", "</Channel2>", "<Slot1>", "<Input>", "</Input>",
        "<Output>", "</Output>", "<Input1>", "</Input1>", "<Output2>", "</Output2>", "Enable ",
        "NumInputs ", "NumOutputs ", "Format ", "File ", "VideoCodec ", "AudioCodec ", "VideoIP ",
        "VideoPort ", "VideoFrameRate ", "VideoBitRate ", "VideoQuality ", "VideoParam ",
        "Filters ", "Filter[1] ", "Filter[2] ", "TimeShift ", "TimeShiftSec ", "MapParam ",
        "TimeShiftCacheFolder ", "RTMPPubUser ", "LoginPass ", "HTTPPort ", "Log "};
    const char* const values[] = {"1", "-3", "7", "99999", "29.97", "\"a b\"", "\"-map 0 x\"",
                                  "rtp", "file", "decklink", "H264", "AAC", "10.0.0.1", "\"",
                                  "word", "\"/media/c.ts\"", ""};
    unsigned generator = 7;
    for (int trial = 0; trial < 40; trial++) {
        std::string text;
        for (int line = 0; line < 120; line++) {
            text += keys[rand_r(&generator) % std::size(keys)];
            text += values[rand_r(&generator) % std::size(values)];
            text += "\n";
        }
        read(text);
        ASSERT_EQ(0, orvaExportConfig(nullptr));
        orvaImportConfig();
        ASSERT_EQ(0, orvaExportConfig(nullptr));
        std::string second = readFile(path_);
        orvaImportConfig();
        ASSERT_EQ(0, orvaExportConfig(nullptr));
        std::string third = readFile(path_);
        ASSERT_TRUE(second == third) << "trial " << trial << ": " << firstDifference(second, third);
    }
}
