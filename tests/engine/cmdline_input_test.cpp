// Command lines: the inputs of a request, the line's limit and wide requests.
#include <clocale>
#include <cstring>

#include "engine/cmdline_fixture.h"

namespace {

const std::string kPlainTarget = "-an -vn -y \"out.ts\" ";

ORVA_INPUT_TAG input(int format, const char* address, uint16_t port = 0) {
    ORVA_INPUT_TAG in = fileInput(address);
    in.Format = format;
    in.Video.VideoSourcePort = port;
    return in;
}

ORVA_INPUT_TAG rtpInput(const char* group, uint16_t videoPort, uint16_t audioPort) {
    ORVA_INPUT_TAG in = input(ORVA_FORMAT_RTP, nullptr, videoPort);
    in.Video.VideoCodec = ORVA_VIDEO_H264;
    in.Video.VideoSourceIP = Inet_addr(group);
    in.Audio.AudioCodec = ORVA_AUDIO_AAC;
    in.Audio.AudioSampleRate = 48000;
    in.Audio.AudioChannel = 2;
    in.Audio.AudioSourceIP = Inet_addr(group);
    in.Audio.AudioSourcePort = audioPort;
    return in;
}

}  // namespace

TEST_F(CommandLineTest, InputsAreWrittenInRequestOrderAfterTheVerbosity) {
    g_cfg.logLevel = 32;
    Composed c = compose({fileInput("rtspt://cam.local:554/stream1", "-hwaccel cuvid "),
                          fileInput("/media/clips/intro.mp4")},
                         {target(ORVA_FORMAT_FILE, "out.ts")});
    ASSERT_EQ(0, c.rc);
    EXPECT_EQ("-v 32 -hwaccel cuvid  -rtsp_transport tcp -i \"rtsp://cam.local:554/stream1\" "
              "-re -i \"/media/clips/intro.mp4\" " + kPlainTarget,
              c.line);
}

