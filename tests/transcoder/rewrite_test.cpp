// rewrite_test.cpp: the launcher's rules on command lines the engine's own
// builder composes, run through the launcher's split as the real line is.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "engine/cmdline_fixture.h"
#include "orva_launch.h"
#include "orva_rewrite.h"

namespace {

using namespace std::chrono_literals;

FfMachine bareMachine() {
    FfMachine machine;
    machine.isLocalHost = [](std::string_view host) { return host == "0.0.0.0" || host == "192.0.2.10"; };
    return machine;
}

std::string joined(const FfTokens& args) {
    std::string text;
    for (const std::string& a : args)
        text += (text.empty() ? "" : " ") + a;
    return text;
}

class RewriteTest : public CommandLineTest {
protected:
    FfMachine machine = bareMachine();

    FfTokens split(const Composed& composed) {
        EXPECT_EQ(composed.rc, ORVA_OK) << composed.line;
        return splitCommandLine(composed.line);
    }
    FfPlan plan(const Composed& composed) { return ffPlan(split(composed), machine); }
    // The rewritten line as one text, for searching.
    std::string rewritten(const Composed& composed) {
        FfPlan p = plan(composed);
        EXPECT_EQ(p.refusal, "") << composed.line;
        return joined(p.args);
    }
    std::string refusal(const Composed& composed) { return plan(composed).refusal; }
};

ORVA_OUTPUT_TAG withAudio(ORVA_OUTPUT_TAG output, int codec) {
    output.Audio.AudioEnable = 1;
    output.Audio.AudioCodec = codec;
    return output;
}

ORVA_OUTPUT_TAG h264Target(int format, const char* address, const char* options = nullptr) {
    ORVA_OUTPUT_TAG output = target(format, address, options);
    output.Video = videoTarget(ORVA_VIDEO_H264).Video;
    return withAudio(output, ORVA_AUDIO_AAC);
}

TEST_F(RewriteTest, GroupsRoundTripAndFindTheirAddresses) {
    ORVA_INPUT_TAG second = fileInput("udp://239.1.1.1:5000", "-f mpegts");
    ORVA_OUTPUT_TAG rtp = h264Target(ORVA_FORMAT_RTP, "");
    rtp.Video.VideoTargetIP = inet_addr("127.0.0.1");
    rtp.Video.VideoTargetPort = 5000;
    rtp.Audio.AudioTargetIP = inet_addr("127.0.0.1");
    rtp.Audio.AudioTargetPort = 5002;
    FfTokens args = split(compose({fileInput("in.ts", "-metadata \"a b\""), second},
                                  {h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1234"), rtp}));
    FfCommand command = ffParse(args);
    EXPECT_EQ(ffFlatten(command), args);
    ASSERT_EQ(command.inputs.size(), 2u);
    EXPECT_EQ(command.inputs[0].url, "in.ts");
    EXPECT_EQ(command.inputs[0].value("-metadata"), "a b");
    EXPECT_EQ(command.inputs[1].url, "udp://239.1.1.1:5000");
    ASSERT_EQ(command.outputs.size(), 3u);
    EXPECT_EQ(command.outputs[0].url, "udp://127.0.0.1:1234");
    EXPECT_EQ(command.outputs[1].url, "rtp://127.0.0.1:5002");
    EXPECT_EQ(command.outputs[2].url, "rtp://127.0.0.1:5000");
    EXPECT_EQ(command.trailing.front(), "-sdp_file");
}

// An address that reads "-i" is an address: the grouping must neither take a
// further "-i" after it for an input nor read past the last argument.
TEST_F(RewriteTest, AnInputAddressThatReadsDashIIsTakenAsAnAddress) {
    const FfTokens args = {"-re", "-i", "-i", "-i"};
    FfCommand command = ffParse(args);
    ASSERT_EQ(command.inputs.size(), 1u);
    EXPECT_EQ(command.inputs[0].url, "-i");
    EXPECT_TRUE(command.outputs.empty());
    EXPECT_EQ(command.trailing, FfTokens{"-i"});
    EXPECT_EQ(ffFlatten(command), args);

    const FfTokens twoInputs = {"-i", "-i", "-i", "b.ts", "out.ts"};
    command = ffParse(twoInputs);
    ASSERT_EQ(command.inputs.size(), 2u);
    EXPECT_EQ(command.inputs[1].url, "b.ts");
    ASSERT_EQ(command.outputs.size(), 1u);
    EXPECT_EQ(ffFlatten(command), twoInputs);
}

TEST_F(RewriteTest, LinesThisFfmpegAcceptsPassUnchanged) {
    ORVA_OUTPUT_TAG remoteHttp = h264Target(ORVA_FORMAT_HTTPTS, "http://203.0.113.5:8080/live");
    const std::vector<ORVA_OUTPUT_TAG> targets = {
        h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1234"),
        h264Target(ORVA_FORMAT_FILE, "/media/out.mp4", "-movflags faststart"),
        h264Target(ORVA_FORMAT_RTMP, "rtmp://origin.example/live/a"),
        h264Target(ORVA_FORMAT_SRT, "srt://127.0.0.1:9000"),
        h264Target(ORVA_FORMAT_DASH, "/var/dash/a.mpd"),
        remoteHttp,
    };
    for (const ORVA_OUTPUT_TAG& output : targets) {
        Composed composed = compose({fileInput("/media/in.ts", "-vf \"[in] scale=640\\:360 [out]\"")}, {output});
        SCOPED_TRACE(composed.line);
        FfPlan p = plan(composed);
        FfTokens expected = split(composed);
        expected.insert(expected.begin(), "-nostdin");
        EXPECT_EQ(p.args, expected);
        EXPECT_FALSE(p.waits);
    }
}

TEST_F(RewriteTest, LoopInputBecomesStreamLoopBeforeItsOwnInput) {
    std::string line = rewritten(compose({fileInput("a.ts", "-loop_input  "), fileInput("b.ts")},
                                         {h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1234")}));
    EXPECT_NE(line.find("-re -stream_loop -1 -i a.ts -re -i b.ts"), std::string::npos) << line;
    EXPECT_EQ(line.find("loop_input"), std::string::npos);
    // Written among the target's options, it belongs to the last input.
    line = rewritten(compose({fileInput("a.ts")}, {h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1", "-loop_input")}));
    EXPECT_NE(line.find("-stream_loop -1 -i a.ts"), std::string::npos) << line;
    EXPECT_EQ(line.find("loop_input"), std::string::npos);
}

TEST_F(RewriteTest, SdpInputsGetTheRtpWhitelistOnce) {
    ORVA_INPUT_TAG rtp = fileInput("");
    rtp.Format = ORVA_FORMAT_RTP;
    rtp.Video.VideoCodec = ORVA_VIDEO_H264;
    rtp.Video.VideoSourcePort = 15000;
    std::string line = rewritten(compose({rtp}, {h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1")}));
    EXPECT_NE(line.find("-protocol_whitelist file,crypto,data,udp,rtp -i " + dir / "log/orva_001_in.sdp"),
              std::string::npos) << line;
    rtp.pszOptions = "-protocol_whitelist file,udp,rtp";
    line = rewritten(compose({rtp}, {h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1")}));
    EXPECT_EQ(line.find("crypto"), std::string::npos) << line;
}

TEST_F(RewriteTest, HlsListsOfABoundedSizeDeleteOldSegments) {
    struct Case { const char* options; const char* expected; int deletes; };
    const Case cases[] = {
        {"-hls_time 4 -hls_wrap 5", "-f hls -y -hls_flags delete_segments /var/hls/a.m3u8", 1},
        {"-hls_wrap 5 -hls_flags omit_endlist", "-hls_flags omit_endlist+delete_segments -pix_fmt", 1},
        {"-hls_list_size 5 -hls_flags delete_segments", "-hls_list_size 5 -hls_flags delete_segments -pix_fmt", 1},
        {nullptr, "-f hls -y -hls_flags delete_segments /var/hls/a.m3u8", 1},  // ffmpeg keeps five by default
        {"-hls_list_size 0", "-hls_list_size 0 -pix_fmt yuv420p -f hls -y /var/hls/a.m3u8", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        std::string line = rewritten(composeTarget(h264Target(ORVA_FORMAT_HLS, "/var/hls/a.m3u8", c.options)));
        EXPECT_NE(line.find(c.expected), std::string::npos) << line;
        EXPECT_EQ(line.find("hls_wrap"), std::string::npos) << line;
        size_t deletes = 0;
        for (size_t at = line.find("delete_segments"); at != std::string::npos; at = line.find("delete_segments", at + 1))
            deletes++;
        EXPECT_EQ(deletes, size_t(c.deletes)) << line;
    }
}

// The engine's "-g N -sc_threshold 0" of an HLS target, N its segment
// seconds, becomes key frames forced every N seconds in the same place.
TEST_F(RewriteTest, HlsKeyFramesAreForcedAtTheSegmentBoundaries) {
    struct Case { const char* options; int keyFrames; const char* engineG; const char* every; };
    const Case cases[] = {
        {"-hls_time 4 -hls_list_size 0", 0, "4", "4"},
        {nullptr, 0, "5", "5"},            // no segment time: the engine's five seconds
        {"-hls_time 0", 0, "5", "5"},
        {"-hls_time 1.5", 0, "1", "1.5"},  // the engine keeps whole seconds; ffmpeg cuts at 1.5
        {"-hls_time 2", 50, "2", "2"},     // the segment time wins over the frame count
    };
    for (const Case& c : cases) {
        ORVA_OUTPUT_TAG hls = h264Target(ORVA_FORMAT_HLS, "/var/hls/a.m3u8", c.options);
        hls.Video.VideoKeyFrameInterval = c.keyFrames;
        Composed composed = composeTarget(hls);
        SCOPED_TRACE(composed.line);
        FfTokens expected = split(composed);
        auto g = std::find(expected.begin(), expected.end(), "-g");
        ASSERT_NE(g, expected.end());
        ASSERT_EQ(*(g + 1), c.engineG);
        ASSERT_EQ(*(g + 2), "-sc_threshold");
        g = expected.erase(g, g + 4);
        expected.insert(g, {"-force_key_frames", std::string("expr:gte(t,n_forced*") + c.every + ")"});
        expected.insert(expected.begin(), "-nostdin");
        if (composed.line.find("-hls_list_size 0") == std::string::npos)  // the other HLS rule's part
            expected.insert(expected.end() - 1, {"-hls_flags", "delete_segments"});
        EXPECT_EQ(plan(composed).args, expected);
    }
}

TEST_F(RewriteTest, KeyFrameIntervalsTheOperatorChoseStay) {
    ORVA_OUTPUT_TAG hls = h264Target(ORVA_FORMAT_HLS, "/var/hls/a.m3u8");
    hls.Video.VideoKeyFrameInterval = 50;  // frames, with no segment time to replace
    ORVA_OUTPUT_TAG udp = h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1234");
    udp.Video.VideoKeyFrameInterval = 4;
    ORVA_OUTPUT_TAG copied = h264Target(ORVA_FORMAT_HLS, "/var/hls/b.m3u8", "-hls_time 4");
    copied.Video.VideoCodec = ORVA_VIDEO_COPY;
    for (const ORVA_OUTPUT_TAG& output : {hls, udp, copied}) {
        Composed composed = composeTarget(output);
        SCOPED_TRACE(composed.line);
        std::string line = rewritten(composed);
        EXPECT_EQ(line.find("force_key_frames"), std::string::npos) << line;
        EXPECT_EQ(line.find("-g ") != std::string::npos, composed.line.find("-g ") != std::string::npos) << line;
    }
    // The operator's own forcing is kept, once, and the engine's -g still goes.
    std::string line = rewritten(composeTarget(
        h264Target(ORVA_FORMAT_HLS, "/var/hls/a.m3u8", "-hls_time 2 -force_key_frames 0,1,2")));
    EXPECT_EQ(line.find("-g 2"), std::string::npos) << line;
    EXPECT_NE(line.find("-force_key_frames 0,1,2"), std::string::npos) << line;
    EXPECT_EQ(line.find("n_forced"), std::string::npos) << line;
}

TEST_F(RewriteTest, EachHlsTargetGetsItsOwnSegmentTime) {
    ORVA_OUTPUT_TAG udp = h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1234");
    udp.Video.VideoKeyFrameInterval = 4;
    std::string line = rewritten(compose({fileInput()}, {h264Target(ORVA_FORMAT_HLS, "/var/hls/a.m3u8", "-hls_time 2"),
                                                         udp,
                                                         h264Target(ORVA_FORMAT_HLS, "/var/hls/b.m3u8", "-hls_time 6")}));
    EXPECT_NE(line.find("-force_key_frames expr:gte(t,n_forced*2) -hls_time 2"), std::string::npos) << line;
    EXPECT_NE(line.find("-g 4 -sc_threshold 0"), std::string::npos) << line;
    EXPECT_NE(line.find("-force_key_frames expr:gte(t,n_forced*6) -hls_time 6"), std::string::npos) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '"'), 0) << line;
}

TEST_F(RewriteTest, FdkAacBecomesNativeAacWithoutItsHeProfilesAndOptions) {
    ORVA_OUTPUT_TAG output = withAudio(h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1",
                                                  "-profile:a aac_he_v2 -afterburner 1 -signaling 2 -rtpflags +latm"),
                                       ORVA_AUDIO_HEAAC);
    std::string line = rewritten(composeTarget(output));
    EXPECT_NE(line.find("-c:a aac "), std::string::npos) << line;
    for (const char* gone : {"libfdk_aac", "aac_he", "afterburner", "signaling"})
        EXPECT_EQ(line.find(gone), std::string::npos) << gone << " in " << line;
    EXPECT_NE(line.find("-rtpflags +latm"), std::string::npos) << line;
    // The LC profile means the same to the native encoder and stays.
    output.pszOptions = "-profile:a aac_low";
    EXPECT_NE(rewritten(composeTarget(output)).find("-profile:a aac_low"), std::string::npos);
}

TEST_F(RewriteTest, RtspTargetsPublishOverTcp) {
    std::string line = rewritten(composeTarget(h264Target(ORVA_FORMAT_RTSP, "rtsp://127.0.0.1:8554/cam")));
    EXPECT_NE(line.find("-f rtsp -rtsp_transport tcp rtsp://127.0.0.1:8554/cam"), std::string::npos) << line;
    EXPECT_EQ(line.find("mpegts"), std::string::npos) << line;
}

TEST_F(RewriteTest, HttpTargetsOnThisMachineAreServed) {
    std::string line = rewritten(composeTarget(h264Target(ORVA_FORMAT_HTTPTS, "http://0.0.0.0:8080/live")));
    EXPECT_NE(line.find("-f mpegts -listen 1 http://0.0.0.0:8080/live"), std::string::npos) << line;
    line = rewritten(composeTarget(h264Target(ORVA_FORMAT_HTTPTS, "http://user@192.0.2.10:8080")));
    EXPECT_NE(line.find("-listen 1 http://user@192.0.2.10:8080"), std::string::npos) << line;

    ORVA_OUTPUT_TAG mjpeg = target(ORVA_FORMAT_HTTPMJPG, "http://0.0.0.0:8090");
    mjpeg.Video = videoTarget(ORVA_VIDEO_MJPEG).Video;
    line = rewritten(composeTarget(mjpeg));
    EXPECT_NE(line.find("-f mpjpeg -listen 1 -content_type multipart/x-mixed-replace;boundary=ffmpeg "
                        "http://0.0.0.0:8090"), std::string::npos) << line;
    // With sound it stays a transport stream, which can carry both.
    line = rewritten(composeTarget(withAudio(mjpeg, ORVA_AUDIO_MP2A)));
    EXPECT_NE(line.find("-f mpegts -listen 1 http://0.0.0.0:8090"), std::string::npos) << line;
}

TEST_F(RewriteTest, WhatThisMachineCannotDoIsRefusedWithItsReason) {
    ORVA_INPUT_TAG decklink = fileInput("DeckLink Mini Recorder");
    decklink.Format = ORVA_FORMAT_DECKLINK;
    ORVA_OUTPUT_TAG udp = h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1");
    EXPECT_EQ(refusal(compose({decklink}, {udp})), "DeckLink capture is not available in this machine's ffmpeg");
    EXPECT_EQ(refusal(composeTarget(target(ORVA_FORMAT_NDI, "studio", nullptr))),
              "NDI output is not available in this machine's ffmpeg");
    EXPECT_EQ(refusal(composeTarget(withAudio(udp, ORVA_AUDIO_AMRNB))),
              "AMR audio cannot be encoded by this machine's ffmpeg");
    ORVA_OUTPUT_TAG nvenc = udp;
    nvenc.Video.VideoCodec = ORVA_VIDEO_NV264;
    EXPECT_EQ(refusal(composeTarget(nvenc)), "h264_nvenc needs an NVIDIA device, and this machine has none");
    EXPECT_EQ(refusal(compose({fileInput("in.ts", "-hwaccel cuvid")}, {udp})),
              "cuvid needs an NVIDIA device, and this machine has none");
    ORVA_OUTPUT_TAG qsv = udp;
    qsv.Video.VideoCodec = ORVA_VIDEO_QSV265;
    EXPECT_EQ(refusal(composeTarget(qsv)), "hevc_qsv needs an Intel Quick Sync device, and this machine has none");
    machine.hasNvidia = machine.hasRenderNode = true;
    EXPECT_EQ(refusal(composeTarget(nvenc)), "");
    EXPECT_EQ(refusal(composeTarget(qsv)), "");
}

// A live source whose every target re-encodes runs through the continuity
// stage; anything else keeps the one ffmpeg it had.
TEST_F(RewriteTest, OnlyOneLiveInputWithEveryTargetReencodedIsWatched) {
    ORVA_OUTPUT_TAG udp = h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1234");
    ORVA_OUTPUT_TAG copied = udp;
    copied.Video.VideoCodec = ORVA_VIDEO_COPY;
    ORVA_OUTPUT_TAG soundCopied = withAudio(udp, ORVA_AUDIO_COPY);
    ORVA_INPUT_TAG device = fileInput("/dev/video0?video_size=640x480");
    device.Format = ORVA_FORMAT_DEVICE;
    struct Case { const char* what; Composed composed; bool watched; };
    const Case cases[] = {
        {"udp source", compose({fileInput("udp://127.0.0.1:5000")}, {udp}), true},
        {"srt source, two targets", compose({fileInput("srt://10.0.0.1:9000")}, {udp, h264Target(ORVA_FORMAT_HLS, "/h/a.m3u8")}), true},
        {"rtsp over tcp", compose({fileInput("rtspt://cam/live")}, {udp}), true},
        {"an SDP file", compose({fileInput("/var/orval/in.sdp")}, {udp}), true},
        {"a V4L2 device", compose({device}, {udp}), true},
        {"a file", compose({fileInput("/media/a.ts")}, {udp}), false},
        {"two sources", compose({fileInput("udp://127.0.0.1:5000"), fileInput("udp://127.0.0.1:5001")}, {udp}), false},
        {"a copied picture", compose({fileInput("udp://127.0.0.1:5000")}, {udp, copied}), false},
        {"a copied sound", compose({fileInput("udp://127.0.0.1:5000")}, {soundCopied}), false},
        {"copy in the options", compose({fileInput("udp://127.0.0.1:5000")}, {h264Target(ORVA_FORMAT_FILE, "/o.ts", "-c copy")}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FfPlan p = plan(c.composed);
        EXPECT_EQ(p.watched, c.watched) << c.composed.line;
        EXPECT_EQ(p.encoderArgs.empty(), !c.watched);
    }
}

TEST_F(RewriteTest, TheEncoderReadsTheStageInPlaceOfTheSourceAndKeepsEverythingElse) {
    ORVA_OUTPUT_TAG hls = h264Target(ORVA_FORMAT_HLS, "/h/a.m3u8", "-hls_time 2");
    hls.Video.VideoWidth = 1280;
    hls.Video.VideoHeight = 720;
    hls.Video.VideoFrameRate = 29.97f;
    hls.Audio.AudioSampleRate = 44100;
    hls.Audio.AudioChannel = 1;
    FfTokens args = split(compose({fileInput("rtspt://cam/live", "-stimeout 5000000")}, {hls}));
    FfPlan p = ffPlan(args, machine, "/var/orval/thumb/orva_001.jpg");
    ASSERT_TRUE(p.watched);
    std::string encoder = joined(p.encoderArgs);
    EXPECT_TRUE(encoder.starts_with("-nostdin -f nut -i pipe:3 -c:a aac -ac 1 -ar 44100 ")) << encoder;
    EXPECT_EQ(encoder.find("rtsp"), std::string::npos) << encoder;
    EXPECT_EQ(encoder.find("stimeout"), std::string::npos) << encoder;
    // Every output and the thumbnail stay as the plain line has them.
    std::string plain = joined(p.args);
    std::string outputs = plain.substr(plain.find("-c:a aac"));
    EXPECT_TRUE(encoder.ends_with(outputs)) << encoder;
    EXPECT_NE(outputs.find("-force_key_frames expr:gte(t,n_forced*2)"), std::string::npos) << outputs;
    EXPECT_NE(outputs.find("orva_001.jpg"), std::string::npos) << outputs;
    // The decoder reads the source as the line would, and the canvas is the target's.
    EXPECT_EQ(p.source.url, "rtsp://cam/live");
    EXPECT_EQ(joined(p.source.options), "-stimeout 5000000 -rtsp_transport tcp");
    EXPECT_EQ(p.canvas.width, 1280);
    EXPECT_EQ(p.canvas.height, 720);
    EXPECT_EQ(p.canvas.rateNum, 30000);
    EXPECT_EQ(p.canvas.rateDen, 1001);
    EXPECT_EQ(p.canvas.sampleRate, 44100);
    EXPECT_EQ(p.canvas.channels, 1);
}

TEST(Canvas, TakesWhatTheTargetSetsAndConformsDecodersToIt) {
    int num = 0, den = 0;
    struct Rate { const char* text; bool ok; int num; int den; };
    for (const Rate& r : {Rate{"25", true, 25, 1}, {"ntsc", true, 30000, 1001}, {"ntsc-film", true, 24000, 1001},
                          {"60000/1001", true, 60000, 1001}, {"29.97", true, 30000, 1001}, {"12.5", true, 25, 2},
                          {"0", false, 0, 0}, {"-5", false, 0, 0}, {"abc", false, 0, 0}, {"25/0", false, 0, 0}}) {
        SCOPED_TRACE(r.text);
        num = den = 0;
        EXPECT_EQ(ffParseRate(r.text, num, den), r.ok);
        if (r.ok) {
            EXPECT_EQ(num, r.num);
            EXPECT_EQ(den, r.den);
        }
    }
    FfGroup odd;
    odd.options = {"-s", "641x361", "-ac", "9", "-ar", "x"};
    FfCanvas canvas = ffTargetCanvas(odd);
    EXPECT_EQ(canvas.width, 640);
    EXPECT_EQ(canvas.height, 360);
    EXPECT_EQ(canvas.channels, 0);
    EXPECT_EQ(canvas.sampleRate, 0);
    EXPECT_FALSE(canvas.hasRate());
    canvas.fillDefaults();
    EXPECT_TRUE(canvas.complete());
    EXPECT_EQ(canvas.rateNum, 25);
    EXPECT_EQ(canvas.sampleRate, 48000);

    // The sound of each picture adds up exactly, even at 30000/1001.
    FfCanvas ntsc{640, 360, 30000, 1001, 48000, 2};
    long long samples = 0;
    for (long long frame = 0; frame < 30000; frame++)
        samples += ntsc.samplesOfFrame(frame);
    EXPECT_EQ(samples, 30000LL * 48000 * 1001 / 30000);

    FfGroup source;
    source.options = {"-v", "32", "-rtsp_transport", "tcp"};
    source.url = "rtsp://cam/live";
    std::string live = joined(ffDecoderArgs(source, ntsc, FfReadMode::Live));
    EXPECT_TRUE(live.starts_with("-nostdin -hide_banner -nostats -v warning -dts_delta_threshold 1 -rtsp_transport tcp "
                                 "-analyzeduration 500000 -i rtsp://cam/live ")) << live;
    EXPECT_NE(live.find("scale=640:360:force_original_aspect_ratio=decrease:force_divisible_by=2,"
                        "pad=640:360:-1:-1:black,setsar=1,fps=30000/1001,format=yuv420p"), std::string::npos) << live;
    EXPECT_TRUE(live.ends_with("-ar 48000 -ac 2 -sample_fmt s16 -c:a pcm_s16le -f nut -f_strict experimental -syncpoints none pipe:1")) << live;
    // The line's global options stay with the encoder.
    FfCommand line = ffParse({"-v", "32", "-rtsp_transport", "tcp", "-i", "rtsp://cam/live", "-c:v", "libx264", "o.ts"});
    EXPECT_EQ(joined(ffEncoderArgs(line)), "-nostdin -v 32 -f nut -i pipe:3 -c:v libx264 o.ts");
    std::string looped = joined(ffDecoderArgs(ffBackupInput("/media/backup.mp4"), FfCanvas{}, FfReadMode::Looped));
    EXPECT_NE(looped.find("-re -stream_loop -1 -i /media/backup.mp4 "), std::string::npos) << looped;
    EXPECT_EQ(looped.find("fps="), std::string::npos) << looped;
    EXPECT_EQ(looped.find(" -ar "), std::string::npos) << looped;
}

TEST(StageSettings, HoldsTheServicesValuesToTheirRanges) {
    static std::map<std::string, std::string> env;
    auto lookup = [](const char* name) -> const char* {
        auto found = env.find(name);
        return found == env.end() ? nullptr : found->second.c_str();
    };
    env = {};
    StageSettings s = ffStageSettings(lookup);
    EXPECT_EQ(s.sourceTimeoutMs, 1000);
    EXPECT_EQ(s.blackSeconds, 10);
    EXPECT_EQ(s.backup, "");
    env = {{"ORVAL_CHANNEL", "64"}, {"ORVAL_MEMO", "Main \"news\""}, {"ORVAL_BACKUP", "/media/a b"},
           {"ORVAL_SOURCE_TIMEOUT", "50"}, {"ORVAL_ALARM_BLACK", "0"}, {"ORVAL_ALARM_FREEZE", "99999"},
           {"ORVAL_ALARM_SILENCE", "2x"}};
    s = ffStageSettings(lookup);
    EXPECT_EQ(s.channel, 64);
    EXPECT_EQ(s.memo, "Main \"news\"");
    EXPECT_EQ(s.backup, "/media/a b");
    EXPECT_EQ(s.sourceTimeoutMs, 200);
    EXPECT_EQ(s.blackSeconds, 0);
    EXPECT_EQ(s.frozenSeconds, 3600);
    EXPECT_EQ(s.silentSeconds, 10);
    env = {{"ORVAL_SOURCE_TIMEOUT", "20000"}, {"ORVAL_ALARM_BLACK", "-1"}};
    s = ffStageSettings(lookup);
    EXPECT_EQ(s.sourceTimeoutMs, 10000);
    EXPECT_EQ(s.blackSeconds, 10);
}

class TimeShiftRewriteTest : public RewriteTest {
protected:
    std::string feed = "/cache/feed001.ffm";

    std::string recorderLine(int codec) {
        ORVA_OUTPUT_TAG recorder = h264Target(ORVA_FORMAT_FILE, feed.c_str(), " -wrap_time 60");
        recorder.Video.VideoCodec = codec;
        return rewritten(composeTarget(recorder));
    }
};

TEST_F(TimeShiftRewriteTest, RecorderWritesARollingFeedOfTwoSecondSegments) {
    std::string line = recorderLine(ORVA_VIDEO_H264);
    EXPECT_NE(line.find("-c:v libx264 "), std::string::npos) << line;
    EXPECT_NE(line.find("-force_key_frames expr:gte(t,n_forced*2) -f hls -hls_time 2 -hls_list_size 31 "
                        "-hls_flags delete_segments+temp_file -hls_start_number_source epoch "
                        "-hls_segment_filename /cache/feed001.ffm_%d.ts -y /cache/feed001.ffm.m3u8"),
              std::string::npos) << line;
    EXPECT_EQ(line.find("wrap_time"), std::string::npos) << line;

    line = recorderLine(ORVA_VIDEO_VP9);
    EXPECT_NE(line.find("-hls_segment_type fmp4 -hls_fmp4_init_filename /cache/feed001.ffm_init.mp4 "
                        "-hls_segment_filename /cache/feed001.ffm_%d.m4s"), std::string::npos) << line;
    line = recorderLine(ORVA_VIDEO_COPY);
    EXPECT_EQ(line.find("force_key_frames"), std::string::npos) << line;

    ORVA_OUTPUT_TAG prores = h264Target(ORVA_FORMAT_FILE, feed.c_str(), " -wrap_time 60");
    prores.Video.VideoCodec = ORVA_VIDEO_PRORES;
    EXPECT_EQ(refusal(composeTarget(prores)), "the time-shift feed cannot carry video encoded with prores_ks");
}

TEST_F(TimeShiftRewriteTest, PlayerStartsTheChosenNumberOfSegmentsBehindLive) {
    ORVA_OUTPUT_TAG output = h264Target(ORVA_FORMAT_UDPTS, "udp://127.0.0.1:1234");
    output.Video.VideoCodec = ORVA_VIDEO_COPY;
    output.Audio.AudioCodec = ORVA_AUDIO_COPY;
    FfPlan p = plan(compose({fileInput(feed.c_str(), "-wrap_time 20")}, {output}));
    ASSERT_TRUE(p.waits);
    EXPECT_EQ(p.player.playlist, feed + ".m3u8");
    EXPECT_EQ(p.player.delay, 10.0);
    EXPECT_EQ(p.player.limitSeconds, 50);
    ffSetStartSegments(p, 5);
    std::string line = joined(p.args);
    EXPECT_TRUE(line.starts_with("-nostdin -re -live_start_index -5 -i /cache/feed001.ffm.m3u8 ")) << line;
    EXPECT_EQ(std::count(p.args.begin(), p.args.end(), "-re"), 1);
}

TEST(TimeShiftFeed, ChoosesTheTrailingSegmentsClosestToTheDelay) {
    EXPECT_EQ(hlsDurations("#EXTM3U\n#EXTINF:2.000000,\na_1.ts\n#EXTINF:1.960000,\na_2.ts\n"),
              (std::vector<double>{2.0, 1.96}));
    EXPECT_EQ(chooseStartSegments(std::vector<double>(31, 2.0), 30), 15);
    EXPECT_EQ(chooseStartSegments({2, 2, 2, 2, 2, 2}, 10), 5);
    EXPECT_EQ(chooseStartSegments({4, 4, 4, 4}, 11), 3);  // 12 s is closer than 8 s
    EXPECT_EQ(chooseStartSegments({2, 2}, 10), 2);         // a short feed gives what it has
}

TEST(TimeShiftFeed, WaitsForTheDelayAndTheNextSegmentOrGivesUp) {
    TempDir dir;
    TimeShiftPlayer player;
    player.playlist = dir / "feed.m3u8";
    player.delay = 4;
    player.limitSeconds = 5;
    std::string segment = "#EXTINF:2.000000,\nx.ts\n";
    writeFile(player.playlist, segment + segment);  // 4 s: not yet the delay and a segment
    std::thread recorder([&] {
        std::this_thread::sleep_for(300ms);
        writeFile(player.playlist, segment + segment + segment);
        std::this_thread::sleep_for(300ms);
        writeFile(player.playlist, segment + segment + segment + segment);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waitForTimeShiftFeed(player), 2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 550ms);
    recorder.join();

    player.playlist = dir / "never.m3u8";
    player.limitSeconds = 1;
    EXPECT_EQ(waitForTimeShiftFeed(player), 0);
}

}  // namespace
