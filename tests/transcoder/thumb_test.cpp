// thumb_test.cpp: the live thumbnail output the launcher adds, on lines the
// engine's own builder composes.
#include <sys/stat.h>

#include <algorithm>

#include "engine/cmdline_fixture.h"
#include "orva_launch.h"
#include "orva_rewrite.h"
#include "orva_thumb.h"

namespace {

const std::string kThumb = "/work/thumb/orva_003.jpg";

const std::string kTee =
    "[select=v:f=image2:update=1:atomic_writing=1:onfail=ignore]" + kThumb + "|[select=a:f=null:onfail=ignore]-";

// The thumbnail output taking its pictures from input `k`.
FfTokens thumbOutput(int k) {
    std::string from = std::to_string(k);
    return {"-map", from + ":v:0?", "-map", from + ":a:0?", "-sn", "-dn",
            "-vf", "select='isnan(prev_selected_t)+gte(t-prev_selected_t\\,5)',scale=320:-2", "-fps_mode:v", "vfr",
            "-c:v", "mjpeg", "-q:v", "5", "-threads", "1", "-c:a", "copy", "-f", "tee", kTee};
}

FfMachine anyMachine() {
    FfMachine machine;
    machine.isLocalHost = [](std::string_view) { return false; };
    return machine;
}

ORVA_OUTPUT_TAG encodedTarget(int video, int audio, const char* address = "udp://127.0.0.1:1234",
                              int format = ORVA_FORMAT_UDPTS, const char* options = nullptr) {
    ORVA_OUTPUT_TAG output = target(format, address, options);
    output.Video = videoTarget(video).Video;
    output.Audio.AudioEnable = 1;
    output.Audio.AudioCodec = audio;
    return output;
}

// Which inputs decode key frames only, as "01" for the second of two.
std::string keyFramesOnly(const FfCommand& command) {
    std::string marks;
    for (const FfGroup& input : command.inputs)
        marks += input.value("-skip_frame:v") == "nokey" ? '1' : '0';
    return marks;
}

class ThumbTest : public CommandLineTest {
protected:
    FfPlan plan(const Composed& composed, std::string_view thumb = kThumb) {
        EXPECT_EQ(composed.rc, ORVA_OK) << composed.line;
        return ffPlan(splitCommandLine(composed.line), anyMachine(), thumb);
    }
};

TEST_F(ThumbTest, AnEncodingChannelGetsTheThumbnailAsALastOutputAndKeepsItsOwn) {
    Composed line = compose({fileInput("udp://127.0.0.1:5000")},
                            {encodedTarget(ORVA_VIDEO_H264, ORVA_AUDIO_AAC),
                             encodedTarget(ORVA_VIDEO_MP2V, ORVA_AUDIO_MP2A, "/media/b.ts")});
    FfPlan without = plan(line, "");
    FfPlan with = plan(line);
    EXPECT_FALSE(without.thumbnail);
    ASSERT_TRUE(with.thumbnail);
    // Everything before the thumbnail is the line without it, word for word.
    ASSERT_EQ(with.args.size(), without.args.size() + thumbOutput(0).size());
    EXPECT_TRUE(std::equal(without.args.begin(), without.args.end(), with.args.begin()));
    EXPECT_EQ(FfTokens(with.args.end() - thumbOutput(0).size(), with.args.end()), thumbOutput(0));
    // Every frame is decoded for the encoders anyway: the input stays as it was.
    EXPECT_EQ(keyFramesOnly(ffParse(with.args)), "0");
}

TEST_F(ThumbTest, OnlyKeyFramesAreDecodedWhenNoOutputEncodesVideo) {
    struct Case { const char* what; std::vector<ORVA_OUTPUT_TAG> outputs; std::string keyFramesOnly; };
    ORVA_OUTPUT_TAG soundOnly = encodedTarget(ORVA_VIDEO_H264, ORVA_AUDIO_AAC);
    soundOnly.Video.VideoEnable = 0;
    const Case cases[] = {
        {"video copied", {encodedTarget(ORVA_VIDEO_COPY, ORVA_AUDIO_COPY)}, "10"},
        {"sound only sent", {soundOnly}, "10"},
        {"copied and sound only", {encodedTarget(ORVA_VIDEO_COPY, ORVA_AUDIO_AAC), soundOnly}, "10"},
        {"copied and encoded", {encodedTarget(ORVA_VIDEO_COPY, ORVA_AUDIO_COPY),
                                encodedTarget(ORVA_VIDEO_H264, ORVA_AUDIO_AAC, "/media/b.ts")}, "00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FfPlan p = plan(compose({fileInput("udp://127.0.0.1:5000"), fileInput("/media/logo.mp4")}, c.outputs));
        ASSERT_TRUE(p.thumbnail);
        FfCommand command = ffParse(p.args);
        EXPECT_EQ(keyFramesOnly(command), c.keyFramesOnly);
        EXPECT_EQ(command.outputs.back().url, kTee);
    }
}

TEST_F(ThumbTest, InputsThatCarrySoundOnlyGetNone) {
    struct Case { const char* address; const char* options; bool soundOnly; };
    const Case cases[] = {
        {"hw:0", "-f alsa", true},
        {"default", "-f pulse", true},
        {"/media/radio.MP3", nullptr, true},
        {"http://10.0.0.5/live.aac?token=1", nullptr, true},
        {"sine=f=440:d=5", "-f lavfi", true},
        {"in.ts", "-vn", true},
        {"testsrc2=s=640x360", "-f lavfi", false},
        {"udp://127.0.0.1:5000", nullptr, false},
        {"/media/clip.mp4", nullptr, false},
        {"/media/mp3s/clip.ts", nullptr, false},
    };
    ORVA_OUTPUT_TAG output = encodedTarget(ORVA_VIDEO_H264, ORVA_AUDIO_AAC);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        FfPlan p = plan(compose({fileInput(c.address, c.options)}, {output}));
        EXPECT_EQ(p.thumbnail, !c.soundOnly);
        EXPECT_EQ(std::count(p.args.begin(), p.args.end(), kTee), c.soundOnly ? 0 : 1);
    }
    // The picture comes from the first input that may carry one.
    FfPlan two = plan(compose({fileInput("/media/radio.mp3"), fileInput("/media/logo.mp4")}, {output}));
    ASSERT_TRUE(two.thumbnail);
    EXPECT_EQ(FfTokens(two.args.end() - thumbOutput(1).size(), two.args.end()), thumbOutput(1));
}

TEST_F(ThumbTest, APathTheTeeWouldSplitGetsNone) {
    FfPlan p = plan(compose({fileInput()}, {encodedTarget(ORVA_VIDEO_H264, ORVA_AUDIO_AAC)}), "/work|x/orva_001.jpg");
    EXPECT_FALSE(p.thumbnail);
    EXPECT_EQ(ffParse(p.args).outputs.size(), 1u);
}

TEST_F(ThumbTest, ATimeShiftRecorderShowsTheInputAndItsPlayerAddsNone) {
    ORVA_OUTPUT_TAG recorder =
        encodedTarget(ORVA_VIDEO_H264, ORVA_AUDIO_AAC, "/cache/feed001.ffm", ORVA_FORMAT_FILE, " -wrap_time 60");
    FfPlan recording = plan(compose({fileInput("udp://127.0.0.1:5000")}, {recorder}));
    EXPECT_TRUE(recording.thumbnail);
    EXPECT_EQ(recording.args.back(), kTee);

    FfPlan playing = plan(compose({fileInput("/cache/feed001.ffm", "-wrap_time 60")},
                                  {encodedTarget(ORVA_VIDEO_COPY, ORVA_AUDIO_COPY)}));
    ASSERT_TRUE(playing.waits);
    EXPECT_FALSE(playing.thumbnail);
    EXPECT_EQ(ffParse(playing.args).outputs.size(), 1u);
}

TEST(ThumbFolder, IsCreatedOnceAndRefusedUnderAFile) {
    TempDir dir;
    std::string path = dir / "thumb/orva_001.jpg";
    EXPECT_TRUE(ffMakeThumbFolder(path));
    struct stat st;
    EXPECT_TRUE(stat((dir / "thumb").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_TRUE(ffMakeThumbFolder(path)) << "an existing folder is fine";
    writeFile(dir / "file", "x");
    EXPECT_FALSE(ffMakeThumbFolder(dir / "file/thumb/orva_001.jpg"));
}

}  // namespace
