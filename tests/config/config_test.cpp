// Writing the configuration file: exact layout, round trip, failed writes,
// the locale of numbers; and the name=value lookup of request bodies.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/config_fixture.h"
#include "engine/orva_text.h"
#include "test_support.h"

namespace {

class ConfigWrite : public ConfigFileTest {
protected:
    std::string write() {
        EXPECT_EQ(0, orvaExportConfig(nullptr));
        return readFile(path_);
    }
    // The lines between a sub-block's opening and closing tag.
    static std::string subBlock(const std::string& text, const std::string& tag) {
        size_t open = text.find("  <" + tag + ">\n");
        size_t close = text.find("  </" + tag + ">\n");
        if (open == std::string::npos || close == std::string::npos)
            return "(missing " + tag + ")";
        open += tag.size() + 5;
        return text.substr(open, close - open);
    }
};

std::string emptyBlock(int n) {
    std::string number = std::to_string(n);
    return "<Channel" + number + ">\nEnable 0\n <Input>\n  NumInputs 0\n  VideoParam \"\"\n"
           "  SourceParam \"\"\n </Input>\n <Output>\n  NumOutputs 0\n  MapParam \"\"\n"
           "  FormatParam \"\"\n  Filters 0\n  TimeShiftSec 0\n  TimeShiftCacheFolder \"\"\n"
           "  TargetParam \"\"\n  Memo \"\"\n </Output>\nBackupSource \"\"\nSourceTimeout 1000\n"
           "AlarmBlackSec 10\nAlarmFreezeSec 10\nAlarmSilenceSec 10\n</Channel" + number + ">\n";
}

void fillRichConfiguration() {
    g_globalSettings = {.HTTPPort = 8080, .RTSPPort = 554, .Log = 32, .AutoStart = 1,
                        .AutoRestart = 5, .CpuPerChannel = 2, .StreamTimeLimit = 60,
                        .FolderRecur = 1, .FolderShuffle = 1, .LoginPass = "secret", .AclFile = ""};
    ORVA_CHANNEL_TAG& ch = g_orvaChannels[0];
    ch.Enable = 1;
    ch.NumInputs = 5;
    copyText(ch.Sources[0].File, "/media/in put/a.ts");
    ORVA_CHANNEL_SOURCE_TAG& rtp = ch.Sources[1];
    rtp.Format = ORVA_FORMAT_RTP;
    rtp.Video.VideoEnable = 1;
    rtp.Audio.AudioEnable = 1;
    rtp.Video.VideoCodec = ORVA_VIDEO_H264;
    rtp.Video.VideoSourceIP = Inet_addr("239.1.1.1");
    rtp.Video.VideoSourcePort = 5004;
    copyText(rtp.Video.VideoFmtp, "packetization-mode=1");
    rtp.Audio.AudioCodec = ORVA_AUDIO_AAC;
    rtp.Audio.AudioChannel = 2;
    rtp.Audio.AudioSampleRate = 48000;
    rtp.Audio.AudioSourceIP = Inet_addr("239.1.1.2");
    rtp.Audio.AudioSourcePort = 5006;
    ch.Sources[2].Format = ORVA_FORMAT_DECKLINK;
    copyText(ch.Sources[2].File, "DeckLink Mini Recorder (1)");
    ch.Sources[3].Format = ORVA_FORMAT_SRT;
    ch.Sources[4].Format = 99;
    copyText(ch.SourceVideoParam, "-re");
    copyText(ch.SourceParam, "-thread_queue_size 512");

    ch.NumOutputs = 2;
    ORVA_CHANNEL_TARGET_TAG& rtmp = ch.Targets[0];
    rtmp.Format = ORVA_FORMAT_RTMP;
    ORVA_VIDEO_TAG& v = rtmp.Video;
    v.VideoEnable = 1;
    v.VideoCodec = ORVA_VIDEO_H264;
    v.VideoWidth = 1280;
    v.VideoHeight = 720;
    v.VideoFrameRate = 29.97f;
    v.VideoKeyFrameInterval = 50;
    v.VideoBitRate = 2500;
    v.VideoDeinterlace = 1;
    v.VideoGlobalHeader = 1;
    ORVA_AUDIO_TAG& a = rtmp.Audio;
    a.AudioEnable = 1;
    a.AudioCodec = ORVA_AUDIO_HEAAC;
    a.AudioChannel = 2;
    a.AudioSampleRate = 44100;
    a.AudioBitRate = 128;
    rtmp.MuxBitRate = 3000;
    copyText(rtmp.VideoParam, "-preset veryfast");
    copyText(rtmp.RTMPFlashVer, "FMLE/3.0");
    copyText(rtmp.RTMPSwfUrl, "rtmp://live.example/app");
    copyText(rtmp.RTMPPubUser, "bob");
    copyText(rtmp.RTMPPubPass, "pw");
    copyText(rtmp.File, "rtmp://live.example/app/key");
    ORVA_CHANNEL_TARGET_TAG& out = ch.Targets[1];
    out.Format = ORVA_FORMAT_RTP;
    out.Video.VideoEnable = 1;
    out.Video.VideoCodec = ORVA_VIDEO_COPY;
    out.Video.VideoQuality = 80;
    out.Video.VideoTargetIP = Inet_addr("10.0.0.5");
    out.Video.VideoTargetPort = 6000;
    out.Audio.AudioCodec = ORVA_AUDIO_AMRNB;
    out.Audio.AudioTargetIP = Inet_addr("10.0.0.5");
    out.Audio.AudioTargetPort = 6002;

    copyText(ch.MapParam, "-map 0:v:0 -map 0:a:0");
    copyText(ch.FormatParam, "-f flv");
    ch.Filters = 2;
    copyText(ch.Filter[0], "yadif");
    copyText(ch.Filter[1], "scale=1280:720");
    copyText(ch.TargetParam, "-flvflags no_duration_filesize");
    ch.TimeShiftSec = 300;
    copyText(ch.TimeShiftCacheFolder, "/var/cache/orval/");
    copyText(ch.Memo, "Main feed");

}

}  // namespace

