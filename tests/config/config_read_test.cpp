// Reading the configuration file: older keys and tags, clamped counts, quoted
// texts, uploads and files that cannot be read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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

// Each block goes into the channel its tag names, whatever came before it:
// this used to stop at channel 3 and give 2, and the save at exit then
// deleted channel 4 for good.
TEST_F(ConfigRead, TakesEveryBlockIntoTheChannelItsTagNames) {
    std::string text;
    for (int n : {1, 2, 3, 4}) {
        const char* body = n == 3 ? "Enable 1\n" : kMinimalBlock;
        text += "<Channel" + std::to_string(n) + ">\n" + body + (n == 3 ? "" : "</Output>\n") +
                "</Channel" + std::to_string(n) + ">\n";
    }
    EXPECT_EQ(3, read(text));
    EXPECT_EQ(0, isChannelValid(2));
    EXPECT_EQ(1, g_orvaChannels[2].Enable);  // channel 3 is kept as it was, though not configured
    EXPECT_STREQ("/media/a.ts", g_orvaChannels[3].Sources[0].File);

    struct Case { const char* name; std::string text; int configured; std::vector<int> indexes; };
    auto block = [](int n, const std::string& memo, bool closed = true) {
        return "<Channel" + std::to_string(n) + ">\n" + kMinimalBlock + "Memo \"" + memo +
               "\"\n</Output>\n" + (closed ? "</Channel" + std::to_string(n) + ">\n" : "");
    };
    const Case cases[] = {
        {"out of order", block(5, "e") + block(2, "b"), 2, {1, 4}},
        {"last channel only", block(64, "z") + "<Channel65>\n<Channel0>\n", 1, {63}},
        {"a lost closing tag ends at the next channel", block(1, "a", false) + block(3, "c"), 2,
         {0, 2}},
        {"the later of two blocks with one number replaces the earlier",
         block(2, "first") + "<Slot2>\nEnable 1\n</Slot2>\n", 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.configured, read(c.text));
        for (int index : c.indexes)
            EXPECT_EQ(1, isChannelValid(index)) << index;
    }
    EXPECT_EQ(1, g_orvaChannels[1].Enable);
    EXPECT_STREQ("", g_orvaChannels[1].Memo);
}

TEST_F(ConfigRead, SettingsStartFromFileDefaultsAndLogOneMeansDebug) {
    copyText(g_globalSettings.AclFile, "/etc/orval/orval.acl");
    EXPECT_EQ(0, read("log 1\nLoginPass  pass word \r\nCpuPerChannel 2\nHTTPPort 99999\n"));
    EXPECT_EQ(32, g_globalSettings.Log);
    EXPECT_STREQ(" pass word ", g_globalSettings.LoginPass);  // all behind the key's one blank
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
    EXPECT_STREQ("/cache", ch_.TimeShiftCacheFolder);  // exactly as written

    struct Case { const char* lines; int seconds; };
    const Case cases[] = {{"TimeShift 2\nTimeShiftSec 30\n", 30},
                          {"TimeShiftSec 30\nTimeShift 2\n", 120},
                          {"TimeShift 99999999\n", kOrvaMaxTimeShiftSec}};
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
    EXPECT_STREQ("a\"b", ch_.Memo);
    EXPECT_STREQ("p w", ch_.Targets[0].RTMPPubPass);
}

