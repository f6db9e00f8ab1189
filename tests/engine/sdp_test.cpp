// SDP descriptions of RTP streams, and the names of codecs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/orva.h"
#include "engine/orva_engine.h"
#include "engine/orva_text.h"
#include "test_support.h"

namespace {

constexpr const char* kHeader = "v=0\no=- 0 0 IN IPV4 0.0.0.0\ns=Kestova\nt=0 0\n";

ORVA_VIDEO_TAG video(int codec, const char* address, uint16_t port) {
    ORVA_VIDEO_TAG v{};
    v.VideoCodec = codec;
    v.VideoSourceIP = Inet_addr(address);
    v.VideoSourcePort = port;
    return v;
}

ORVA_AUDIO_TAG audio(int codec, const char* address, uint16_t port, int rate = 0, int channels = 0) {
    ORVA_AUDIO_TAG a{};
    a.AudioCodec = codec;
    a.AudioSourceIP = Inet_addr(address);
    a.AudioSourcePort = port;
    a.AudioSampleRate = rate;
    a.AudioChannel = channels;
    return a;
}

class Sdp : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir / "a.sdp";

    std::string exported(const ORVA_VIDEO_TAG* v, const ORVA_AUDIO_TAG* a, int rc = 0) {
        EXPECT_EQ(rc, orvaExportSdp(path.c_str(), v, a, 1));
        return readFile(path);
    }
    int import(const std::string& text, ORVA_VIDEO_TAG* v, ORVA_AUDIO_TAG* a, int targetSide = 0) {
        writeFile(path, text);
        return orvaImportSdp(path.c_str(), v, a, targetSide);
    }
};

}  // namespace

TEST(CodecNames, EncoderAndDisplayNamesCoverExactlyTheKnownIds) {
    EXPECT_STREQ("pcm_mulaw", getCodecName(0));
    EXPECT_STREQ("libamr_nb -ab 12200", getCodecName(8));
    EXPECT_STREQ("copy", getCodecName(13));
    EXPECT_STREQ("h261", getCodecName(128));
    EXPECT_STREQ("libx264", getCodecName(135));
    EXPECT_STREQ("copy", getCodecName(147));
    EXPECT_STREQ("G711U", orvaGetCodecName(0));
    EXPECT_STREQ("EAC3", orvaGetCodecName(12));
    EXPECT_STREQ("Copy", orvaGetCodecName(13));
    EXPECT_STREQ("H263+", orvaGetCodecName(130));
    EXPECT_STREQ("AV1", orvaGetCodecName(146));
    EXPECT_STREQ("Copy", orvaGetCodecName(147));
    EXPECT_EQ(nullptr, orvaGetCodecName(8));
    for (unsigned id : {14u, 127u, 148u, 0xffffffffu}) {
        EXPECT_EQ(nullptr, getCodecName(id)) << id;
        EXPECT_EQ(nullptr, orvaGetCodecName(id)) << id;
    }
}

TEST_F(Sdp, ExportDescribesVideoAndAudioOfAnRtpInput) {
    ORVA_VIDEO_TAG v = video(ORVA_VIDEO_H264, "239.10.0.1", 5000);
    ORVA_AUDIO_TAG a = audio(ORVA_AUDIO_AAC, "239.10.0.1", 5002, 48000, 2);
    EXPECT_EQ(std::string(kHeader) +
                  "c=IN IP4 239.10.0.1\nm=video 5000 RTP/AVP 96\na=rtpmap:96 H264/90000\n"
                  "c=IN IP4 239.10.0.1\nm=audio 5002 RTP/AVP 97\na=rtpmap:97 MP4A-LATM/48000/2\n\n",
              exported(&v, &a));
    copyText(v.VideoFmtp, "packetization-mode=1");
    copyText(a.AudioFmtp, "cpresent=0");
    std::string text = exported(&v, &a);
    EXPECT_NE(std::string::npos, text.find("H264/90000\na=fmtp:96 packetization-mode=1\n"));
    EXPECT_NE(std::string::npos, text.find("/48000/2\na=fmtp:97 cpresent=0\n\n"));
}

