// Command lines: the encoding, mux options and format of every target.
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "engine/cmdline_fixture.h"

namespace {

struct VideoCase {
    int codec, quality, bitrate;
    float frameRate;
    std::string expected;  // the video options up to the file target's "-y"
};

void expectVideo(const std::function<Composed(const ORVA_OUTPUT_TAG&)>& compose,
                 const VideoCase& c) {
    SCOPED_TRACE(testing::Message() << "codec " << c.codec << " q " << c.quality << " b "
                                    << c.bitrate << " fps " << c.frameRate);
    ORVA_OUTPUT_TAG out = videoTarget(c.codec);
    out.Video.VideoQuality = c.quality;
    out.Video.VideoBitRate = c.bitrate;
    out.Video.VideoFrameRate = c.frameRate;
    Composed composed = compose(out);
    ASSERT_EQ(0, composed.rc);
    EXPECT_EQ(videoLine(c.expected), composed.line);
}

}  // namespace

TEST_F(CommandLineTest, QualityMapsOntoTheQuantiserScaleAndBitrateMakesItConstant) {
    const char* cbr3000 = "-b:v 3000k -bt 100001 -minrate:v 3000k -maxrate:v 3000k -bufsize:v 3000k ";
    const VideoCase cases[] = {
        {135, 1, 0, 0, "-c:v libx264 -crf 69.0 -pix_fmt yuv420p "},
        {135, 50, 0, 0, "-c:v libx264 -crf 35.3 -pix_fmt yuv420p "},
        {136, 100, 0, 0, "-c:v libx265 -crf 1.0 "},
        {133, 100, 0, 0, "-c:v mpeg4 -qmin 1.0 -qmax 1.0 "},
        {133, 1, 0, 0, "-c:v mpeg4 -qmin 69.0 -qmax 69.0 "},
        {132, 50, 0, 0, "-c:v mpeg2video -qmin 35.3 -qmax 35.3 "},
        // Neither quality nor bitrate: each encoder's own default.
        {135, 0, 0, 0, "-c:v libx264 -crf 23 -pix_fmt yuv420p "},
        {136, 0, 0, 0, "-c:v libx265 -crf 28 "},
        {132, 0, 0, 0, "-c:v mpeg2video -q:v 2 "},
        {137, 0, 0, 0, "-c:v h264_nvenc "},
        {138, 0, 0, 0, "-c:v hevc_nvenc "},
        {139, 0, 0, 0, "-c:v h264_qsv -pix_fmt nv12 "},
        {140, 0, 0, 0, "-c:v hevc_qsv -pix_fmt nv12 "},
        {144, 0, 0, 0, "-c:v libvpx "},
        {145, 0, 0, 0, "-c:v libvpx-vp9 -strict experimental "},
        {146, 0, 0, 0, "-c:v libaom-av1 -strict experimental "},
        {130, 0, 0, 0, "-c:v h263p -flags +aic -umv 1 -aiv 1 -q:v 2 "},
        // A bitrate: constant bitrate with one frame of tolerance.
        {135, 0, 3000, 30, std::string("-c:v libx264 ") + cbr3000 + "-nal-hrd cbr -r 30 -pix_fmt yuv420p "},
        {133, 0, 1000, 0, "-c:v mpeg4 -qmin 1 -qmax 69 -b:v 1000k -minrate:v 1000k -maxrate:v 1000k -bufsize:v 1000k "},
        {137, 0, 3000, 30, std::string("-c:v h264_nvenc -qmin 1 -qmax 69 ") + cbr3000 + "-cbr 1 -r 30 "},
        {139, -1, 0, 0, "-c:v h264_qsv -pix_fmt nv12 "},
        {136, 100, 3000, 30, std::string("-c:v libx265 -crf 1.0 ") + cbr3000 + "-r 30 "},
        {147, 50, 3000, 30, "-c:v copy "}};
    for (const VideoCase& c : cases)
        expectVideo([this](const ORVA_OUTPUT_TAG& out) { return composeTarget(out); }, c);
}

TEST_F(CommandLineTest, NtscFrameRatesAreWrittenAsExactRates) {
    const VideoCase cases[] = {
        {133, 0, 0, 23.976f, "-c:v mpeg4 -q:v 2 -r ntsc-film "},
        {133, 0, 0, 29.97f, "-c:v mpeg4 -q:v 2 -r ntsc "},
        {133, 0, 0, static_cast<float>(59.94), "-c:v mpeg4 -q:v 2 -r 60000/1001 "},
        {133, 0, 0, 30.0f, "-c:v mpeg4 -q:v 2 -r 30 "},
        {133, 0, 0, 12.5f, "-c:v mpeg4 -q:v 2 -r 12.5 "}};
    for (const VideoCase& c : cases)
        expectVideo([this](const ORVA_OUTPUT_TAG& out) { return composeTarget(out); }, c);
}