TEST_F(ConfigRead, SourceFileIsQuotedOnlyForFileSources) {
    ORVA_CHANNEL_SOURCE_TAG& src = ch_.Sources[0];
    parseInputSubBlock(("File \"" + std::string(999, 'a') + "\"").c_str(), src);
    EXPECT_EQ(999u, strlen(src.File));  // the whole field
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
// the first save is already a fixpoint: it reads back and writes again unchanged.
TEST_F(ConfigRead, AnyFileReadsAndItsFirstSaveRoundTripsUnchanged) {
    const char* const keys[] = {
        "<Channel1>", "</Channel1>", "<Channel2>", "</Channel2>", "<Slot1>", "<Input>", "</Input>",
        "<Output>", "</Output>", "<Input1>", "</Input1>", "<Output2>", "</Output2>", "Enable ",
        "NumInputs ", "NumOutputs ", "Format ", "File ", "VideoCodec ", "AudioCodec ", "VideoIP ",
        "VideoPort ", "VideoFrameRate ", "VideoBitRate ", "VideoQuality ", "VideoParam ",
        "Filters ", "Filter[1] ", "Filter[2] ", "TimeShift ", "TimeShiftSec ", "MapParam ",
        "TimeShiftCacheFolder ", "RTMPPubUser ", "LoginPass ", "HTTPPort ", "Log ",
        "BackupSource ", "SourceTimeout ", "AlarmBlackSec "};
    const char* const values[] = {"1", "-3", "0", "7", "99999", "29.97", "\"a b\"", "\"-map 0 x\"",
                                  "rtp", "file", "decklink", "H264", "AAC", "10.0.0.1", "\"",
                                  "word", "\"/media/c.ts\"", " \t x", ""};
    unsigned generator = 7;
    for (int trial = 0; trial < 60; trial++) {
        std::string text;
        for (int line = 0; line < 120; line++) {
            text += keys[rand_r(&generator) % std::size(keys)];
            text += values[rand_r(&generator) % std::size(values)];
            text += "\n";
        }
        read(text);
        ASSERT_EQ(0, orvaExportConfig(nullptr));
        std::string first = readFile(path_);
        orvaImportConfig();
        ASSERT_EQ(0, orvaExportConfig(nullptr));
        std::string second = readFile(path_);
        ASSERT_TRUE(first == second) << "trial " << trial << ": " << firstDifference(first, second);
    }
}

// A channel whose first source or target came from lines outside the numbered
// sub-blocks, with a count of 0, used to be written without them and lost.
TEST_F(ConfigRead, FirstRecordsFilledOutsideSubBlocksKeepTheirChannel) {
    const std::string text =
        "<Channel2>\nEnable 1\n<Input>\nNumInputs 0\nFormat rtsp\nFile rtsp://cam/1\n</Input>\n"
        "<Output>\nNumOutputs 0\nVideoCodec H265\nFile \"/media/o.ts\"\n</Output>\n</Channel2>\n";
    ASSERT_EQ(1, read(text));
    EXPECT_EQ(1, g_orvaChannels[1].NumInputs);
    EXPECT_EQ(1, g_orvaChannels[1].NumOutputs);
    ASSERT_EQ(0, orvaExportConfig(nullptr));
    const std::string first = readFile(path_);
    ASSERT_EQ(1, orvaImportConfig());
    EXPECT_STREQ("rtsp://cam/1", g_orvaChannels[1].Sources[0].File);
    EXPECT_EQ(ORVA_VIDEO_H265, g_orvaChannels[1].Targets[0].Video.VideoCodec);
    ASSERT_EQ(0, orvaExportConfig(nullptr));
    EXPECT_EQ(first, readFile(path_));
}

// Quoted texts run to the last quote of their line; passwords and RTMP values
// are everything behind the key's one blank; a value the field cannot hold
// whole, or one with a control character other than the tab, is not read.
TEST_F(ConfigRead, TextsAreReadWholeOrNotAtAll) {
    struct Case { const char* line; const char* expected; };
    const std::string tooLong = "Memo \"" + std::string(1000, 'x') + "\"";
    const Case memos[] = {{"Memo \"say \"hi\"\"", "say \"hi\""},
                          {"Memo \"\"\"", "\""},
                          {"Memo \"a\" b", "a"},
                          {"Memo \" only one \r\n", " only one "},
                          {"Memo \"x\"\r\n", "x"},
                          {"Memo \"\ttab\t\"", "\ttab\t"},
                          {"Memo \"caf\xc3\xa9 <&%+=>\"", "caf\xc3\xa9 <&%+=>"},
                          {"Memo no quote", "old"},
                          {"Memo \"a\x01b\"", "old"},
                          {"Memo \"a\rb\"", "old"},
                          {tooLong.c_str(), "old"}};
    for (const Case& c : memos) {
        SCOPED_TRACE(c.line);
        copyText(ch_.Memo, "old");
        parseChannelLine(c.line, ch_, OrvaConfigBlock::Output);
        EXPECT_STREQ(c.expected, ch_.Memo);
    }
    ORVA_CHANNEL_TARGET_TAG& target = ch_.Targets[0];
    parseOutputSubBlock("RTMPFlashVer  FMLE/3.0 \r\n", target);
    EXPECT_STREQ(" FMLE/3.0 ", target.RTMPFlashVer);
    parseOutputSubBlock("RTMPPubPass p\"w d\n", target);
    EXPECT_STREQ("p\"w d", target.RTMPPubPass);
    parseOutputSubBlock("RTMPPubUser \n", target);
    EXPECT_STREQ("", target.RTMPPubUser);
    parseOutputSubBlock("AudioParam \"-af \"volume=2\"\"", target);
    EXPECT_STREQ("-af \"volume=2\"", target.AudioParam);
    ORVA_CHANNEL_SOURCE_TAG& source = ch_.Sources[0];
    parseInputSubBlock("VideoEnable 1", source);
    parseInputSubBlock("AudioEnable 1", source);
    EXPECT_EQ(1, source.Video.VideoEnable);
    EXPECT_EQ(1, source.Audio.AudioEnable);
}

// Lines are read whole, so a long text behind a long key is never split into
// two lines (the rest of which would be read as further keys).
TEST_F(ConfigRead, LongLinesAreReadWhole) {
    const std::string folder = "/" + std::string(998, 'f');
    const std::string memo = std::string(500, 'm') + " Memo \"injected";
    ASSERT_EQ(1, readChannel("TimeShiftCacheFolder \"" + folder + "\"\nMemo \"" + memo + "\"\n" +
                             "TargetParam \"kept\"\nTargetParam \"" + std::string(1000, 't') +
                             "\"\n"));
    EXPECT_EQ(folder, ch_.TimeShiftCacheFolder);
    EXPECT_EQ(memo, ch_.Memo);
    EXPECT_STREQ("kept", ch_.TargetParam);
}

// Numbers the service computes with are clamped into the range that works.
TEST_F(ConfigRead, RangedNumbersAreClampedIntoTheirRanges) {
    struct Case { const char* lines; int32_t autoRestart; int32_t cpus; int32_t timeShift; };
    const Case cases[] = {
        {"AutoRestart 5\nCpuPerChannel 2\n", 5, 2, 0},
        {"AutoRestart -5\nCpuPerChannel -1\n", 0, 0, 0},
        {"AutoRestart 2147484\nCpuPerChannel 5000\n", kOrvaMaxAutoRestartSec, kOrvaMaxCpuPerChannel, 0},
        {"AutoRestart 99999999999999999999\n", kOrvaMaxAutoRestartSec, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        read(c.lines);
        EXPECT_EQ(c.autoRestart, g_globalSettings.AutoRestart);
        EXPECT_EQ(c.cpus, g_globalSettings.CpuPerChannel);
    }
    struct ShiftCase { const char* line; int32_t seconds; };
    const ShiftCase shifts[] = {{"TimeShiftSec 600\n", 600},     {"TimeShiftSec -1\n", 0},
                                {"TimeShiftSec 86401\n", 86400}, {"TimeShift -2\n", 0},
                                {"TimeShift 1441\n", 86400},      {"TimeShift 1440\n", 86400}};
    for (const ShiftCase& c : shifts) {
        SCOPED_TRACE(c.line);
        readChannel(c.line);
        EXPECT_EQ(c.seconds, ch_.TimeShiftSec);
    }
    // The continuity keys stand in the channel block; a value that cannot be
    // read leaves the default, and a later block of the channel starts afresh.
    struct ContinuityCase { const char* lines; int32_t timeout, black, freeze, silence; const char* backup; };
    const ContinuityCase continuity[] = {
        {"SourceTimeout 2500\nAlarmBlackSec 0\nAlarmFreezeSec 3600\nAlarmSilenceSec 7\n"
         "BackupSource \"/media/slate \"x\".ts\"\n", 2500, 0, 3600, 7, "/media/slate \"x\".ts"},
        {"SourceTimeout 199\nAlarmBlackSec -1\nAlarmFreezeSec 3601\nAlarmSilenceSec 99999999999\n",
         200, 0, 3600, 3600, ""},
        {"SourceTimeout 10001\nAlarmBlackSec x\nBackupSource udp://no-quotes\n", 10000, 10, 10, 10, ""},
        {"", 1000, 10, 10, 10, ""},
    };
    for (const ContinuityCase& c : continuity) {
        SCOPED_TRACE(c.lines);
        g_orvaContinuity[0].SourceTimeout = 5000;  // from an earlier read
        read(std::string("<Channel1>\n") + kMinimalBlock + "</Output>\n" + c.lines + "</Channel1>\n");
        const ORVA_CHANNEL_CONTINUITY_TAG& got = g_orvaContinuity[0];
        EXPECT_EQ(c.timeout, got.SourceTimeout);
        EXPECT_EQ(c.black, got.AlarmBlackSec);
        EXPECT_EQ(c.freeze, got.AlarmFreezeSec);
        EXPECT_EQ(c.silence, got.AlarmSilenceSec);
        EXPECT_STREQ(c.backup, got.BackupSource);
    }
}

TEST(ChannelRanges, TellWhetherAValueMayBeStored) {
    struct Case { OrvaRange range; long value; bool inRange; int32_t clamped; };
    const Case cases[] = {{OrvaRange::AutoRestartSec, 0, true, 0},
                          {OrvaRange::AutoRestartSec, 86400, true, 86400},
                          {OrvaRange::AutoRestartSec, 86401, false, 86400},
                          {OrvaRange::AutoRestartSec, -1, false, 0},
                          {OrvaRange::TimeShiftSec, 86400, true, 86400},
                          {OrvaRange::TimeShiftSec, 3000000000L, false, 86400},
                          {OrvaRange::CpuPerChannel, 1024, true, 1024},
                          {OrvaRange::CpuPerChannel, 1025, false, 1024},
                          {OrvaRange::CpuPerChannel, -2000000000L, false, 0},
                          {OrvaRange::SourceTimeoutMs, 199, false, 200},
                          {OrvaRange::SourceTimeoutMs, 200, true, 200},
                          {OrvaRange::SourceTimeoutMs, 10001, false, 10000},
                          {OrvaRange::AlarmSec, 3600, true, 3600},
                          {OrvaRange::AlarmSec, -1, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(c.inRange, orvaInRange(c.range, c.value));
        EXPECT_EQ(c.clamped, orvaClampToRange(c.range, c.value));
    }
}