TEST_F(Sdp, ExportNamesEachCodecItsOwnWay) {
    ORVA_VIDEO_TAG h263 = video(ORVA_VIDEO_H263, "10.0.0.1", 5000);
    EXPECT_EQ(std::string(kHeader) + "c=IN IP4 10.0.0.1\nm=video 5000 RTP/AVP 34\na=rtpmap:34 H263/90000\n\n",
              exported(&h263, nullptr));
    ORVA_VIDEO_TAG h263p = video(ORVA_VIDEO_H263P, "10.0.0.1", 5000);
    EXPECT_NE(std::string::npos, exported(&h263p, nullptr).find("RTP/AVP 96\na=rtpmap:96 H263-1998/90000\n"));
    ORVA_AUDIO_TAG mp3 = audio(ORVA_AUDIO_MP3, "10.0.0.1", 5002, 44100, 2);
    EXPECT_EQ(std::string(kHeader) + "c=IN IP4 10.0.0.1\nm=audio 5002 RTP/AVP 97\na=rtpmap:97 MPA/90000/2\n\n",
              exported(nullptr, &mp3));
    ORVA_AUDIO_TAG g711 = audio(ORVA_AUDIO_G711A, "10.0.0.1", 5002, 44100, 0);
    EXPECT_NE(std::string::npos, exported(nullptr, &g711).find("a=rtpmap:97 G711A/8000/1\n"));
    // A stream without a port on the chosen side is left out.
    ORVA_VIDEO_TAG targetOnly = h263;
    targetOnly.VideoSourcePort = 0;
    targetOnly.VideoTargetPort = 6000;
    EXPECT_EQ(std::string(kHeader) + "\n", exported(&targetOnly, nullptr));
    EXPECT_EQ(0, orvaExportSdp(path.c_str(), &targetOnly, nullptr, 0));
    EXPECT_NE(std::string::npos, readFile(path).find("c=IN IP4 0.0.0.0\nm=video 6000 RTP/AVP 34\n"));
}

TEST_F(Sdp, ExportOfAnUnnamedCodecFailsAfterWhatWasWritten) {
    ORVA_VIDEO_TAG v = video(ORVA_VIDEO_MP2V, "10.0.0.1", 5000);
    ORVA_AUDIO_TAG amr = audio(ORVA_AUDIO_AMRNB, "10.0.0.1", 5002);
    EXPECT_EQ(std::string(kHeader) + "c=IN IP4 10.0.0.1\nm=video 5000 RTP/AVP 96\na=rtpmap:96 MPV/90000\n"
                                     "c=IN IP4 10.0.0.1\nm=audio 5002 RTP/AVP 97\n",
              exported(&v, &amr, -1));
    ORVA_VIDEO_TAG unnamed = video(200, "10.0.0.1", 5000);
    EXPECT_EQ(std::string(kHeader) + "c=IN IP4 10.0.0.1\nm=video 5000 RTP/AVP 96\n", exported(&unnamed, &amr, -1));
    EXPECT_EQ(-1, orvaExportSdp((dir / "missing/a.sdp").c_str(), &v, nullptr, 1));
}

TEST_F(Sdp, ExportNeverReadsPastAFullFmtpField) {
    ORVA_VIDEO_TAG v = video(ORVA_VIDEO_H264, "10.0.0.1", 5000);
    memset(v.VideoFmtp, 'f', sizeof v.VideoFmtp);  // no terminator
    std::string text = exported(&v, nullptr);
    EXPECT_NE(std::string::npos, text.find("a=fmtp:96 " + std::string(1000, 'f') + "\n\n"));
}

TEST_F(Sdp, ImportGivesBackWhatTheExportWroteWithTheDocumentedLosses) {
    // MPEG audio and G.711 come back at their RTP clock rates; names the
    // import does not know come back as codec 0 with no rate or channels.
    struct Case { int videoCodec, audioCodec, videoBack, audioBack; const char* audioFmtp; int rate, channels; };
    const Case cases[] = {{ORVA_VIDEO_H264, ORVA_AUDIO_AAC, ORVA_VIDEO_H264, ORVA_AUDIO_AAC, "", 48000, 2},
                          {ORVA_VIDEO_MP2V, ORVA_AUDIO_MP3, ORVA_VIDEO_MP1V, ORVA_AUDIO_MP2A, "", 90000, 2},
                          {ORVA_VIDEO_H263P, ORVA_AUDIO_MP3, ORVA_VIDEO_H263P, ORVA_AUDIO_MP3, "layer=3;", 90000, 2},
                          {ORVA_VIDEO_H265, ORVA_AUDIO_AC3, 0, 0, "", 0, 0},
                          {ORVA_VIDEO_H263, ORVA_AUDIO_G711U, ORVA_VIDEO_H263, ORVA_AUDIO_G711U, "", 8000, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.videoCodec);
        ORVA_VIDEO_TAG v = video(c.videoCodec, "239.1.2.3", 5000);
        copyText(v.VideoFmtp, "profile-level-id=42e01e");
        ORVA_AUDIO_TAG a = audio(c.audioCodec, "239.1.2.4", 5002, 48000, 2);
        copyText(a.AudioFmtp, c.audioFmtp);
        ASSERT_EQ(0, orvaExportSdp(path.c_str(), &v, &a, 1));
        ORVA_VIDEO_TAG vBack;
        ORVA_AUDIO_TAG aBack;
        memset(&vBack, 0x5a, sizeof vBack);
        memset(&aBack, 0x5a, sizeof aBack);
        ASSERT_EQ(0, orvaImportSdp(path.c_str(), &vBack, &aBack, 0));
        EXPECT_EQ(v.VideoSourceIP, vBack.VideoSourceIP);
        EXPECT_EQ(5000, vBack.VideoSourcePort);
        EXPECT_EQ(0u, vBack.VideoTargetIP);  // cleared, not left over
        EXPECT_EQ(c.videoBack, vBack.VideoCodec);
        EXPECT_STREQ("profile-level-id=42e01e", vBack.VideoFmtp);
        EXPECT_EQ(a.AudioSourceIP, aBack.AudioSourceIP);
        EXPECT_EQ(5002, aBack.AudioSourcePort);
        EXPECT_EQ(c.audioBack, aBack.AudioCodec);
        EXPECT_STREQ(c.audioFmtp, aBack.AudioFmtp);
        EXPECT_EQ(c.channels, aBack.AudioChannel);
        EXPECT_EQ(c.rate, aBack.AudioSampleRate);
    }
}