TEST_F(CommandLineTest, OnlyLocalFilesAreReadAtTheirNativeRate) {
    struct Case { const char* address; const char* expected; };
    const Case cases[] = {
        {"/srv/a.ts", "-re -i \"/srv/a.ts\" "},
        {"udp://239.1.1.1:1234", "-i \"udp://239.1.1.1:1234\" "},
        {"rtmp://host/live/key", "-i \"rtmp://host/live/key\" "},
        {"/srv/feed.SDP", "-i \"/srv/feed.SDP\" "},
        {"HLS://host/live/index.m3u8", "-i \"hls+http://host/live/index.m3u8\" "},
        {"hls://h/a.m3u8", "-i \"hls+http://h/a.m3u8\" "},
        {"RtspT://cam/1", "-rtsp_transport tcp -i \"rtsp://cam/1\" "},
        {"rtsp://cam/1", "-i \"rtsp://cam/1\" "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        Composed composed = composeInput(fileInput(c.address));
        ASSERT_EQ(0, composed.rc);
        EXPECT_EQ(std::string(c.expected) + kPlainTarget, composed.line);
    }
}

TEST_F(CommandLineTest, InputOptionTextIsWrittenBeforeItsInputAndAnEmptyOneAddsNothing) {
    EXPECT_EQ("-re -i \"in.ts\" " + kPlainTarget, composeInput(fileInput("in.ts", "")).line);
    EXPECT_EQ("-stream_loop -1 -re -i \"in.ts\" " + kPlainTarget,
              composeInput(fileInput("in.ts", "-stream_loop -1")).line);
}

TEST_F(CommandLineTest, CaptureDeviceOptionsComeFromTheAddressQuery) {
    struct Case { const char* address; const char* expected; };
    const Case cases[] = {
        {"/dev/video0?video_size=1280x720&framerate=25",
         "-f v4l2 -video_size 1280x720 -framerate 25 -i /dev/video0 "},
        {"/dev/video1", "-f v4l2 -i /dev/video1 "},
        {"/dev/video2?input_format=mjpeg", "-f v4l2 -input_format mjpeg -i /dev/video2 "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        Composed composed = composeInput(input(ORVA_FORMAT_DEVICE, c.address));
        ASSERT_EQ(0, composed.rc);
        EXPECT_EQ(std::string(c.expected) + kPlainTarget, composed.line);
    }
}

TEST_F(CommandLineTest, DeckLinkAndNdiInputsNameTheirDevice) {
    EXPECT_EQ("-f decklink -i \"DeckLink Mini Recorder\" " + kPlainTarget,
              composeInput(input(ORVA_FORMAT_DECKLINK, "DeckLink Mini Recorder")).line);
    EXPECT_EQ("-f libndi_newtek -i \"STUDIO (Camera 1)\" " + kPlainTarget,
              composeInput(input(ORVA_FORMAT_NDI, "STUDIO (Camera 1)")).line);
}

TEST_F(CommandLineTest, InputsWithoutAddressOrPortAreRefused) {
    EXPECT_EQ(ORVA_ERR_INPUT_ADDRESS, composeInput(fileInput("")).rc);
    EXPECT_EQ(ORVA_ERR_INPUT_ADDRESS, composeInput(fileInput(nullptr)).rc);
    EXPECT_EQ(ORVA_ERR_INPUT_PORT, composeInput(input(ORVA_FORMAT_UDPTS, "x")).rc);
    EXPECT_EQ(ORVA_ERR_INPUT_PORT, composeInput(rtpInput("239.1.1.1", 0, 5002)).rc);
    // A port-described input is carried by its option text alone.
    ORVA_INPUT_TAG udp = input(ORVA_FORMAT_UDPTS, "ignored", 1234);
    udp.pszOptions = "-i udp://@:1234";
    Composed c = composeInput(udp);
    ASSERT_EQ(0, c.rc);
    EXPECT_EQ("-i udp://@:1234 " + kPlainTarget, c.line);
}

TEST_F(CommandLineTest, RtpInputsAreDescribedBySdpFilesOfTheirOwn) {
    Composed c = compose({rtpInput("239.1.1.1", 5000, 5002), fileInput("a.ts"),
                          rtpInput("239.1.1.2", 6000, 0)},
                         {target(ORVA_FORMAT_FILE, "out.ts")}, 6);
    ASSERT_EQ(0, c.rc);
    std::string first = dir / "log/orva_007_in.sdp", second = dir / "log/orva_007_in2.sdp";
    EXPECT_EQ("-i \"" + first + "\" -re -i \"a.ts\" -i \"" + second + "\" " + kPlainTarget, c.line);
    EXPECT_NE(std::string::npos, readFile(first).find("c=IN IP4 239.1.1.1\nm=video 5000 "));
    EXPECT_NE(std::string::npos, readFile(first).find("m=audio 5002 RTP/AVP 97\n"));
    EXPECT_NE(std::string::npos, readFile(second).find("c=IN IP4 239.1.1.2\nm=video 6000 "));
    EXPECT_EQ(std::string::npos, readFile(second).find("m=audio"));
}

TEST_F(CommandLineTest, RtpInputIsRefusedWhenItsDescriptionCannotBeWritten) {
    ORVA_INPUT_TAG unnamedAudio = rtpInput("239.1.1.1", 5000, 5002);
    unnamedAudio.Audio.AudioCodec = ORVA_AUDIO_AMRNB;
    EXPECT_EQ(ORVA_ERR_INPUT_PORT, composeInput(unnamedAudio).rc);
    ASSERT_TRUE(copyText(g_cfg.szWorkDir, dir / "missing"));
    EXPECT_EQ(ORVA_ERR_INPUT_PORT, composeInput(rtpInput("239.1.1.1", 5000, 5002)).rc);
}

TEST_F(CommandLineTest, ALineUpToTheLimitIsWhole_OneByteMoreIsRefused) {
    // The line holds 3999 characters and its terminator.
    const std::string frame = "-re -i \"in.ts\" -an -vn  -y \"out.ts\" ";
    std::string options(kOrvaLineSize - 1 - frame.size(), 'o');
    Composed fits = composeTarget(target(ORVA_FORMAT_FILE, "out.ts", options.c_str()));
    ASSERT_EQ(0, fits.rc);
    EXPECT_EQ(static_cast<size_t>(kOrvaLineSize - 1), fits.line.size());
    EXPECT_EQ(" -y \"out.ts\" ", fits.line.substr(fits.line.size() - 13));
    options += 'o';
    EXPECT_EQ(ORVA_ERR_LINE_TOO_LONG,
              composeTarget(target(ORVA_FORMAT_FILE, "out.ts", options.c_str())).rc);
    std::string address(kOrvaLineSize, 'a');
    EXPECT_EQ(ORVA_ERR_LINE_TOO_LONG, composeInput(fileInput(address.c_str())).rc);
}

TEST_F(CommandLineTest, WideRequestGivesTheSameNarrowLine) {
    ORVA_INPUT_TAG narrowIn = fileInput("HLS://h/a.m3u8", "-hwaccel cuvid");
    ORVA_OUTPUT_TAG narrowOut = target(ORVA_FORMAT_HLS, "/var/hls/a.m3u8", "-hls_time 4");
    narrowOut.Video = videoTarget(ORVA_VIDEO_H264).Video;
    ORVA_INPUT_TAG wideIn = narrowIn;
    wideIn.pwszAddress = L"HLS://h/a.m3u8";
    wideIn.pwszOptions = L"-hwaccel cuvid";
    ORVA_OUTPUT_TAG wideOut = narrowOut;
    wideOut.pwszAddress = L"/var/hls/a.m3u8";
    wideOut.pwszOptions = L"-hls_time 4";
    Composed narrow = compose({narrowIn}, {narrowOut});
    Composed wide = compose({wideIn}, {wideOut}, 0, 1);
    ASSERT_EQ(0, narrow.rc);
    ASSERT_EQ(0, wide.rc);
    EXPECT_EQ(narrow.line, wide.line);
    EXPECT_NE(std::string::npos, wide.line.find("-g 4 "));  // the option text was read, not only copied
}

TEST_F(CommandLineTest, WideTextThatTheLocaleCannotWriteIsRefusedNotCut) {
    std::string previous = setlocale(LC_CTYPE, nullptr);
    setlocale(LC_CTYPE, "C");
    ORVA_INPUT_TAG in = fileInput();
    in.pwszAddress = L"caf\u00e9.ts";
    ORVA_OUTPUT_TAG out = target(ORVA_FORMAT_FILE, nullptr);
    out.pwszAddress = L"out.ts";
    EXPECT_EQ(ORVA_ERR_LINE_TOO_LONG, compose({in}, {out}, 0, 1).rc);
    setlocale(LC_CTYPE, previous.c_str());
}