TEST_F(ConfigWrite, EmptyConfigurationIsHeaderSettingsAndSixtyFourEmptyBlocks) {
    std::string expected =
        "# Kestova Configuration File\n\nLog 0\nHTTPPort 0\nRTSPPort 0\nAutoStart 0\n"
        "AutoRestart 0\nCpuPerChannel 0\nStreamTimeLimit 0\nFolderRecur 0\nFolderShuffle 0\n"
        "LoginPass \n\n";
    for (int n = 1; n <= ORVA_CHANNEL_COUNT; n++)
        expected += emptyBlock(n);
    EXPECT_EQ(expected, write());
}

TEST_F(ConfigWrite, RichConfigurationReadsBackAndWritesTheSameBytes) {
    fillRichConfiguration();
    const std::string first = write();
    EXPECT_EQ("   Format rtp\n   File \n   VideoEnable 1\n   VideoCodec H264\n"
              "   VideoIP 239.1.1.1\n   VideoPort 5004\n   VideoFmtp \"packetization-mode=1\"\n"
              "   AudioEnable 1\n   AudioCodec AAC\n   AudioSampleRate 48000\n   AudioChannel 2\n"
              "   AudioIP 239.1.1.2\n   AudioPort 5006\n   AudioFmtp \"\"\n",
              subBlock(first, "Input2"));
    // Every source carries its File and the stream keys; an unset video codec
    // is written as the H264 the reader makes of it, an unknown format as file.
    const std::string unsetStreams =
        "   VideoEnable 0\n   VideoCodec H264\n   VideoIP 0.0.0.0\n   VideoPort 0\n"
        "   VideoFmtp \"\"\n   AudioEnable 0\n   AudioCodec G711U\n   AudioSampleRate 0\n"
        "   AudioChannel 0\n   AudioIP 0.0.0.0\n   AudioPort 0\n   AudioFmtp \"\"\n";
    EXPECT_EQ("   Format decklink\n   File DeckLink Mini Recorder (1)\n" + unsetStreams,
              subBlock(first, "Input3"));
    EXPECT_EQ("   Format srt\n   File \n" + unsetStreams, subBlock(first, "Input4"));
    EXPECT_EQ("   Format file\n   File \"\"\n" + unsetStreams, subBlock(first, "Input5"));
    EXPECT_EQ("   Format rtmp\n   VideoEnable 1\n   VideoCodec H264\n   VideoWidth 1280\n"
              "   VideoHeight 720\n   VideoFrameRate 29.97\n   VideoKeyFrameInterval 50\n"
              "   VideoQuality 0\n   VideoBitRate 2500\n   VideoDeinterlace 1\n   VideoIP 0.0.0.0\n"
              "   VideoPort 0\n   VideoGlobalHeader OutOfBand\n   VideoParam \"-preset veryfast\"\n"
              "   AudioEnable 1\n   AudioCodec HEAAC\n   AudioSampleRate 44100\n   AudioChannel 2\n"
              "   AudioBitRate 128\n   AudioIP 0.0.0.0\n   AudioPort 0\n"
              "   AudioGlobalHeader InBand\n   AudioParam \"\"\n   MuxBitRate 3000\n"
              "   RTMPFlashVer FMLE/3.0\n   RTMPSwfUrl rtmp://live.example/app\n"
              "   RTMPPubUser bob\n   RTMPPubPass pw\n   File \"rtmp://live.example/app/key\"\n",
              subBlock(first, "Output1"));
    EXPECT_NE(std::string::npos, subBlock(first, "Output2").find("   AudioCodec AAC\n"));
    EXPECT_NE(std::string::npos, first.find("  Filter[2] \"scale=1280:720\"\n  TimeShiftSec 300\n"));

    memset(g_orvaChannels, 0, sizeof g_orvaChannels);
    ASSERT_EQ(1, orvaImportConfig());
    const ORVA_CHANNEL_TAG& ch = g_orvaChannels[0];
    EXPECT_EQ(5, ch.NumInputs);
    EXPECT_STREQ("/media/in put/a.ts", ch.Sources[0].File);
    EXPECT_EQ(5004, ch.Sources[1].Video.VideoSourcePort);
    EXPECT_EQ(1, ch.Sources[1].Video.VideoEnable);
    EXPECT_EQ(1, ch.Sources[1].Audio.AudioEnable);
    EXPECT_EQ(Inet_addr("239.1.1.2"), ch.Sources[1].Audio.AudioSourceIP);
    EXPECT_STREQ("DeckLink Mini Recorder (1)", ch.Sources[2].pszAddress);
    EXPECT_FLOAT_EQ(29.97f, ch.Targets[0].Video.VideoFrameRate);
    EXPECT_STREQ("-map 0:v:0 -map 0:a:0", ch.MapParam);
    EXPECT_EQ(80, ch.Targets[1].Video.VideoQuality);
    EXPECT_EQ(ORVA_AUDIO_AAC, ch.Targets[1].Audio.AudioCodec);
    EXPECT_STREQ("secret", g_globalSettings.LoginPass);
    EXPECT_EQ(first, write());
}

