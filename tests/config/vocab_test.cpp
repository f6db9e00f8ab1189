// Vocabularies, the configured-channel test, settings defaults and address texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/orva_channel.h"

TEST(Vocabulary, FormatNamesAndAliasesIgnoreCase) {
    struct Case { const char* name; int id; };
    const Case cases[] = {{"MPEG-TS", 2}, {"mpegts", 2}, {"HTTP", 3}, {"httpts", 3}, {"RTMP", 1},
                          {"hls", 6},     {"NDI", 12},   {"httpmjpg", 13}, {"udp", 0}, {"rtspt", 0},
                          {"mms", 0},     {"", 0},       {"hls ", 0}, {nullptr, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(none)");
        EXPECT_EQ(c.id, orvaGetFormatId(c.name));
    }
    EXPECT_STREQ("udpts", orvaGetFormatName(static_cast<ORVA_FORMAT>(orvaGetFormatId("MPEG-TS"))));
    EXPECT_STREQ("httpts", orvaGetFormatName(static_cast<ORVA_FORMAT>(orvaGetFormatId("HTTP"))));
    EXPECT_STREQ("rtmp", orvaGetFormatName(ORVA_FORMAT_RTMP));
    EXPECT_STREQ("httpmjpg", orvaGetFormatName(ORVA_FORMAT_HTTPMJPG));
    EXPECT_EQ(nullptr, orvaGetFormatName(static_cast<ORVA_FORMAT>(14)));
    EXPECT_EQ(nullptr, orvaGetFormatName(static_cast<ORVA_FORMAT>(-1)));
}

TEST(Vocabulary, EveryFormatNameReadsBackAsItsOwnId) {
    for (int id = 0; id <= 13; id++) {
        const char* name = orvaGetFormatName(static_cast<ORVA_FORMAT>(id));
        ASSERT_NE(nullptr, name);
        EXPECT_EQ(id, orvaGetFormatId(name)) << name;
    }
}

TEST(Vocabulary, CodecNamesFallBackToH264AndAac) {
    EXPECT_EQ(136, orvaGetVideoCodecId("h265"));
    EXPECT_EQ(147, orvaGetVideoCodecId("Copy"));
    EXPECT_EQ(130, orvaGetVideoCodecId("h263+"));
    EXPECT_EQ(135, orvaGetVideoCodecId(""));
    EXPECT_EQ(135, orvaGetVideoCodecId("AAC"));  // an audio name is no video codec
    EXPECT_EQ(10, orvaGetAudioCodecId("heaac"));
    EXPECT_EQ(13, orvaGetAudioCodecId("copy"));
    EXPECT_EQ(0, orvaGetAudioCodecId("G711U"));
    EXPECT_EQ(9, orvaGetAudioCodecId("AMR"));
    EXPECT_EQ(9, orvaGetAudioCodecId("H264"));
}

TEST(Vocabulary, RtpPayloadDescriptions) {
    EXPECT_STREQ("H.263   (RFC 2190)", orvaGetCodecDesc(129));
    EXPECT_STREQ("H.263+   (RFC 4629)", orvaGetCodecDesc(130));
    EXPECT_STREQ("Other", orvaGetCodecDesc(131));
    EXPECT_STREQ("MPEG-4   (RFC 3016)", orvaGetCodecDesc(133));
    EXPECT_STREQ("H.264   (RFC 3984)", orvaGetCodecDesc(135));
    EXPECT_STREQ("Other", orvaGetCodecDesc(128));
    EXPECT_STREQ("Other", orvaGetCodecDesc(136));
    EXPECT_STREQ("Other", orvaGetCodecDesc(2));
}

namespace {

class ChannelValidity : public ::testing::Test {
protected:
    void SetUp() override { memset(&g_orvaChannels[0], 0, sizeof g_orvaChannels[0]); }
    ORVA_CHANNEL_TAG& ch = g_orvaChannels[0];
    ORVA_CHANNEL_TARGET_TAG& target = g_orvaChannels[0].Targets[0];
};

}  // namespace

TEST_F(ChannelValidity, NeedsAUsableFirstSourceAndTarget) {
    EXPECT_EQ(0, isChannelValid(0));
    strcpy(ch.Sources[0].File, "/media/a.ts");
    target.Video.VideoCodec = 128;  // H.261 does not count, nor does audio without a port
    target.Audio.AudioCodec = 9;
    EXPECT_EQ(0, isChannelValid(0));
    target.Video.VideoCodec = 147;
    EXPECT_EQ(1, isChannelValid(0));
    target.Video.VideoCodec = 0;
    target.Audio.AudioTargetPort = 5004;
    EXPECT_EQ(1, isChannelValid(0));
    target.Audio.AudioCodec = 8;  // AMR can be encoded but not selected
    EXPECT_EQ(0, isChannelValid(0));
    EXPECT_EQ(0, isChannelValid(-1));
    EXPECT_EQ(0, isChannelValid(64));
}

TEST_F(ChannelValidity, RtpSourceNeedsAPortAndAnRtpVideoCodec) {
    ch.Sources[0].Format = ORVA_FORMAT_RTP;
    target.Video.VideoCodec = 135;
    for (int codec : {129, 130, 131, 132, 133, 135, 134, 136, 128}) {
        SCOPED_TRACE(codec);
        ch.Sources[0].Video.VideoCodec = codec;
        ch.Sources[0].Video.VideoSourcePort = 0;
        EXPECT_EQ(0, isChannelValid(0));
        ch.Sources[0].Video.VideoSourcePort = 5000;
        EXPECT_EQ(codec == 134 || codec == 136 || codec == 128 ? 0 : 1, isChannelValid(0));
    }
}

TEST_F(ChannelValidity, RtpTargetCountsByItsDestinations) {
    strcpy(ch.Sources[0].File, "udp://239.0.0.1:1234");
    target.Format = ORVA_FORMAT_RTP;
    target.Video.VideoCodec = 135;
    target.Video.VideoTargetPort = 5000;
    EXPECT_EQ(0, isChannelValid(0));  // no video address
    target.Audio.AudioCodec = 9;
    target.Audio.AudioTargetPort = 5002;
    EXPECT_EQ(0, isChannelValid(0));  // audio needs an address as well
    target.Audio.AudioTargetIP = Inet_addr("239.0.0.2");
    EXPECT_EQ(1, isChannelValid(0));
    target.Audio.AudioTargetIP = 0;
    target.Video.VideoTargetIP = Inet_addr("239.0.0.2");
    EXPECT_EQ(1, isChannelValid(0));
}

TEST(Settings, LoadTimeAndFileReadDefaults) {
    EXPECT_EQ(8888, g_globalSettings.HTTPPort);
    EXPECT_EQ(0, g_globalSettings.RTSPPort);
    EXPECT_EQ(1, g_globalSettings.AutoStart);
    EXPECT_EQ(0, g_globalSettings.AutoRestart);
    ORVA_GLOBAL_SETTINGS s = g_globalSettings;
    strcpy(s.AclFile, "/etc/acl");
    strcpy(s.LoginPass, "secret");
    s.Log = 32;
    orvaSetFileReadDefaults(s);
    EXPECT_EQ(5544, s.RTSPPort);
    EXPECT_EQ(0, s.AutoStart);
    EXPECT_EQ(1, s.AutoRestart);
    EXPECT_EQ(0, s.Log);
    EXPECT_STREQ("", s.LoginPass);
    EXPECT_STREQ("/etc/acl", s.AclFile);
}

TEST(Addresses, DottedTextsAndNetworkOrder) {
    unsigned int a = Inet_addr("127.0.1.20");
    EXPECT_EQ(0x1401007fu, a);  // network order: the first byte is lowest in memory
    EXPECT_STREQ("127.0.1.20", Inet_ntoa(a));
    EXPECT_STREQ("0.0.0.0", Inet_ntoa(0));
    EXPECT_EQ(0xffffffffu, Inet_addr("not an address"));
}