TEST_F(CommandLineTest, SizeIsRaisedToEightAndLeftToTheDecoderWhenItScales) {
    ORVA_OUTPUT_TAG out = videoTarget(ORVA_VIDEO_MP4V);
    out.Video.VideoWidth = 5;
    out.Video.VideoHeight = 0x10000 | 720;  // only the low 16 bits count
    EXPECT_EQ(videoLine("-c:v mpeg4 -q:v 2 -s 8x720 "), composeTarget(out).line);
    Composed scaled = compose({fileInput("in.ts", "-c:v h264_cuvid -resize 1280x720")}, {out});
    EXPECT_EQ(std::string::npos, scaled.line.find("-s "));
    out.Video.VideoWidth = 0;
    EXPECT_EQ(videoLine("-c:v mpeg4 -q:v 2 "), composeTarget(out).line);
}

TEST_F(CommandLineTest, FieldHandlingFollowsTheDeinterlaceMode) {
    ORVA_OUTPUT_TAG out = videoTarget(ORVA_VIDEO_MP2V);
    out.Video.VideoDeinterlace = 1;
    EXPECT_EQ(videoLine("-c:v mpeg2video -q:v 2 -filter:v yadif "), composeTarget(out).line);
    Composed decoderDeinterlaces = compose({fileInput("in.ts", "-deint 2 -c:v h264_cuvid")}, {out});
    EXPECT_EQ(std::string::npos, decoderDeinterlaces.line.find("yadif"));
    out.Video.VideoDeinterlace = 2;
    EXPECT_EQ(videoLine("-c:v mpeg2video -q:v 2 -flags +ilme+ildct -top 1 -x264opts tff=1 "),
              composeTarget(out).line);
    out.Video.VideoDeinterlace = 3;
    EXPECT_EQ(videoLine("-c:v mpeg2video -q:v 2 -flags +ilme+ildct -top 0 -x264opts bff=1 "),
              composeTarget(out).line);

    ORVA_OUTPUT_TAG decklink = target(ORVA_FORMAT_DECKLINK, "DeckLink Duo (1)");
    decklink.Video = out.Video;
    decklink.Video.VideoWidth = 1920;
    decklink.Video.VideoHeight = 1080;
    decklink.Video.VideoFrameRate = 29.97f;
    decklink.Video.VideoQuality = 80;  // no encoder, so no quality either
    EXPECT_EQ("-re -i \"in.ts\" -an -pix_fmt uyvy422 -s 1920x1080 -r ntsc -field_order bb "
              "-f decklink \"DeckLink Duo (1)\" ",
              composeTarget(decklink).line);
    decklink.Video.VideoDeinterlace = 2;
    EXPECT_NE(std::string::npos, composeTarget(decklink).line.find("-r ntsc -field_order tt -f"));
}

TEST_F(CommandLineTest, HlsKeyFramesFollowTheSegmentTime) {
    ORVA_OUTPUT_TAG hls = target(ORVA_FORMAT_HLS, "/var/hls/a.m3u8", "-hls_time 4 -hls_list_size 5");
    hls.Video = videoTarget(ORVA_VIDEO_MP4V).Video;
    hls.Video.VideoKeyFrameInterval = 50;
    EXPECT_EQ("-re -i \"in.ts\" -an -c:v mpeg4 -q:v 2 -g 4 -sc_threshold 0 "
              "-hls_time 4 -hls_list_size 5 -f hls -y \"/var/hls/a.m3u8\" ",
              composeTarget(hls).line);
    hls.pszOptions = nullptr;
    EXPECT_NE(std::string::npos, composeTarget(hls).line.find("-g 50 -sc_threshold 0 "));
    hls.Video.VideoKeyFrameInterval = 0;
    EXPECT_NE(std::string::npos, composeTarget(hls).line.find("-g 5 -sc_threshold 0 "));
    hls.pszOptions = "-hls_time 0";
    EXPECT_NE(std::string::npos, composeTarget(hls).line.find("-g 5 -sc_threshold 0 "));
    ORVA_OUTPUT_TAG file = videoTarget(ORVA_VIDEO_MP4V);  // other formats get no default
    EXPECT_EQ(std::string::npos, composeTarget(file).line.find("-g "));
}

