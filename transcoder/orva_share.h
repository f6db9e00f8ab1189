// orva_share.h: shared encoders. Targets whose encoding is the same get one
// encoder between them; each target keeps a muxer of its own, fed with the
// encoded packets, so that it opens, fails and comes back alone.
//
// DESIGN (see DESIGN.md): every option of a target's output is either part
// of its encoding (codec, size, rate, rates, quality, filters, key frames,
// stream choice) or of its muxing (format, address, muxer and protocol
// options). The encoding options, key frames aside, form the group's key;
// the key frames of a group are one schedule that serves every member. The
// encoder writes each group once, as NUT, to a pipe of its own; the launcher
// hands the packets to one muxer ffmpeg per target, which copies them into
// the target with the target's own muxing options.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "orva_ffargs.h"

// The first descriptor of the encoder's group pipes: 3 is the stage's stream.
constexpr int kFirstGroupFd = 4;
// A target that failed is tried again after this long.
constexpr int kTargetRetrySeconds = 5;
// The variable that numbers the line's outputs by target.
constexpr const char* kTargetsVariable = "ORVAL_TARGETS";

enum class FfOptionRole { Encoding, Muxing, Both };

// Where an output option belongs. `isMuxerOption` answers for options the
// launcher's own tables do not know (the libraries' option tables); without
// it, or when it says no, an unknown option counts as encoding, so targets
// that differ in it never share.
using FfMuxerOptionTest = std::function<bool(std::string_view name, const FfGroup& output)>;
FfOptionRole ffOptionRole(std::string_view option, const FfGroup& output, const FfMuxerOptionTest& isMuxerOption);

struct FfShareTarget {
    int number = 0;        // the target number (1-5) the alarms name
    size_t group = 0;      // index into FfSharePlan::groups
    FfTokens muxerArgs;    // the muxer's arguments without the program; reads NUT on standard input
    std::string address;   // for notes
};

struct FfShareGroup {
    FfTokens encoding;             // the encoder's options for this group's output
    std::vector<size_t> targets;   // indexes into FfSharePlan::targets
    bool video = true;             // the group's stream holds pictures (a run starts on a key frame)
};

struct FfSharePlan {
    std::vector<FfShareGroup> groups;
    std::vector<FfShareTarget> targets;
    bool active() const { return !targets.empty(); }
};

// The target number of each of `outputs` outputs from ORVAL_TARGETS's text
// ("1,1,3"); 1, 2, 3... when the text is absent, unreadable or does not
// name exactly that many.
std::vector<int> ffTargetNumbers(const char* text, size_t outputs);

// Replaces the outputs that can go through a muxer of their own with one NUT
// output per group (to descriptor kFirstGroupFd + group index) and returns
// the plan; outputs that cannot (a time-shift recorder's feed, RTP outputs
// that share one SDP file, devices, standard output) stay as they are.
// `recorder` marks the outputs that feed a time-shift recorder. With
// `yuv420pInput` the encoder's pictures are known to be yuv420p already.
FfSharePlan ruleShareEncoders(FfCommand& command, const std::vector<int>& numbers,
                              const std::vector<bool>& recorder, bool yuv420pInput,
                              const FfMuxerOptionTest& isMuxerOption);

// "orval-alarm: raise target_down K REASON": the reason on one line, cut to
// 300 bytes at a character boundary.
std::string targetDownLine(bool raise, int number, const std::string& reason);
// The reason a muxer's messages give for its end, from the last telling one.
std::string muxerReason(const std::vector<std::string>& messages, const std::string& address, int status);