TEST_F(ConfigWrite, FailedWriteReturnsMinusOneAndKeepsTheOldFile) {
    EXPECT_EQ(-1, orvaExportConfig((dir_ / "no-such-folder/orval.conf").c_str()));
    EXPECT_EQ(-1, orvaExportConfig(dir_.path().c_str()));  // a folder is no file
    EXPECT_EQ(0, orvaExportConfig(""));

    writeFile(path_, "old configuration\n");
    // A file size limit stops root as well: the write fails part-way, like a full disk.
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 4096;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    int result = orvaExportConfig(nullptr);
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(-1, result);
    EXPECT_EQ("old configuration\n", readFile(path_));
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        entries++;
    EXPECT_EQ(1, entries);  // no temporary file is left behind
}

// The file keeps the environment's numbers, but only the reading or writing
// thread uses that locale: the process goes on printing "12.5".
TEST_F(ConfigWrite, NumbersFollowTheEnvironmentsLocaleWithoutChangingTheProcess) {
    const std::string before = setlocale(LC_ALL, nullptr);
    std::string text;
    float rate = 0;
    char printed[16] = "";
    {
        GermanEnvironment german;
        ASSERT_TRUE(german.built()) << "localedef (package locales) is needed";
        g_orvaChannels[0].NumOutputs = 1;
        g_orvaChannels[0].Targets[0].Video.VideoFrameRate = 29.97f;
        text = write();
        g_orvaChannels[0].Targets[0].Video.VideoFrameRate = 0;
        orvaImportConfig();
        rate = g_orvaChannels[0].Targets[0].Video.VideoFrameRate;
        snprintf(printed, sizeof printed, "%g", 12.5);
    }
    EXPECT_NE(std::string::npos, text.find("   VideoFrameRate 29,97\n"));
    EXPECT_FLOAT_EQ(29.97f, rate);
    EXPECT_STREQ("12.5", printed);
    EXPECT_EQ(before, setlocale(LC_ALL, nullptr));
}

