// Stream address classification, narrow and wide.
#include <gtest/gtest.h>

#include <string>

#include "engine/orva.h"

namespace {

struct Case {
    const char* url;
    int rtmp, rtp, udp, stream;
};

const Case kCases[] = {
    {"rtmp://host/app/stream", 1, 0, 0, 1},
    {"RTMP://HOST/app/stream", 1, 0, 0, 1},
    {"rtmpe://h/a/s", 1, 0, 0, 1},
    {"rtmpts://h/a/s", 1, 0, 0, 1},
    {"rtmpx://h/a/s", 0, 0, 0, 1},
    {"rtmp:/h", 0, 0, 0, 0},
    {"rtp://239.0.0.1:5000", 0, 1, 1, 1},
    {"udp://239.1.1.1:1234", 0, 0, 1, 1},
    {"UDP://239.1.1.1:1234", 0, 0, 1, 1},
    {"srt://host:9000", 0, 0, 0, 1},
    {"/media/stream.SDP", 0, 0, 0, 1},
    {"/media/stream.sdp.bak", 0, 0, 0, 0},
    {"sdp", 0, 0, 0, 0},
    {".sdp", 0, 0, 0, 1},
    {"/media/clip.ts", 0, 0, 0, 0},
    {"/dev/video0", 0, 0, 0, 0},
    {"", 0, 0, 0, 0},
};

}  // namespace

TEST(AddressClassification, NarrowAndWideTextsAreClassifiedAlike) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.url);
        std::string narrow = c.url;
        std::wstring wide(narrow.begin(), narrow.end());
        EXPECT_EQ(c.rtmp, _isRtmpUrl(c.url, 0));
        EXPECT_EQ(c.rtp, _isRTPUrl(c.url, 0));
        EXPECT_EQ(c.udp, _isUDPUrl(c.url, 0));
        EXPECT_EQ(c.stream, _isStreamUrl(c.url, 0));
        EXPECT_EQ(c.rtmp, _isRtmpUrl(wide.c_str(), 1));
        EXPECT_EQ(c.rtp, _isRTPUrl(wide.c_str(), 1));
        EXPECT_EQ(c.udp, _isUDPUrl(wide.c_str(), 1));
        EXPECT_EQ(c.stream, _isStreamUrl(wide.c_str(), 1));
        EXPECT_EQ(c.rtmp, isRtmpUrl(c.url));
        EXPECT_EQ(c.stream, isStreamUrl(c.url));
    }
}

TEST(AddressClassification, AbsentTextIsNothing) {
    EXPECT_EQ(0, _isRtmpUrl(nullptr, 0));
    EXPECT_EQ(0, _isRTPUrl(nullptr, 1));
    EXPECT_EQ(0, _isUDPUrl(nullptr, 0));
    EXPECT_EQ(0, _isStreamUrl(nullptr, 1));
    EXPECT_EQ(0, isStreamUrl(nullptr));
}
