// Start calls end to end: the line a real child reads, refused starts and
// the processors a child runs on.
#include <sched.h>

#include <chrono>
#include <string>

#include "engine/cmdline_fixture.h"
#include "engine/engine_fixture.h"

using namespace std::chrono_literals;

TEST_F(EngineTest, ChildReadsTheTokenTheWholeLineAndALineEnd) {
    ASSERT_EQ(0, initEngine("exit 0"));
    ORVA_INPUT_TAG in = fileInput("rtmp://origin.example/live/cam1");
    ORVA_OUTPUT_TAG hls = target(ORVA_FORMAT_HLS, "/var/orval/hls/cam1.m3u8",
                                 "-hls_time 4 -hls_list_size 5");
    hls.Audio = {};
    hls.Audio.AudioEnable = 1;
    hls.Audio.AudioCodec = ORVA_AUDIO_AAC;
    hls.Audio.AudioChannel = 2;
    hls.Audio.AudioSampleRate = 44100;
    hls.Audio.AudioBitRate = 128;
    hls.Video.VideoEnable = 1;
    hls.Video.VideoCodec = ORVA_VIDEO_H264;
    hls.Video.VideoWidth = 1280;
    hls.Video.VideoHeight = 720;
    hls.Video.VideoFrameRate = 25;
    hls.Video.VideoBitRate = 2000;
    ASSERT_EQ(0, orvaTranscodeA(3, &in, &hls));
    ASSERT_TRUE(pollUntil([] { return orvaGetState(3) == ORVA_STATE_IDLE; }, 5s));
    const std::string line =
        "-v 32 -i \"rtmp://origin.example/live/cam1\" -c:a aac -ac 2 -ar 44100 -b:a 128k "
        "-c:v libx264 -b:v 2000k -bt 80001 -minrate:v 2000k -maxrate:v 2000k -bufsize:v 2000k "
        "-nal-hrd cbr -s 1280x720 -r 25 -g 4 -sc_threshold 0 -hls_time 4 -hls_list_size 5 "
        "-pix_fmt yuv420p -f hls -y \"/var/orval/hls/cam1.m3u8\" ";
    EXPECT_EQ("qzWek_3184 " + line + "\n", readFile(dir / "line.txt"));
    EXPECT_NE(std::string::npos, logOf(3).find("] " + line + "\n"));
}

TEST_F(EngineTest, RefusedStartLeavesTheSlotIdleAndSaysWhy) {
    ASSERT_EQ(0, initEngine("exit 0"));
    ORVA_INPUT_TAG rtpWithoutVideoPort = fileInput(nullptr);
    rtpWithoutVideoPort.Format = ORVA_FORMAT_RTP;
    ORVA_OUTPUT_TAG badAudio = target(ORVA_FORMAT_FILE, "out.ts");
    badAudio.Audio.AudioEnable = 1;
    badAudio.Audio.AudioCodec = 20;
    ORVA_OUTPUT_TAG badVideo = videoTarget(200);
    ORVA_OUTPUT_TAG device = target(ORVA_FORMAT_DEVICE, "/dev/video0");
    std::string huge(kOrvaLineSize, 'o');
    ORVA_OUTPUT_TAG tooLong = target(ORVA_FORMAT_FILE, "out.ts", huge.c_str());
    struct Case { ORVA_INPUT_TAG in; ORVA_OUTPUT_TAG out; int rc; std::string meaning; };
    const Case cases[] = {{rtpWithoutVideoPort, target(ORVA_FORMAT_FILE, "out.ts"), ORVA_ERR_INPUT_PORT,
                           "the input port is invalid"},
                          {fileInput(""), target(ORVA_FORMAT_FILE, "out.ts"), ORVA_ERR_INPUT_ADDRESS,
                           "the input address is invalid"},
                          {fileInput(), badAudio, ORVA_ERR_OUTPUT_AUDIO, "the output audio is invalid"},
                          {fileInput(), badVideo, ORVA_ERR_VIDEO_CODEC, "the video codec is unknown"},
                          {fileInput(), device, ORVA_ERR_OUTPUT_FORMAT, "the output format is unknown"},
                          {fileInput(), tooLong, ORVA_ERR_LINE_TOO_LONG, "the command line does not fit"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rc);
        EXPECT_EQ(c.rc, orvaTranscodeA(7, &c.in, &c.out));
        EXPECT_EQ(ORVA_STATE_IDLE, orvaGetState(7));
        EXPECT_EQ(0, g_procChannels[7].pid);
        EXPECT_NE(std::string::npos,
                  logOf(7).find("] start transcoding error (" + std::to_string(c.rc) + ": " +
                                c.meaning + ")\n"));
    }
    EXPECT_EQ(std::string::npos, logOf(7).find(huge.substr(0, 100)));  // nothing cut was logged
    EXPECT_FALSE(fileExists(dir / "line.txt"));
    // The slot is still free for a good request.
    ORVA_INPUT_TAG in = fileInput();
    ORVA_OUTPUT_TAG out = target(ORVA_FORMAT_FILE, "out.ts");
    EXPECT_EQ(0, orvaTranscodeA(7, &in, &out));
}

// A channel and its recorder share processors: the set starts at
// (processors per channel × slot) modulo the processor count.
TEST_F(EngineTest, ChannelAndItsRecorderRunOnTheSameProcessors) {
    ASSERT_EQ(0, initEngine("exec sleep 30", 32, 2));
    int cpus = g_cfg.cpuCount;
    ASSERT_GE(cpus, 1);
    for (int slot : {5, 69}) {
        SCOPED_TRACE(slot);
        ASSERT_EQ(0, startSlot(slot));
        cpu_set_t set;
        ASSERT_EQ(0, sched_getaffinity(g_procChannels[slot].pid, sizeof set, &set));
        int first = 2 * slot % cpus;  // 2 on eight processors
        EXPECT_TRUE(CPU_ISSET(first, &set));
        EXPECT_EQ(first + 1 < cpus, CPU_ISSET(first + 1, &set) != 0);
        EXPECT_EQ(first + 1 < cpus ? 2 : 1, CPU_COUNT(&set));
    }
}