// Whatever the table holds, the file holds what the reader will take, so the
// first save is already a fixpoint.
TEST_F(ConfigWrite, WritesEveryValueInTheFormTheReaderTakes) {
    g_globalSettings.Log = 1;
    g_globalSettings.AutoRestart = 100000;
    g_globalSettings.CpuPerChannel = -3;
    ORVA_CHANNEL_TAG& ch = g_orvaChannels[0];
    ch.NumInputs = 0;  // a first source filled all the same
    copyText(ch.Sources[0].File, "/media/a.ts");
    ch.NumOutputs = 1;
    ch.Targets[0].Audio.AudioCodec = ORVA_AUDIO_AMRNB;
    copyText(ch.Targets[0].VideoParam, "-map 0:v -g 50");
    copyText(ch.Memo, "line one\nLoginPass x");
    ch.TimeShiftSec = 1000000000;
    ORVA_CHANNEL_TAG& device = g_orvaChannels[1];
    device.NumInputs = 1;
    device.Sources[0].Format = ORVA_FORMAT_DEVICE;
    copyText(device.Sources[0].File, " \t/dev/video0");

    const std::string first = write();
    struct Case { const char* line; };
    const Case expected[] = {{"\nLog 32\n"},
                             {"\nAutoRestart 86400\n"},
                             {"\nCpuPerChannel 0\n"},
                             {"\n  NumInputs 1\n  <Input1>\n   Format file\n   File \"/media/a.ts\"\n"
                              "   VideoEnable 0\n   VideoCodec H264\n"},
                             {"\n   VideoEnable 0\n   VideoCodec H264\n   VideoWidth 0\n"},
                             {"\n   AudioCodec AAC\n"},
                             {"\n   VideoParam \"-g 50\"\n"},
                             {"\n  Memo \"\"\n"},
                             {"\n  TimeShiftSec 86400\n"},
                             {"\n   Format device\n   File /dev/video0\n"}};
    for (const Case& c : expected) {
        SCOPED_TRACE(c.line);
        EXPECT_NE(std::string::npos, first.find(c.line));
    }
    EXPECT_EQ(std::string::npos, first.find("G711U\n   VideoWidth"));
    EXPECT_EQ(std::string::npos, first.find("line one"));

    ASSERT_EQ(1, orvaImportConfig());
    EXPECT_EQ(1, g_orvaChannels[0].NumInputs);
    EXPECT_EQ(ORVA_VIDEO_H264, g_orvaChannels[0].Targets[0].Video.VideoCodec);
    EXPECT_EQ(first, write());
}

