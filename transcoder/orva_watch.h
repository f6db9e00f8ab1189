// orva_watch.h: which lines the launcher keeps on air, the canvas their
// pictures and sound are conformed to, and the command lines of the
// pipeline's processes (the decoders of source and backup, the encoder).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "orva_ffargs.h"

// The fixed shape of everything a watched channel sends; 0 means not known yet.
struct FfCanvas {
    int width = 0;
    int height = 0;
    int rateNum = 0;  // frames per second as rateNum / rateDen
    int rateDen = 0;
    int sampleRate = 0;
    int channels = 0;

    bool hasSize() const { return width > 0 && height > 0; }
    bool hasRate() const { return rateNum > 0 && rateDen > 0; }
    bool complete() const { return hasSize() && hasRate() && sampleRate > 0 && channels > 0; }
    // Takes from `other` what this canvas does not know yet.
    void fillFrom(const FfCanvas& other);
    // 1280x720, 25 fps, 48 kHz stereo where still unknown.
    void fillDefaults();
    // Samples of sound that belong to picture `frame` (0, 1, ...), so that
    // the sound never drifts from the pictures at rates like 30000/1001.
    int samplesOfFrame(long long frame) const;
};

// An option of ffmpeg that sets up the whole run, not one input ("-v 32").
bool ffIsGlobalOption(std::string_view option);
// A network address, an SDP file or a V4L2 device: something that can stop delivering.
bool ffIsLiveInput(const FfGroup& input);
// No output copies a stream: every output passes through an encoder.
bool ffReencodesAll(const FfCommand& command);
// The launcher runs the line through its continuity stage: one live input
// whose every output re-encodes.
bool ffIsWatched(const FfCommand& command);

// What the first output fixes of the canvas: "-s", "-r", "-ar", "-ac".
FfCanvas ffTargetCanvas(const FfGroup& output);
// "25", "30000/1001", "29.97", "ntsc": false for anything else.
bool ffParseRate(std::string_view text, int& num, int& den);

// How a decoder reads its input.
enum class FfReadMode { Live, Looped, Once };

// The decoder's arguments (without the program): `input`'s own options and
// address, decoded and conformed to what `canvas` knows (pictures square
// pixels, even sizes, yuv420p; sound signed 16-bit) as raw NUT on standard
// output, with messages at warning level only.
FfTokens ffDecoderArgs(const FfGroup& input, const FfCanvas& canvas, FfReadMode mode);
// The backup as an input group: a file, a folder's file, or an address.
FfGroup ffBackupInput(const std::string& address);

// The file descriptor the encoder reads the stage's stream from.
constexpr int kEncoderInputFd = 3;
// The encoder's arguments: the planned line with its one input replaced by
// the stage's stream, the input's own options gone and the line's global
// options kept in front.
FfTokens ffEncoderArgs(const FfCommand& command);

// What the service tells a watched channel through the environment.
struct StageSettings {
    int channel = 0;          // 1-64, 0 when not told
    std::string memo;         // for the slate
    std::string backup;       // file, folder or address; "" for none
    int sourceTimeoutMs = 1000;
    int blackSeconds = 10;    // 0 turns an alarm off
    int frozenSeconds = 10;
    int silentSeconds = 10;
};
// Reads the settings through `lookup` (getenv, say); values out of range
// are held to it, absent or unreadable ones take the defaults.
StageSettings ffStageSettings(const char* (*lookup)(const char*));

// Splits what a child wrote into lines ended by "\n" or "\r" and calls
// `line` with each that is not empty; the unfinished one waits in `partial`,
// whose bytes past `limit` are dropped, so a child that never ends a line
// cannot grow it without end.
template <typename OnLine>
void ffSplitLines(std::string& partial, const char* data, size_t size, size_t limit, OnLine&& line) {
    for (size_t i = 0; i < size; i++) {
        char c = data[i];
        if (c != '\n' && c != '\r') {
            if (partial.size() < limit)
                partial += c;
            continue;
        }
        if (!partial.empty())
            line(partial);
        partial.clear();
    }
}
