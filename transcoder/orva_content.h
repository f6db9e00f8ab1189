// orva_content.h: the content alarms of a watched channel, judged on what
// goes out: a black picture, a frozen picture and silence, each raised once
// it has lasted its threshold and cleared as soon as it ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The lines the engine reads from the slot's pipe, whole and one write each.
std::string alarmLine(bool raise, std::string_view kind);
// Writes one alarm line (or any note) in one write(2) to standard error.
void writeLine(const std::string& line);
// A note of the input stage: "orval-input: " and the text, cut to one line.
std::string inputLine(std::string_view text);

// A small grid of a picture's luma, enough to tell black and still pictures.
struct LumaSample {
    std::vector<uint8_t> values;
};
LumaSample sampleLuma(const uint8_t* luma, int width, int height);
// Nearly every sampled point at black level.
bool isBlack(const LumaSample& sample);
// The two pictures differ by less than noise on average.
bool isSamePicture(const LumaSample& a, const LumaSample& b);
// No sample louder than -60 dBFS.
bool isSilent(const int16_t* samples, size_t count);

class ContentWatch {
public:
    enum Kind { kBlack, kFrozen, kSilent, kKinds };
    // Thresholds in seconds; 0 turns that alarm off.
    ContentWatch(int blackSeconds, int frozenSeconds, int silentSeconds);

    // One judgement of what went out at `now` (seconds on any steady clock).
    // While not `judged` (the slate shows), every raised alarm is cleared.
    // Returns the alarm lines to write, in order.
    std::vector<std::string> observe(double now, bool judged, const bool (&condition)[kKinds]);
    bool raised(Kind kind) const { return raised_[kind]; }

private:
    int threshold_[kKinds];
    double since_[kKinds];
    bool holding_[kKinds] = {};
    bool raised_[kKinds] = {};
};