// Network sources written by hand (every format the reader knows) keep their
// address, and every source keeps its stream keys, through a save.
TEST_F(ConfigWrite, EverySourceFormatKeepsItsAddressAndStreamKeys) {
    for (int format = ORVA_FORMAT_FILE; format <= ORVA_FORMAT_HTTPMJPG; format++) {
        SCOPED_TRACE(format);
        memset(static_cast<void*>(g_orvaChannels), 0, sizeof g_orvaChannels);
        ORVA_CHANNEL_TAG& ch = g_orvaChannels[0];
        ch.NumInputs = 1;
        ORVA_CHANNEL_SOURCE_TAG& src = ch.Sources[0];
        src.Format = format;
        copyText(src.File, "srt://10.0.0.1:9000?mode=caller&latency=200 \"x\" ");
        src.Video.VideoEnable = 1;
        src.Video.VideoCodec = ORVA_VIDEO_MP4V;
        src.Video.VideoSourceIP = Inet_addr("239.1.1.1");
        src.Video.VideoSourcePort = 5004;
        copyText(src.Video.VideoFmtp, "profile-level-id=1; config=000001B0");
        src.Audio.AudioCodec = ORVA_AUDIO_MP3;
        src.Audio.AudioChannel = 2;
        src.Audio.AudioSourcePort = 5006;
        ch.NumOutputs = 1;
        ch.Targets[0].Video.VideoCodec = ORVA_VIDEO_H264;
        copyText(ch.Targets[0].File, "/media/out.ts");
        const ORVA_CHANNEL_SOURCE_TAG before = src;

        const std::string first = write();
        memset(static_cast<void*>(g_orvaChannels), 0, sizeof g_orvaChannels);
        ASSERT_EQ(1, orvaImportConfig());
        const ORVA_CHANNEL_SOURCE_TAG& after = g_orvaChannels[0].Sources[0];
        EXPECT_EQ(format, after.Format);
        EXPECT_STREQ(before.File, after.File);
        EXPECT_EQ(after.File, after.pszAddress);
        EXPECT_EQ(0, memcmp(&before.Video, &after.Video, sizeof before.Video));
        EXPECT_EQ(0, memcmp(&before.Audio, &after.Audio, sizeof before.Audio));
        EXPECT_EQ(first, write());
    }
}

TEST(ParseOpt, FindsReadsAndBoundsValues) {
    char out[8];
    memset(out, 'X', sizeof out);
    EXPECT_EQ(1, parseOpt("a=1&b=xyz", "b=", out, sizeof out));
    EXPECT_STREQ("xyz", out);
    EXPECT_EQ(1, parseOpt("a=1&b=xyz", "a=", out, sizeof out, "%7[^&]"));
    EXPECT_STREQ("1", out);
    EXPECT_EQ(0, parseOpt("a=1&b=xyz", "B=", out, sizeof out));  // names are case-sensitive
    EXPECT_STREQ("1", out);
    EXPECT_GE(0, parseOpt("a=1&b=", "b=", out, sizeof out));
    EXPECT_STREQ("1", out);

    char buffer[16];
    memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(1, parseOpt("name=abcdefghijklmnop", "name=", buffer, 8));
    EXPECT_STREQ("abcdefg", buffer);
    EXPECT_EQ(std::string(8, 'X'), std::string(buffer + 8, 8));
    EXPECT_EQ(0, parseOpt("name=abc", "name=", buffer, 1));

    int number = -1;
    EXPECT_EQ(1, parseOpt("tslen=300&memo=x", "tslen=", &number));
    EXPECT_EQ(300, number);
    EXPECT_EQ(0, parseOpt("tslen=x", "tslen=", &number));
    EXPECT_EQ(0, parseOpt("tslen=99999999999", "tslen=", &number));
    EXPECT_EQ(0, parseOpt("memo=x", "tslen=", &number));
    EXPECT_EQ(300, number);
}

TEST(ParseOpt, WideTwinsFollowTheSameRules) {
    wchar_t out[4];
    wmemset(out, L'X', 4);
    EXPECT_EQ(1, parseOpt(L"a=1&b=xyzw", L"b=", out, 3));
    EXPECT_STREQ(L"xy", out);
    EXPECT_EQ(L'X', out[3]);
    EXPECT_EQ(1, parseOpt(L"a=1&b=x", L"a=", out, 4, L"%3l[^&]"));
    EXPECT_STREQ(L"1", out);
    EXPECT_EQ(0, parseOpt(L"a=1", L"c=", out, 4));
    int number = 0;
    EXPECT_EQ(1, parseOpt(L"n=42", L"n=", &number));
    EXPECT_EQ(42, number);
}
