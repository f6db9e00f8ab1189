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

const FfTokens kThumbOutput = {
    "-an", "-sn", "-dn", "-vf", "fps=1/5,scale=320:-2", "-threads", "1", "-q:v", "5", "-f", "image2",
    "-update", "1", "-atomic_writing", "1", "-y", kThumb};

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

bool hasKeyFrameDecoding(const FfCommand& command) {
    return std::all_of(command.inputs.begin(), command.inputs.end(),
                       [](const FfGroup& input) { return input.value("-skip_frame:v") == "nokey"; });
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
    ASSERT_EQ(with.args.size(), without.args.size() + kThumbOutput.size());
    EXPECT_TRUE(std::equal(without.args.begin(), without.args.end(), with.args.begin()));
    EXPECT_EQ(FfTokens(with.args.end() - kThumbOutput.size(), with.args.end()), kThumbOutput);
    // Every frame is decoded for the encoders anyway: the input stays as it was.
    EXPECT_FALSE(hasKeyFrameDecoding(ffParse(with.args)));
}

TEST_F(ThumbTest, OnlyKeyFramesAreDecodedWhenNoOutputEncodesVideo) {
    struct Case { const char* what; std::vector<ORVA_OUTPUT_TAG> outputs; bool keyFramesOnly; };
    ORVA_OUTPUT_TAG soundOnly = encodedTarget(ORVA_VIDEO_H264, ORVA_AUDIO_AAC);
    soundOnly.Video.VideoEnable = 0;
    const Case cases[] = {
        {"video copied", {encodedTarget(ORVA_VIDEO_COPY, ORVA_AUDIO_COPY)}, true},
        {"sound only sent", {soundOnly}, true},
        {"copied and sound only", {encodedTarget(ORVA_VIDEO_COPY, ORVA_AUDIO_AAC), soundOnly}, true},
        {"copied and encoded", {encodedTarget(ORVA_VIDEO_COPY, ORVA_AUDIO_COPY),
                                encodedTarget(ORVA_VIDEO_H264, ORVA_AUDIO_AAC, "/media/b.ts")}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FfPlan p = plan(compose({fileInput("udp://127.0.0.1:5000"), fileInput("/media/logo.mp4")}, c.outputs));
        ASSERT_TRUE(p.thumbnail);
        FfCommand command = ffParse(p.args);
        EXPECT_EQ(hasKeyFrameDecoding(command), c.keyFramesOnly);
        EXPECT_EQ(command.outputs.back().url, kThumb);
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
        EXPECT_EQ(std::count(p.args.begin(), p.args.end(), kThumb), c.soundOnly ? 0 : 1);
    }
    // One input with pictures is enough.
    EXPECT_TRUE(plan(compose({fileInput("/media/radio.mp3"), fileInput("/media/logo.mp4")}, {output})).thumbnail);
}

TEST_F(ThumbTest, ATimeShiftRecorderShowsTheInputAndItsPlayerAddsNone) {
    ORVA_OUTPUT_TAG recorder =
        encodedTarget(ORVA_VIDEO_H264, ORVA_AUDIO_AAC, "/cache/feed001.ffm", ORVA_FORMAT_FILE, " -wrap_time 60");
    FfPlan recording = plan(compose({fileInput("udp://127.0.0.1:5000")}, {recorder}));
    EXPECT_TRUE(recording.thumbnail);
    EXPECT_EQ(recording.args.back(), kThumb);

    FfPlan playing = plan(compose({fileInput("/cache/feed001.ffm", "-wrap_time 60")},
                                  {encodedTarget(ORVA_VIDEO_COPY, ORVA_AUDIO_COPY)}));
    ASSERT_TRUE(playing.waits);
    EXPECT_FALSE(playing.thumbnail);
    EXPECT_EQ(std::count(playing.args.begin(), playing.args.end(), kThumb), 0);
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
