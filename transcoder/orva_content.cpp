// orva_content.cpp: black, frozen and silent, judged on what goes out.
#include "orva_content.h"

#include <unistd.h>

#include <cstdlib>

namespace {

constexpr const char* kKindNames[ContentWatch::kKinds] = {"black", "frozen", "silent"};
// Every eighth point of every eighth line: 14,400 points of a 720p picture.
constexpr int kGrid = 8;
// Black is within 10 % of the luma range above its floor of 16.
constexpr uint8_t kBlackLuma = 38;
// Black when 98 % of the points are; a small logo does not make it a picture.
constexpr double kBlackShare = 0.98;
// A picture coded again differs from the last by some noise; a mean step
// of one luma level is still the same picture.
constexpr double kSameMeanStep = 1.0;
// -60 dBFS of 16-bit sound.
constexpr int kSilentPeak = 33;
// A note is one line; the pipe takes a write this short whole.
constexpr size_t kLongestNote = 1000;

}  // namespace

std::string alarmLine(bool raise, std::string_view kind) {
    return std::string("orval-alarm: ") + (raise ? "raise " : "clear ") + std::string(kind) + "\n";
}

void writeLine(const std::string& line) {
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

std::string inputLine(std::string_view text) {
    if (text.size() > kLongestNote)
        text = text.substr(0, kLongestNote);
    std::string line = "orval-input: ";
    for (char c : text)
        line += c == '\n' || c == '\r' ? ' ' : c;
    return line + "\n";
}

LumaSample sampleLuma(const uint8_t* luma, int width, int height) {
    LumaSample sample;
    sample.values.reserve(static_cast<size_t>((width / kGrid + 1) * (height / kGrid + 1)));
    for (int y = kGrid / 2; y < height; y += kGrid)
        for (int x = kGrid / 2; x < width; x += kGrid)
            sample.values.push_back(luma[static_cast<size_t>(y) * width + x]);
    return sample;
}

bool isBlack(const LumaSample& sample) {
    size_t dark = 0;
    for (uint8_t v : sample.values)
        dark += v <= kBlackLuma;
    return !sample.values.empty() && dark >= kBlackShare * sample.values.size();
}

bool isSamePicture(const LumaSample& a, const LumaSample& b) {
    if (a.values.size() != b.values.size() || a.values.empty())
        return false;
    long long steps = 0;
    for (size_t i = 0; i < a.values.size(); i++)
        steps += std::abs(a.values[i] - b.values[i]);
    return steps < kSameMeanStep * a.values.size();
}

bool isSilent(const int16_t* samples, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (samples[i] > kSilentPeak || samples[i] < -kSilentPeak)
            return false;
    return true;
}

ContentWatch::ContentWatch(int blackSeconds, int frozenSeconds, int silentSeconds)
    : threshold_{blackSeconds, frozenSeconds, silentSeconds}, since_{} {}

std::vector<std::string> ContentWatch::observe(double now, bool judged, const bool (&condition)[kKinds]) {
    std::vector<std::string> lines;
    for (int k = 0; k < kKinds; k++) {
        bool holds = judged && threshold_[k] > 0 && condition[k];
        if (!holds) {
            holding_[k] = false;
            if (raised_[k])
                lines.push_back(alarmLine(false, kKindNames[k]));
            raised_[k] = false;
            continue;
        }
        if (!holding_[k]) {
            holding_[k] = true;
            since_[k] = now;
        }
        if (!raised_[k] && now - since_[k] >= threshold_[k]) {
            raised_[k] = true;
            lines.push_back(alarmLine(true, kKindNames[k]));
        }
    }
    return lines;
}
