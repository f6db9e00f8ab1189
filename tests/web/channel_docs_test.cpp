// The status and channel documents, the editor's form and the start and stop
// actions, against the real channel table and engine.
#include <clocale>
#include <cstdlib>
#include <optional>

#include "web/channel_web_fixture.h"
#include "web/orva_channel_api.h"
#include "web/xml_check.h"

using namespace std::chrono_literals;

namespace {

// The process locale German (a decimal comma) for the life of the guard, in
// the environment too, as a service started under it would have it.
class GermanLocale {
public:
    GermanLocale() {
        std::string compile = "localedef -i de_DE -f UTF-8 " + (dir_ / "de_DE.UTF-8") + " 2>/dev/null";
        bool built = system(compile.c_str()) == 0;
        if (const char* all = getenv("LC_ALL"))
            allBefore_ = all;
        setenv("LOCPATH", dir_.path().c_str(), 1);
        setenv("LC_ALL", "de_DE.UTF-8", 1);
        active_ = built && setlocale(LC_ALL, "") != nullptr &&
                  std::string_view(localeconv()->decimal_point) == ",";
    }
    ~GermanLocale() {
        if (allBefore_)
            setenv("LC_ALL", allBefore_->c_str(), 1);
        else
            unsetenv("LC_ALL");
        unsetenv("LOCPATH");
        setlocale(LC_ALL, before_.c_str());
    }
    bool active() const { return active_; }

private:
    TempDir dir_;
    std::string before_ = setlocale(LC_ALL, nullptr);
    std::optional<std::string> allBefore_;
    bool active_ = false;
};

std::string channelDocument(int channel) {
    std::string doc(100000, '\0');
    TextCursor out(doc.data(), doc.size());
    EXPECT_EQ(0, orvaComposeChannel(channel, out));
    doc.resize(out.length());
    return doc;
}

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

TEST_F(ChannelWebTest, ReadListsEveryTargetAndEscapesEveryText) {
    ORVA_CHANNEL_TAG& ch = configure(0, "a&b memo");
    copyText(ch.Sources[0].File, "udp://h:1?a=1&b=<2>");
    copyText(ch.SourceParam, "-x a&b");
    ch.NumOutputs = 3;
    ch.Targets[0].Video.VideoFrameRate = 25;
    copyText(ch.Targets[0].File, "rtmp://h/app?x=1&y");
    ch.Targets[2] = ch.Targets[1] = ch.Targets[0];
    copyText(g_orvaContinuity[0].BackupSource, "/media/<b>&c.ts");
    g_orvaContinuity[0].AlarmFreezeSec = 0;
    std::string doc(100000, '\0');
    TextCursor out(doc.data(), doc.size());
    ASSERT_EQ(0, orvaComposeChannel(0, out));
    doc.resize(out.length());
    EXPECT_EQ(0u, doc.find("<root><source format=\"file\">\n<url>udp://h:1?a=1&amp;b=&lt;2&gt;</url>\n"
                           "<param>-x a&amp;b</param>\n<svparam></svparam>\n</source>\n"
                           "<targets total=\"3\">\n<target format=\"file\" venable=\"1\" vcodec=\"H264\" "
                           "width=\"0\" height=\"0\" fps=\"25.000000\" "));
    EXPECT_EQ(3u, count(doc, "<target "));
    EXPECT_EQ(3u, count(doc, "\">\nrtmp://h/app?x=1&amp;y\n</target>\n"));
    EXPECT_TRUE(holds(doc, "<memo>a&amp;b memo</memo>\n</targets>\n<bsrc>/media/&lt;b&gt;&amp;c.ts</bsrc>\n"
                           "<stimeout>1000</stimeout>\n<ablack>10</ablack>\n<afreeze>0</afreeze>\n"
                           "<asilent>10</asilent>\n</root>\n"));
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
                                    "&turl=out&vx=&vy=720&vr=29.97&qv=-12&ac=&tslen=5"));
    EXPECT_EQ(1, ch.NumInputs);
    EXPECT_EQ(1, ch.NumOutputs);
    EXPECT_EQ(ORVA_FORMAT_DEVICE, ch.Sources[0].Format);
    EXPECT_STREQ("udp://h:1?a=1&b=2", ch.Sources[0].pszAddress);
    EXPECT_EQ(ch.Targets[0].File, ch.Targets[0].pszAddress);
    EXPECT_STREQ("x&y z", ch.Memo);
    EXPECT_STREQ("", ch.SourceVideoParam);
    EXPECT_EQ(ORVA_VIDEO_H265, v.VideoCodec);
    EXPECT_EQ(0, v.VideoEnable + v.VideoDeinterlace + ch.Targets[0].Audio.AudioEnable);
    EXPECT_EQ(2, v.VideoWidth);  // empty: not given
    EXPECT_EQ(2, ch.Targets[0].Audio.AudioChannel);
    EXPECT_EQ(720, v.VideoHeight);
    EXPECT_FLOAT_EQ(29.97f, v.VideoFrameRate);
    EXPECT_EQ(-12, v.VideoQuality);
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

