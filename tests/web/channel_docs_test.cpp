// The status and channel documents, the editor's form and the start and stop
// actions, against the real channel table and engine.
#include "web/channel_web_fixture.h"
#include "web/orva_channel_api.h"

using namespace std::chrono_literals;

namespace {

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

}  // namespace

TEST_F(ChannelWebTest, StatusListsAllChannelsInOrderWithTheirStateAndEscapedStatus) {
    std::filesystem::create_directories(dir / "clips");
    writeFile(dir / "clips/a<b&c.ts", "");
    copyText(configure(0).Sources[0].File, dir / "clips");  // a folder shows its file
    for (int channel : {1, 2, 3})
        configure(channel);
    for (int channel : {0, 2, 3})
        ASSERT_EQ(0, orvaStartChannel(channel));
    orvaStopChannel(3, ORVA_STOP_ORDERLY);  // not yet ended: terminating
    std::string expected = "<root>\n"
                           "<ch id=\"1\"><state>start</state><status>a&lt;b&amp;c.ts</status></ch>\n"
                           "<ch id=\"2\"><state>stop</state><status>STOPPED</status></ch>\n"
                           "<ch id=\"3\"><state>start</state><status>RUNNING</status></ch>\n"
                           "<ch id=\"4\"><state>term</state><status>TERMINATING</status></ch>\n";
    for (int n = 5; n <= 64; n++)
        expected += "<ch id=\"" + std::to_string(n) + "\"></ch>\n";
    EXPECT_EQ(expected + "</root>", status());
}

TEST_F(ChannelWebTest, ReadListsEveryTargetAndEscapesOnlyTheAddresses) {
    ORVA_CHANNEL_TAG& ch = configure(0, "a&b memo");
    copyText(ch.Sources[0].File, "udp://h:1?a=1&b=<2>");
    copyText(ch.SourceParam, "-x a&b");
    ch.NumOutputs = 3;
    ch.Targets[0].Video.VideoFrameRate = 25;
    copyText(ch.Targets[0].File, "rtmp://h/app?x=1&y");
    ch.Targets[2] = ch.Targets[1] = ch.Targets[0];
    std::string doc(100000, '\0');
    TextCursor out(doc.data(), doc.size());
    ASSERT_EQ(0, orvaComposeChannel(0, out));
    doc.resize(out.length());
    EXPECT_EQ(0u, doc.find("<root><source format=\"file\">\n<url>udp://h:1?a=1&amp;b=&lt;2&gt;</url>\n"
                           "<param>-x a&b</param>\n<svparam></svparam>\n</source>\n"
                           "<targets total=\"3\">\n<target format=\"file\" venable=\"1\" vcodec=\"H264\" "
                           "width=\"0\" height=\"0\" fps=\"25.000000\" "));
    EXPECT_EQ(3u, count(doc, "<target "));
    EXPECT_EQ(3u, count(doc, "\">\nrtmp://h/app?x=1&amp;y\n</target>\n"));
    EXPECT_TRUE(holds(doc, "<memo>a&b memo</memo>\n</targets>\n</root>\n"));
    EXPECT_EQ(ORVA_WEB_NOT_CONFIGURED, orvaComposeChannel(1, out));
}

TEST_F(ChannelWebTest, EscapingStopsAtAThousandCharactersButFinishesAnEntity) {
    char text[1006];
    memset(text, 'x', 999);
    strcpy(text + 999, "\"x");
    _xmlEscape(text);
    EXPECT_STREQ("x&quot;", text + 998);  // 1005 characters
}