TEST_F(CommandLineTest, X264PixelFormatIsAddedOnceAndFollowsTheProfile) {
    ORVA_OUTPUT_TAG first = videoTarget(ORVA_VIDEO_H264);
    ORVA_OUTPUT_TAG second = target(ORVA_FORMAT_FILE, "second.ts");
    second.Video = first.Video;
    Composed two = compose({fileInput()}, {first, second});
    ASSERT_EQ(0, two.rc);
    EXPECT_EQ(two.line.find("-pix_fmt "), two.line.rfind("-pix_fmt "));
    EXPECT_LT(two.line.find("-pix_fmt yuv420p "), two.line.find("out.ts"));

    ORVA_OUTPUT_TAG audioOnly = target(ORVA_FORMAT_FILE, "a.ts");
    audioOnly.Video.VideoCodec = ORVA_VIDEO_H264;
    EXPECT_EQ("-re -i \"in.ts\" -an -vn -pix_fmt yuv420p -y \"a.ts\" ", composeTarget(audioOnly).line);

    struct Case { const char* options; const char* pixelFormat; };
    const Case cases[] = {{"-profile:v high444", "-pix_fmt yuv444p "},
                          {"-profile:v high444p", "-pix_fmt yuv444p "},
                          {"-profile:v high422", "-pix_fmt yuv422p "},
                          {"-profile:v high10", "-pix_fmt yuv420p10 "},
                          {"-profile:v main10", "-pix_fmt yuv420p10 "},
                          {"-profile:v high", ""},
                          {"-profile:v High444", ""},
                          {"-pix_fmt yuv420p10le", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        ORVA_OUTPUT_TAG out = videoTarget(ORVA_VIDEO_H264);
        out.pszOptions = c.options;
        EXPECT_EQ(videoLine(std::string("-c:v libx264 -crf 23 ") + c.options + " " + c.pixelFormat),
                  composeTarget(out).line);
    }
}

TEST_F(CommandLineTest, AudioOptionsDependOnCodecAndFormat) {
    ORVA_OUTPUT_TAG out = target(ORVA_FORMAT_HTTPTS, "http://0.0.0.0:8080/live.ts");
    out.Audio.AudioEnable = 1;
    out.Audio.AudioCodec = ORVA_AUDIO_AAC;
    out.Audio.AudioChannel = 2;
    out.Audio.AudioSampleRate = 48000;
    out.Audio.AudioBitRate = 128;
    out.MuxBitRate = 4000;
    EXPECT_EQ("-re -i \"in.ts\" -c:a aac -ac 2 -ar 48000 -b:a 128k -flags:a +global_header "
              "-vn -muxrate 4000k -f mpegts http://0.0.0.0:8080/live.ts ",
              composeTarget(out).line);
    out.Format = ORVA_FORMAT_RTSP;
    EXPECT_NE(std::string::npos,
              composeTarget(out).line.find("-b:a 128k -flags:a +global_header -rtpflags +latm -vn "));
    out.Audio.AudioCodec = ORVA_AUDIO_COPY;
    EXPECT_NE(std::string::npos, composeTarget(out).line.find("-c:a copy -flags:a"));
    out.Audio.AudioCodec = ORVA_AUDIO_AMRNB;
    EXPECT_NE(std::string::npos, composeTarget(out).line.find("-c:a libamr_nb -ab 12200 -ac 2 "));
    out.Audio.AudioCodec = 14;
    EXPECT_EQ(ORVA_ERR_OUTPUT_AUDIO, composeTarget(out).rc);
    out.Audio.AudioEnable = 0;  // a disabled part's codec is never looked at
    EXPECT_EQ(0, composeTarget(out).rc);
}

TEST_F(CommandLineTest, EveryFormatEndsWithItsMuxerAndAddress) {
    struct Case { int format; const char* address; const char* tail; };
    const Case cases[] = {
        {0, "/srv/out.ts", "-y \"/srv/out.ts\" "},
        {0, "udp://239.1.1.1:1234", "\"udp://239.1.1.1:1234\" "},
        {1, "rtmp://host/live/key", "-f flv \"rtmp://host/live/key\" "},
        {2, "udp://239.1.1.1:1234?pkt_size=1316", "-f mpegts udp://239.1.1.1:1234?pkt_size=1316 "},
        {4, "rtp://239.1.1.1:5000", "-f rtp_mpegts rtp://239.1.1.1:5000 "},
        {2, "RTP://239.1.1.1:5000", "-f rtp_mpegts RTP://239.1.1.1:5000 "},
        {3, "http://0.0.0.0:8080/a.ts", "-f mpegts http://0.0.0.0:8080/a.ts "},
        {10, "rtsp://127.0.0.1:8554/a", "-f mpegts rtsp://127.0.0.1:8554/a "},
        {13, "http://0.0.0.0:8081/a.mjpg", "-f mpegts http://0.0.0.0:8081/a.mjpg "},
        {5, "srt://127.0.0.1:9000", "-f mpegts srt://127.0.0.1:9000 "},
        {6, "/var/hls/a.m3u8", "-f hls -y \"/var/hls/a.m3u8\" "},
        {7, "/var/dash/a.mpd", "-f dash -y \"/var/dash/a.mpd\" "},
        {11, "DeckLink Duo (2)", "-f decklink \"DeckLink Duo (2)\" "},
        {12, "OUT", "-f libndi_newtek \"OUT\" "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        Composed composed = composeTarget(target(c.format, c.address));
        ASSERT_EQ(0, composed.rc);
        std::string tail = c.tail;
        ASSERT_GE(composed.line.size(), tail.size());
        EXPECT_EQ(tail, composed.line.substr(composed.line.size() - tail.size()));
        EXPECT_EQ(std::vector<int>{1}, composed.targets);
    }
    EXPECT_EQ(ORVA_ERR_OUTPUT_FORMAT, composeTarget(target(ORVA_FORMAT_DEVICE, "/dev/video0")).rc);
    EXPECT_EQ(ORVA_ERR_OUTPUT_FORMAT, composeTarget(target(14, "x")).rc);
    EXPECT_EQ(ORVA_ERR_OUTPUT_FORMAT, composeTarget(target(-1, "x")).rc);
    EXPECT_EQ(ORVA_ERR_OUTPUT_AUDIO, composeTarget(target(ORVA_FORMAT_FILE, "")).rc);
    EXPECT_EQ(ORVA_ERR_OUTPUT_AUDIO, composeTarget(target(ORVA_FORMAT_FILE, nullptr)).rc);
    ORVA_OUTPUT_TAG unnamedVideo = videoTarget(148);
    EXPECT_EQ(ORVA_ERR_VIDEO_CODEC, composeTarget(unnamedVideo).rc);
    unnamedVideo.pszAddress = "";  // no destination, so no video to encode; the format fails first
    EXPECT_EQ(ORVA_ERR_OUTPUT_AUDIO, composeTarget(unnamedVideo).rc);
}

TEST_F(CommandLineTest, SrtTargetKeepsAFormatChosenInItsOwnOptions) {
    Composed own = composeTarget(target(ORVA_FORMAT_SRT, "srt://127.0.0.1:9000", "-f mpegts -pkt_size 1316"));
    EXPECT_EQ("-re -i \"in.ts\" -an -vn -f mpegts -pkt_size 1316 srt://127.0.0.1:9000 ", own.line);
    // Formats chosen for inputs or for an earlier target are not this target's.
    Composed second = compose({fileInput("in.ts", "-f mpegts")},
                              {target(ORVA_FORMAT_HLS, "/var/hls/a.m3u8"),
                               target(ORVA_FORMAT_SRT, "srt://127.0.0.1:9000")});
    EXPECT_EQ("-f mpegts -re -i \"in.ts\" -an -vn -f hls -y \"/var/hls/a.m3u8\" "
              "-an -vn -f mpegts srt://127.0.0.1:9000 ",
              second.line);
    ORVA_INPUT_TAG device = fileInput("/dev/video0");
    device.Format = ORVA_FORMAT_DEVICE;
    Composed capture = compose({fileInput("in.ts"), device}, {target(ORVA_FORMAT_SRT, "srt://h:1")});
    EXPECT_NE(std::string::npos, capture.line.find("-vn -f mpegts srt://h:1 "));
}

// The launcher learns which target each output of the line is: an RTP
// target with its audio apart writes two.
TEST_F(CommandLineTest, RtpTargetSendsAudioThenVideoAndDescribesThemInAnSdpFile) {
    ORVA_OUTPUT_TAG rtp = target(ORVA_FORMAT_RTP, "", "-payload_type 96");
    rtp.Audio.AudioEnable = 1;
    rtp.Audio.AudioCodec = ORVA_AUDIO_AAC;
    rtp.Audio.AudioSampleRate = 48000;
    rtp.Audio.AudioTargetIP = Inet_addr("239.0.0.1");
    rtp.Audio.AudioTargetPort = 5002;
    rtp.Audio.AudioSourcePort = 6002;
    rtp.Video.VideoEnable = 1;
    rtp.Video.VideoCodec = ORVA_VIDEO_H264;
    rtp.Video.VideoTargetIP = Inet_addr("239.0.0.1");
    rtp.Video.VideoTargetPort = 5000;
    rtp.Video.VideoGlobalHeader = 1;
    Composed c = compose({fileInput()}, {rtp}, 4);
    ASSERT_EQ(0, c.rc);
    EXPECT_EQ("-re -i \"in.ts\" -c:a aac -ar 48000 -vn -f rtp -flags:a +global_header -rtpflags +latm "
              "rtp://239.0.0.1:5002?localport=6002 "
              "-c:v libx264 -crf 23 -an -f rtp -flags +global_header -payload_type 96 rtp://239.0.0.1:5000 "
              "-pix_fmt yuv420p -sdp_file \"" + dir.path() + "/log/orva_005_out.sdp\" ",
              c.line);
    EXPECT_EQ((std::vector<int>{1, 1}), c.targets);
    c = compose({fileInput()}, {target(ORVA_FORMAT_UDPTS, "udp://239.0.0.2:1234"), rtp,
                                target(ORVA_FORMAT_HLS, "/var/hls/a.m3u8")});
    EXPECT_EQ((std::vector<int>{1, 2, 2, 3}), c.targets);

    rtp.Video.VideoCodec = ORVA_VIDEO_H263;
    rtp.Video.VideoGlobalHeader = 0;
    rtp.Video.VideoSourcePort = 7000;
    rtp.Audio.AudioTargetPort = 0;  // audio without a destination is dropped
    rtp.pszOptions = nullptr;
    c = compose({fileInput()}, {rtp}, 4);
    EXPECT_EQ("-re -i \"in.ts\" -an -c:v h263 -q:v 2 -an -f rtp -flags -global_header "
              "-rtpflags +rfc2190 rtp://239.0.0.1:5000?localport=7000 "
              "-sdp_file \"" + dir.path() + "/log/orva_005_out.sdp\" ",
              c.line);
    EXPECT_EQ(std::vector<int>{1}, c.targets);

    rtp.Audio.AudioEnable = 0;
    rtp.Video.VideoTargetPort = 0;  // no destination and no address: no video either
    c = compose({fileInput()}, {rtp}, 4);
    EXPECT_EQ("-re -i \"in.ts\" -vn -sdp_file \"" + dir.path() + "/log/orva_005_out.sdp\" ", c.line);
    EXPECT_TRUE(c.targets.empty());
}

// A locale whose decimal separator is "," must not reach the transcoder:
// ffmpeg refuses "-crf 35,3" and "-r 12,5".
TEST_F(CommandLineTest, FractionalNumbersKeepTheirPointWhateverTheLocale) {
    TempDir locales;
    std::string compile = "localedef -i de_DE -f UTF-8 " + (locales / "de_DE.UTF-8") + " 2>/dev/null";
    ASSERT_EQ(0, system(compile.c_str())) << "localedef (package locales) is needed";
    ORVA_OUTPUT_TAG out = videoTarget(ORVA_VIDEO_H264);
    out.Video.VideoQuality = 50;
    out.Video.VideoBitRate = 3000;
    out.Video.VideoFrameRate = 12.5f;
    const std::string inC = composeTarget(out).line;

    const std::string before = setlocale(LC_ALL, nullptr);
    setenv("LOCPATH", locales.path().c_str(), 1);
    const char* german = setlocale(LC_ALL, "de_DE.UTF-8");
    char probe[16];
    snprintf(probe, sizeof probe, "%.1f", 1.5);
    Composed inGerman = composeTarget(out);
    setlocale(LC_ALL, before.c_str());
    unsetenv("LOCPATH");

    ASSERT_NE(nullptr, german);
    ASSERT_STREQ("1,5", probe);  // the locale is in force for printf
    ASSERT_EQ(0, inGerman.rc);
    EXPECT_EQ(videoLine("-c:v libx264 -crf 35.3 -b:v 3000k -bt 240001 -minrate:v 3000k "
                        "-maxrate:v 3000k -bufsize:v 3000k -nal-hrd cbr -r 12.5 -pix_fmt yuv420p "),
              inGerman.line);
    EXPECT_EQ(inC, inGerman.line);
}