TEST_F(ChannelWebTest, AnEditWithAValueTheTableCannotCarryIsRefusedWhole) {
    const ORVA_CHANNEL_TAG before = configure(0, "kept");
    const char* bad[] = {
        // Texts the file cannot carry or the documents cannot show.
        "memo=a%0Ab", "memo=a%0Db", "memo=a%00b", "sparam=%7F", "rtmppass=%01",
        "surl=udp%3A%2F%2Fh%0AFile+x", "turl=a%0Ab", "memo=%FF", "tspath=%C3", "svparam=%ED%A0%80",
        // Numbers that are not whole or lie outside their field's range.
        "vx=abc", "qv=12q", "vx=1.5", "vx=+5", "vx=%205", "vx=5+", "vx=-", "vx=0x10",
        "vy=2147483648", "ac=-2147483649", "muxbr=99999999999", "ar=%EF%BC%94",
        "tslen=-1", "tslen=86401", "stimeout=199", "stimeout=10001", "ablack=-1",
        "afreeze=3601", "asilent=1.5", "bsrc=a%0Ab",
        // Frame rates that are not a finite decimal number >= 0.
        "vr=-1", "vr=abc", "vr=1e3", "vr=inf", "vr=nan", "vr=1.2.3", "vr=.", "vr=29,97",
        "vr=+25", "vr=1000000000000000000000000000000000000000000000",
        // Stream mapping in a target's video options would not survive a restart.
        "tvparam=-b%3Av+1M+-map+0%3A0",
        // A bitrate rules out a quality setting; the file would keep only the bitrate.
        "qv=50&vb=1500",
        // A device, card or stream source keeps its address as the rest of a line.
        "sfmt=device&surl=+%2Fdev%2Fvideo0", "sfmt=ndi&surl=%09Studio",
    };
    for (const char* field : bad) {
        SCOPED_TRACE(field);
        std::string body = std::string("kfi=50&fparam=changed&") + field;
        EXPECT_EQ(ORVA_WEB_BAD_VALUE, orvaEditChannel(0, body.c_str()));
        EXPECT_EQ(0, memcmp(&before, &g_orvaChannels[0], sizeof before));
        EXPECT_EQ(kOrvaDefaultSourceTimeoutMs, g_orvaContinuity[0].SourceTimeout);
        EXPECT_EQ(kOrvaDefaultAlarmSec, g_orvaContinuity[0].AlarmFreezeSec);
    }
    EXPECT_FALSE(fileExists(conf));
}

TEST_F(ChannelWebTest, AnEditTakesTheEdgesOfEachRangeAsWritten) {
    ORVA_CHANNEL_TAG& ch = configure(0);
    ORVA_VIDEO_TAG& v = ch.Targets[0].Video;
    ASSERT_EQ(0, orvaEditChannel(0, "memo=a%09b+h%C3%A9+%F0%9F%8E%AC&vx=-2147483648&vy=2147483647"
                                    "&tslen=86400&vr=.5&tvparam=-map_metadata+0&qv=-0"));
    EXPECT_STREQ("a\tb h\xC3\xA9 \xF0\x9F\x8E\xAC", ch.Memo);
    EXPECT_EQ(INT32_MIN, v.VideoWidth);
    EXPECT_EQ(INT32_MAX, v.VideoHeight);
    EXPECT_EQ(86400, ch.TimeShiftSec);
    EXPECT_FLOAT_EQ(0.5f, v.VideoFrameRate);
    EXPECT_STREQ("-map_metadata 0", ch.Targets[0].VideoParam);
    EXPECT_EQ(0, v.VideoQuality);
    ASSERT_EQ(0, orvaEditChannel(0, "tslen=0&vr=25.&tvparam=-map"));
    EXPECT_EQ(0, ch.TimeShiftSec);
    EXPECT_FLOAT_EQ(25.0f, v.VideoFrameRate);
    // A quality beside a stored bitrate is refused; the bitrate given up with it is taken.
    ASSERT_EQ(0, orvaEditChannel(0, "vb=1500"));
    EXPECT_EQ(ORVA_WEB_BAD_VALUE, orvaEditChannel(0, "qv=80"));
    ASSERT_EQ(0, orvaEditChannel(0, "qv=80&vb=0"));
    EXPECT_EQ(80, v.VideoQuality);
    // A file source may begin with a blank; another source may not, even by a later format.
    ASSERT_EQ(0, orvaEditChannel(0, "surl=+in"));
    EXPECT_STREQ(" in", ch.Sources[0].File);
    EXPECT_EQ(ORVA_WEB_BAD_VALUE, orvaEditChannel(0, "sfmt=device"));
    ASSERT_EQ(0, orvaEditChannel(0, "vr=0&cv=NoSuchCodec"));
    EXPECT_EQ(0.0f, v.VideoFrameRate);
    EXPECT_EQ(orvaGetVideoCodecId("NoSuchCodec"), v.VideoCodec);  // the vocabulary's fallback
}

