// content_test.cpp: the content alarms' judgements and timing, and the slate.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "orva_content.h"
#include "orva_slate.h"

namespace {

using Lines = std::vector<std::string>;

std::vector<uint8_t> flatPicture(int width, int height, uint8_t luma) {
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3 / 2, 128);
    std::fill(picture.begin(), picture.begin() + static_cast<long>(width) * height, luma);
    return picture;
}

TEST(ContentJudgement, TellsBlackStillAndSilentFromTheirNeighbours) {
    const int w = 320, h = 240;
    std::vector<uint8_t> black = flatPicture(w, h, 16), grey = flatPicture(w, h, 120);
    EXPECT_TRUE(isBlack(sampleLuma(black.data(), w, h)));
    EXPECT_FALSE(isBlack(sampleLuma(grey.data(), w, h)));
    // A logo on black leaves it black; a lower third does not.
    std::vector<uint8_t> logo = black;
    std::fill(logo.begin(), logo.begin() + w * 2, 235);
    EXPECT_TRUE(isBlack(sampleLuma(logo.data(), w, h)));
    std::vector<uint8_t> third = black;
    std::fill(third.begin() + w * (h - 60), third.begin() + w * h, 235);
    EXPECT_FALSE(isBlack(sampleLuma(third.data(), w, h)));

    LumaSample before = sampleLuma(grey.data(), w, h);
    std::vector<uint8_t> noisy = grey;
    for (size_t i = 0; i < noisy.size() / 2; i += 7)
        noisy[i] += 1;
    EXPECT_TRUE(isSamePicture(before, sampleLuma(noisy.data(), w, h)));
    std::vector<uint8_t> moved = grey;
    std::fill(moved.begin(), moved.begin() + w * h / 4, 200);
    EXPECT_FALSE(isSamePicture(before, sampleLuma(moved.data(), w, h)));
    EXPECT_FALSE(isSamePicture(before, LumaSample{}));

    std::vector<int16_t> sound(1920, 0);
    sound[5] = -33;
    EXPECT_TRUE(isSilent(sound.data(), sound.size()));
    sound[900] = 34;
    EXPECT_FALSE(isSilent(sound.data(), sound.size()));
}

Lines observe(ContentWatch& watch, double now, bool judged, bool black, bool frozen, bool silent) {
    const bool condition[ContentWatch::kKinds] = {black, frozen, silent};
    return watch.observe(now, judged, condition);
}

TEST(ContentWatch, RaisesAfterTheThresholdClearsAtOnceAndNotWhileTheSlateShows) {
    ContentWatch watch(2, 3, 0);
    EXPECT_EQ(observe(watch, 10.0, true, true, true, true), Lines{});
    EXPECT_EQ(observe(watch, 11.96, true, true, true, true), Lines{});
    EXPECT_EQ(observe(watch, 12.0, true, true, true, true), Lines{"orval-alarm: raise black\n"});
    EXPECT_EQ(observe(watch, 12.5, true, true, true, true), Lines{});
    EXPECT_EQ(observe(watch, 13.0, true, true, true, true), Lines{"orval-alarm: raise frozen\n"});
    EXPECT_EQ(observe(watch, 13.04, true, false, true, true), Lines{"orval-alarm: clear black\n"});
    EXPECT_TRUE(watch.raised(ContentWatch::kFrozen));
    EXPECT_FALSE(watch.raised(ContentWatch::kSilent)) << "a threshold of 0 turns the alarm off";
    // The slate clears what was raised, and the time starts again after it.
    EXPECT_EQ(observe(watch, 13.08, false, true, true, true), Lines{"orval-alarm: clear frozen\n"});
    EXPECT_EQ(observe(watch, 20.0, true, true, true, true), Lines{});
    EXPECT_EQ(observe(watch, 21.9, true, true, true, true), Lines{});
    EXPECT_EQ(observe(watch, 22.0, true, true, true, true), Lines{"orval-alarm: raise black\n"});
}

TEST(ContentLines, AreWholeLinesWithTheirPrefix) {
    EXPECT_EQ(alarmLine(true, "source_lost"), "orval-alarm: raise source_lost\n");
    EXPECT_EQ(alarmLine(false, "on_backup"), "orval-alarm: clear on_backup\n");
    EXPECT_EQ(inputLine("a\rb\nc"), "orval-input: a b c\n");
    std::string longLine = inputLine(std::string(5000, 'x'));
    EXPECT_LT(longLine.size(), 1100u);
    EXPECT_EQ(std::count(longLine.begin(), longLine.end(), '\n'), 1);
}

TEST(Slate, FillsAnyCanvasWithItsColoursAndShowsItsText) {
    struct Size { int w, h; };
    for (Size s : {Size{2, 2}, Size{16, 8}, Size{320, 240}, Size{1280, 720}, Size{1920, 1080}, Size{7680, 64}}) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        size_t luma = static_cast<size_t>(s.w) * s.h;
        // A guard on each side catches any write past the picture.
        std::vector<uint8_t> buffer(luma * 3 / 2 + 64, 0xAB);
        uint8_t* picture = buffer.data() + 32;
        Lines lines = slateLines(7, "Main news \xc3\xa9t\xc3\xa9 with a memo far too long for a small card", 3725);
        drawSlate(picture, s.w, s.h, lines);
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 32, [](uint8_t b) { return b == 0xAB; }));
        EXPECT_TRUE(std::all_of(buffer.end() - 32, buffer.end(), [](uint8_t b) { return b == 0xAB; }));
        EXPECT_TRUE(std::all_of(picture + luma, picture + luma + luma / 4, [](uint8_t b) { return b == kSlateU; }));
        size_t text = static_cast<size_t>(std::count(picture, picture + luma, kSlateTextY));
        EXPECT_EQ(text + static_cast<size_t>(std::count(picture, picture + luma, kSlateY)), luma);
        if (s.h >= 240) {
            EXPECT_GT(text, luma / 200) << "the text shows";
        }
    }
    EXPECT_EQ(slateLines(7, "Main news \xc3\xa9t\xc3\xa9", 3725),
              (Lines{"Channel 7", "Main news ?t?", "Source lost", "1:02:05 ago"}));
    EXPECT_EQ(slateLines(12, "", 5), (Lines{"Channel 12", "Source lost", "0:00:05 ago"}));
}

}  // namespace