TEST_F(ChannelWebTest, EditConvertsEachFieldAndSaves) {
    ORVA_CHANNEL_TAG& ch = g_orvaChannels[0];
    ORVA_VIDEO_TAG& v = ch.Targets[0].Video;
    v.VideoEnable = v.VideoDeinterlace = ch.Targets[0].Audio.AudioEnable = 1;
    v.VideoCodec = ORVA_VIDEO_H265;
    v.VideoWidth = ch.Targets[0].Audio.AudioChannel = 2;
    copyText(ch.SourceVideoParam, "old");
    ASSERT_EQ(0, orvaEditChannel(0, "sfmt=device&surl=udp%3A%2F%2Fh%3A1%3Fa%3D1%26b%3D2&memo=x%26y+z"
                                    "&turl=out&vx=abc&vy=720&vr=29.97&qv=12q&ac=&tslen=5"));
    EXPECT_EQ(1, ch.NumInputs);
    EXPECT_EQ(1, ch.NumOutputs);
    EXPECT_EQ(ORVA_FORMAT_DEVICE, ch.Sources[0].Format);
    EXPECT_STREQ("udp://h:1?a=1&b=2", ch.Sources[0].pszAddress);
    EXPECT_EQ(ch.Targets[0].File, ch.Targets[0].pszAddress);
    EXPECT_STREQ("x%26y z", ch.Memo);
    EXPECT_STREQ("", ch.SourceVideoParam);
    EXPECT_EQ(ORVA_VIDEO_H265, v.VideoCodec);
    EXPECT_EQ(0, v.VideoEnable + v.VideoDeinterlace + ch.Targets[0].Audio.AudioEnable);
    EXPECT_EQ(2, v.VideoWidth);  // not a number
    EXPECT_EQ(2, ch.Targets[0].Audio.AudioChannel);  // empty
    EXPECT_EQ(720, v.VideoHeight);
    EXPECT_FLOAT_EQ(29.97f, v.VideoFrameRate);
    EXPECT_EQ(12, v.VideoQuality);
    EXPECT_EQ(5, ch.TimeShiftSec);
    EXPECT_TRUE(holds(readFile(conf), "File udp://h:1?a=1&b=2\n"));
}

TEST_F(ChannelWebTest, AnEditBeyondItsLimitsChangesNothing) {
    ORVA_CHANNEL_TAG& ch = configure(0, "kept");
    std::string a999(999, 'a');
    EXPECT_EQ(ORVA_WEB_TOO_LARGE, orvaEditChannel(0, ("memo=" + a999 + "a").c_str()));
    EXPECT_EQ(ORVA_WEB_TOO_LARGE, orvaEditChannel(0, ("memo=" + a999 + std::string(3000, '&')).c_str()));
    EXPECT_STREQ("kept", ch.Memo);
    EXPECT_FALSE(fileExists(conf));
    // Escapes make a long body short: only the decoded text counts.
    std::string escaped;
    for (int i = 0; i < 999; i++)
        escaped += "%41";
    ASSERT_EQ(0, orvaEditChannel(0, ("memo=" + escaped + "&tparam=" + escaped).c_str()));
    EXPECT_EQ(std::string(999, 'A'), ch.Memo);
    EXPECT_EQ(std::string(999, 'A'), ch.TargetParam);
}

TEST_F(ChannelWebTest, StartAndStopActionsSetTheRunFlagAndAreNotSaved) {
    configure(0);
    act(0, "start=1");
    EXPECT_EQ(ORVA_STATE_IDLE, orvaGetChannelState(0));
    act(0, "Start");
    EXPECT_EQ(ORVA_STATE_RUNNING, orvaGetChannelState(0));
    EXPECT_EQ(1, g_orvaChannels[0].Enable);
    ASSERT_TRUE(waitUntil([&] { return fileExists(dir / "ignoring"); }, 5s));
    act(0, "stop");
    EXPECT_EQ(0, g_orvaChannels[0].Enable);
    EXPECT_FALSE(pollUntil([] { return orvaGetChannelState(0) == ORVA_STATE_IDLE; }, 300ms));
    act(0, "STOP");  // terminating: killed
    EXPECT_TRUE(pollUntil([] { return orvaGetChannelState(0) == ORVA_STATE_IDLE; }, 5s));
    EXPECT_FALSE(fileExists(conf));
}