TEST_F(ChannelWebTest, FrameRatesAreReadAndWrittenWithAPointWhateverTheLocale) {
    ORVA_CHANNEL_TAG& ch = configure(0);
    GermanLocale german;
    ASSERT_TRUE(german.active()) << "localedef (package locales) is needed";
    ASSERT_EQ(0, orvaEditChannel(0, "vr=29.97"));
    EXPECT_FLOAT_EQ(29.97f, ch.Targets[0].Video.VideoFrameRate);
    ASSERT_EQ(0, orvaEditChannel(0, "vr=12.5"));
    EXPECT_TRUE(holds(channelDocument(0), " fps=\"12.500000\" "));
}

TEST_F(ChannelWebTest, TheReadDocumentParsesWhateverTheTableHoldsAndGivesEveryTextBack) {
    ORVA_CHANNEL_TAG& ch = configure(0, "a<b & \"c\" 'd' >e\th\xC3\xA9");
    copyText(ch.Sources[0].File, "http://h/x?a=1&b=\"2\"");
    copyText(ch.SourceParam, "-headers \"X: <1>\"");
    copyText(ch.Targets[0].VideoParam, "-vf \"drawtext=text='a&b'\"");
    copyText(ch.Targets[0].RTMPPubPass, "p\"w<>&'");
    copyText(ch.TimeShiftCacheFolder, "/tmp/\x01\xff\x0a");  // a hand-edited file can hold anything
    std::string doc = channelDocument(0);
    ASSERT_TRUE(xmlWellFormed(doc)) << doc;
    EXPECT_EQ(fieldText(ch.Memo), xmlString(doc, "/root/targets/memo"));
    EXPECT_EQ(fieldText(ch.Sources[0].File), xmlString(doc, "/root/source/url"));
    EXPECT_EQ(fieldText(ch.SourceParam), xmlString(doc, "/root/source/param"));
    EXPECT_EQ(fieldText(ch.Targets[0].VideoParam), xmlString(doc, "/root/targets/target/@tvparam"));
    EXPECT_EQ(fieldText(ch.Targets[0].RTMPPubPass), xmlString(doc, "/root/targets/target/@rtmppass"));
    EXPECT_EQ("/tmp/\xEF\xBF\xBD\xEF\xBF\xBD\n", xmlString(doc, "/root/targets/tspath"));
}

TEST_F(ChannelWebTest, ADocumentBeyondTheWorkBufferIsRefusedNotCut) {
    ORVA_CHANNEL_TAG& ch = configure(0);
    ch.NumOutputs = kOrvaMaxTargets;
    const std::string quotes(999, '"');  // 5,994 characters each once escaped
    for (ORVA_CHANNEL_TARGET_TAG& t : ch.Targets) {
        for (char* text : {t.File, t.VideoParam, t.RTMPFlashVer, t.RTMPSwfUrl, t.RTMPPubUser, t.RTMPPubPass})
            copyText(text, ORVA_TEXT_SIZE, quotes);
    }
    std::string doc(100000, '\0');
    TextCursor out(doc.data(), doc.size());
    EXPECT_EQ(ORVA_WEB_TOO_LONG, orvaComposeChannel(0, out));
    ch.NumOutputs = 2;  // about 72,000 characters: whole
    TextCursor fits(doc.data(), doc.size());
    ASSERT_EQ(0, orvaComposeChannel(0, fits));
    EXPECT_TRUE(xmlWellFormed(std::string(fits.view())));
}
