// orva_rewrite.h: the rules that turn the service's command line into one
// this machine's ffmpeg accepts. Each rule works on one kind of group and
// leaves everything it does not know alone.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "orva_ffargs.h"
#include "orva_share.h"
#include "orva_timeshift.h"
#include "orva_watch.h"

// What the launcher knows of the machine it runs on.
struct FfMachine {
    bool hasNvidia = false;        // /dev/nvidia0: NVENC and CUVID can work
    bool hasRenderNode = false;    // /dev/dri/renderD128: Quick Sync can work
    // True when `host` names this machine (a wildcard, loopback or one of its addresses).
    std::function<bool(std::string_view host)> isLocalHost;
    // ORVAL_TARGETS as the service passed it, "" when absent.
    std::string targets;
    // Knows the options of muxers and protocols beyond the launcher's tables.
    FfMuxerOptionTest isMuxerOption;
    // True when every picture the input gives is yuv420p already (a local
    // file, looked into); unset or false when that is not known.
    std::function<bool(const FfGroup& input)> inputIsYuv420p;
};

FfMachine ffThisMachine();

// The reason the line cannot run here, or "" when it can.
std::string ffUnsupported(const FfCommand& command, const FfMachine& machine);

void ruleLoopInput(FfCommand& command);
void ruleSdpWhitelist(FfCommand& command);
void ruleHlsInputScheme(FfCommand& command);
void ruleHlsDeleteSegments(FfCommand& command);
void ruleHlsKeyFrames(FfCommand& command);
void ruleFdkAac(FfCommand& command);
void ruleRtspPublish(FfCommand& command);
void ruleHttpServe(FfCommand& command, const FfMachine& machine);

// What the launcher does with one command line.
struct FfPlan {
    std::string refusal;      // why the line cannot run here; nothing else is set then
    FfTokens args;            // ffmpeg's arguments, "-nostdin" first
    bool waits = false;       // a time-shift player waits for its feed first
    TimeShiftPlayer player;
    bool thumbnail = false;   // a thumbnail output was added
    // A watched line runs through the continuity stage: its input is read by
    // a decoder, and the encoder reads the stage's stream instead.
    bool watched = false;
    FfGroup source;           // the input as the line's rules left it
    FfCanvas canvas;          // what the first output fixes of the canvas
    FfTokens encoderArgs;     // the encoder's arguments, "-nostdin" first
    // Shared encoders: when `share` has targets, the line runs as an encoder
    // on `sharedArgs` (the stage's encoder for a watched line) and one muxer
    // per target; `args` and `encoderArgs` stay the line as one ffmpeg.
    FfSharePlan share;
    FfTokens sharedArgs;
};

// Checks the line, then applies every rule above in order. `thumbPath` is the
// file of the channel's live thumbnail, "" for none. A time-shift player
// writes none: its recorder takes the channel's input and shows it.
FfPlan ffPlan(const FfTokens& args, const FfMachine& machine, std::string_view thumbPath = "");
// Starts the player that many segments behind live.
void ffSetStartSegments(FfPlan& plan, int segments);

bool ffStartsWithNoCase(std::string_view text, std::string_view prefix);
bool ffEndsWithNoCase(std::string_view text, std::string_view suffix);
// The host of "scheme://[user@]host[:port][/path]", or "".
std::string ffUrlHost(std::string_view url);
// The video encoder an output group asks for, "" without one, "none" with "-vn".
std::string ffVideoEncoder(const FfGroup& output);
std::string ffAudioEncoder(const FfGroup& output);