TEST_F(Sdp, ImportReadsStaticPayloadTypesConnectionsAndMpegAudioParameters) {
    ORVA_VIDEO_TAG v;
    ORVA_AUDIO_TAG a;
    EXPECT_EQ(1, import("c=IN IP4 224.2.2.2/127\nm=video 4000 RTP/AVP 32\nm=audio 5004 RTP/AVP 0\n", &v, &a));
    EXPECT_EQ(ORVA_VIDEO_MP2V, v.VideoCodec);
    EXPECT_EQ(Inet_addr("224.2.2.2"), v.VideoSourceIP);
    EXPECT_EQ(ORVA_AUDIO_G711U, a.AudioCodec);
    EXPECT_EQ(8000, a.AudioSampleRate);
    EXPECT_EQ(5004, a.AudioSourcePort);

    // A media-level connection only fills in an address the session did not give.
    EXPECT_EQ(0, import("m=video 4000 RTP/AVP 96\r\nc=IN IP4 10.1.1.1\r\nm=audio 4002 RTP/AVP 97\r\n"
                        "c=IN IP4 10.2.2.2\r\na=rtpmap:97 MPA/90000\r\n"
                        "a=fmtp:97 layer=3;samplerate=44100;mode=Single_Channel\r\n",
                        &v, &a, 1));
    EXPECT_EQ(Inet_addr("10.1.1.1"), v.VideoTargetIP);
    EXPECT_EQ(Inet_addr("10.1.1.1"), a.AudioTargetIP);  // the first connection is current at its media line
    EXPECT_EQ(4002, a.AudioTargetPort);
    EXPECT_EQ(0, a.AudioSourcePort);
    EXPECT_EQ(ORVA_AUDIO_MP3, a.AudioCodec);
    EXPECT_EQ(44100, a.AudioSampleRate);
    EXPECT_EQ(1, a.AudioChannel);
    EXPECT_STREQ("layer=3;samplerate=44100;mode=Single_Channel", a.AudioFmtp);

    EXPECT_EQ(0, import("c=IN IP4 nonsense\nm=audio 4002 RTP/AVP 97\na=rtpmap:97 mpeg4-generic/32000/1\n",
                        nullptr, &a));
    EXPECT_EQ(0xffffffffu, a.AudioSourceIP);  // invalid addresses read as all ones
    EXPECT_EQ(ORVA_AUDIO_AAC, a.AudioCodec);
    EXPECT_EQ(32000, a.AudioSampleRate);
}

TEST_F(Sdp, ImportIgnoresDisabledSectionsAndOtherPayloadTypes) {
    ORVA_VIDEO_TAG v;
    ORVA_AUDIO_TAG a;
    EXPECT_EQ(1, import("m=video 0 RTP/AVP 96\na=rtpmap:96 H264/90000\na=fmtp:96 x=1\n", &v, &a));
    EXPECT_EQ(0, v.VideoCodec);
    EXPECT_STREQ("", v.VideoFmtp);
    EXPECT_EQ(0, import("m=video 5000 RTP/AVP 96\na=rtpmap:97 H264/90000\na=rtpmap:96 H265/90000\n", &v, &a));
    EXPECT_EQ(0, v.VideoCodec);  // another payload type, then a name the import does not know
    EXPECT_EQ(1, import("v=0\ns=nothing\n", &v, &a));
    EXPECT_EQ(0, import("m=video 5000 RTP/AVP 96\na=rtpmap:96 H264/90000\n", nullptr, &a));
    EXPECT_EQ(0, a.AudioSourcePort);
}

TEST_F(Sdp, ImportReadsLongLinesInPiecesWithinItsFields) {
    ORVA_VIDEO_TAG v;
    std::string longFmtp(5000, 'p');
    EXPECT_EQ(0, import("m=video 5000 RTP/AVP 96\na=fmtp:96 " + longFmtp + "\na=rtpmap:96 H261/90000\n",
                        &v, nullptr));
    EXPECT_EQ(999u, strlen(v.VideoFmtp));
    EXPECT_EQ(ORVA_VIDEO_H261, v.VideoCodec);  // the pieces of the long line did not derail the rest
}

TEST_F(Sdp, ImportOfAMissingFileLeavesThePartsAlone) {
    ORVA_VIDEO_TAG v = video(ORVA_VIDEO_H264, "10.0.0.1", 5000);
    EXPECT_EQ(-1, orvaImportSdp((dir / "missing.sdp").c_str(), &v, nullptr, 0));
    EXPECT_EQ(ORVA_VIDEO_H264, v.VideoCodec);
    EXPECT_EQ(5000, v.VideoSourcePort);
}
