// orva_rewrite.cpp: the rules for Debian's ffmpeg 5.1, which dropped or
// changed some options of the 4.1 syntax the service writes.
#include "orva_rewrite.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "orva_thumb.h"

namespace {

const std::vector<std::string_view> kAudioCodecOptions = {"-c:a", "-acodec", "-codec:a"};
const std::vector<std::string_view> kVideoCodecOptions = {"-c:v", "-vcodec", "-codec:v"};

std::string encoderOf(const FfGroup& output, const std::vector<std::string_view>& names,
                      std::string_view disabled) {
    if (output.has(disabled))
        return "none";
    for (std::string_view name : names)
        if (auto value = output.value(name))
            return *value;
    return "";
}

bool isHlsOutput(const FfGroup& output) { return output.value("-f") == "hls"; }

// Adds one flag to an output's "-hls_flags", once.
void addHlsFlag(FfGroup& output, std::string_view flag) {
    auto flags = output.value("-hls_flags");
    if (!flags) {
        output.add("-hls_flags", flag);
        return;
    }
    if (flags->find(flag) != std::string::npos)
        return;
    output.set("-hls_flags", *flags + "+" + std::string(flag));
}

bool isHttpUrl(std::string_view url) { return ffStartsWithNoCase(url, "http://"); }

// The segment length the engine wrote as "-g" for an HLS target: the whole
// seconds of "-hls_time", 5 when it has none or they come to 0.
constexpr std::string_view kDefaultSegmentSeconds = "5";

std::string engineSegmentSeconds(const FfGroup& output) {
    auto time = output.value("-hls_time");
    long seconds = time ? std::strtol(time->c_str(), nullptr, 10) : 0;
    return seconds > 0 ? std::to_string(seconds) : std::string(kDefaultSegmentSeconds);
}

// A plain number of seconds ("4", "1.5"), which the key frame expression can
// take as it is; anything else ("00:00:04") is left to the engine's reading.
bool isPlainSeconds(std::string_view text) {
    if (text.empty() || text.size() > 16 || text.front() == '.')
        return false;
    int dots = 0;
    for (char c : text) {
        if (c == '.')
            dots++;
        else if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return dots <= 1 && std::strtod(std::string(text).c_str(), nullptr) > 0;
}

// Where the engine's "-g N -sc_threshold 0" stands in an output, or -1.
int engineKeyFramePair(const FfGroup& output) {
    int at = output.find("-g");
    if (at < 0 || static_cast<size_t>(at) + 3 >= output.options.size())
        return -1;
    const FfTokens& o = output.options;
    bool pair = o[at + 1] == engineSegmentSeconds(output) && o[at + 2] == "-sc_threshold" && o[at + 3] == "0";
    return pair ? at : -1;
}

}  // namespace

bool ffStartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

bool ffEndsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && ffStartsWithNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::string ffUrlHost(std::string_view url) {
    size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return "";
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?"));
    if (size_t at = rest.rfind('@'); at != std::string_view::npos)
        rest = rest.substr(at + 1);
    if (rest.starts_with("[")) {
        size_t close = rest.find(']');
        return std::string(rest.substr(1, close == std::string_view::npos ? rest.npos : close - 1));
    }
    return std::string(rest.substr(0, rest.find(':')));
}

std::string ffVideoEncoder(const FfGroup& output) { return encoderOf(output, kVideoCodecOptions, "-vn"); }
std::string ffAudioEncoder(const FfGroup& output) { return encoderOf(output, kAudioCodecOptions, "-an"); }

// "-loop_input" is gone; "-stream_loop -1" must stand before its input's
// "-i". One written among the outputs belongs to the last input.
void ruleLoopInput(FfCommand& command) {
    if (command.inputs.empty())
        return;
    bool trailingLoop = false;
    for (FfGroup& output : command.outputs)
        trailingLoop |= output.remove("-loop_input") > 0;
    for (size_t k = 0; k < command.inputs.size(); k++) {
        FfGroup& input = command.inputs[k];
        bool last = k + 1 == command.inputs.size();
        if (input.remove("-loop_input") > 0 || (last && trailingLoop))
            input.set("-stream_loop", "-1");
    }
}

// An SDP file names RTP streams, which ffmpeg refuses to open from a file
// unless told that those protocols are expected.
void ruleSdpWhitelist(FfCommand& command) {
    for (FfGroup& input : command.inputs) {
        bool sdp = ffEndsWithNoCase(input.url, ".sdp") || input.value("-f") == "sdp";
        if (sdp && !input.has("-protocol_whitelist"))
            input.add("-protocol_whitelist", "file,crypto,data,udp,rtp");
    }
}

// The hls protocol still works but is deprecated for the hls demuxer,
// which takes the plain address.
void ruleHlsInputScheme(FfCommand& command) {
    for (FfGroup& input : command.inputs)
        if (ffStartsWithNoCase(input.url, "hls+http"))
            input.url.erase(0, 4);
}

// "-hls_wrap" is gone, and without "delete_segments" old segments are never
// removed: a channel running for weeks would fill the disk. Every list of a
// bounded size (ffmpeg's default is 5) now deletes what has left it.
void ruleHlsDeleteSegments(FfCommand& command) {
    for (FfGroup& output : command.outputs) {
        bool wrapped = output.remove("-hls_wrap") > 0;
        if (!isHlsOutput(output) && !wrapped)
            continue;
        if (output.value("-hls_list_size") == "0" && !wrapped)
            continue;
        addHlsFlag(output, "delete_segments");
    }
}

// The engine gives an HLS target "-g N" with N the segment length in
// seconds, but ffmpeg counts -g in frames: a key frame every few frames
// wastes most of the bit rate. Key frames forced at the segment boundaries
// start every segment with one and leave the rest to the encoder. The
// operator's own frame count (no "-hls_time", "-g" other than 5) stays.
void ruleHlsKeyFrames(FfCommand& command) {
    for (FfGroup& output : command.outputs) {
        std::string video = ffVideoEncoder(output);
        if (!isHlsOutput(output) || video == "none" || video == "copy")
            continue;
        int at = engineKeyFramePair(output);
        if (at < 0)
            continue;
        auto time = output.value("-hls_time");
        std::string seconds = time && isPlainSeconds(*time) ? *time : engineSegmentSeconds(output);
        FfTokens& o = output.options;
        o.erase(o.begin() + at, o.begin() + at + 4);
        // The operator's own forcing, if any, already places the key frames.
        if (output.has("-force_key_frames"))
            continue;
        o.insert(o.begin() + at, {"-force_key_frames", "expr:gte(t,n_forced*" + seconds + ")"});
    }
}

// Debian has no libfdk_aac. The native encoder's HE profiles write files
// nobody can decode, so they go with the libfdk-only options.
void ruleFdkAac(FfCommand& command) {
    for (FfGroup& output : command.outputs) {
        bool fdk = false;
        for (std::string_view name : kAudioCodecOptions) {
            if (output.value(name) == "libfdk_aac") {
                output.set(name, "aac");
                fdk = true;
            }
        }
        if (!fdk)
            continue;
        output.removeWithValue("-profile:a", {"aac_he", "aac_he_v2"});
        for (std::string_view name : {"-afterburner", "-eld_sbr", "-signaling", "-latm", "-header_period"})
            output.remove(name);
    }
}

// MPEG-TS cannot be sent to an rtsp:// address; publishing to an RTSP
// server is what such a target means.
void ruleRtspPublish(FfCommand& command) {
    for (FfGroup& output : command.outputs) {
        if (!ffStartsWithNoCase(output.url, "rtsp://") || output.value("-f") != "mpegts")
            continue;
        output.set("-f", "rtsp");
        if (!output.has("-rtsp_transport"))
            output.add("-rtsp_transport", "tcp");
    }
}

// Without "-listen" ffmpeg posts to an HTTP address; an address of this
// machine means the channel is to be watched there, so it serves it. An
// MJPEG-only target becomes the multipart stream browsers show.
void ruleHttpServe(FfCommand& command, const FfMachine& machine) {
    for (FfGroup& output : command.outputs) {
        if (!isHttpUrl(output.url) || output.has("-listen") || !machine.isLocalHost)
            continue;
        if (!machine.isLocalHost(ffUrlHost(output.url)))
            continue;
        output.add("-listen", "1");
        if (ffVideoEncoder(output) == "mjpeg" && ffAudioEncoder(output) == "none") {
            output.set("-f", "mpjpeg");
            output.add("-content_type", "multipart/x-mixed-replace;boundary=ffmpeg");
        }
    }
}

// The engine names a pixel format only on the first H.264 target of a line;
// where the inputs' pictures are yuv420p already, that format changes
// nothing and must not keep the targets from sharing one encoder.
static bool inputsAreYuv420p(const FfCommand& command, const FfMachine& machine) {
    if (!machine.inputIsYuv420p || command.inputs.empty())
        return false;
    return std::all_of(command.inputs.begin(), command.inputs.end(), machine.inputIsYuv420p);
}

FfPlan ffPlan(const FfTokens& args, const FfMachine& machine, std::string_view thumbPath) {
    FfPlan plan;
    FfCommand command = ffParse(args);
    plan.refusal = ffUnsupported(command, machine);
    if (!plan.refusal.empty())
        return plan;
    ruleLoopInput(command);
    ruleSdpWhitelist(command);
    ruleHlsInputScheme(command);
    ruleHlsDeleteSegments(command);
    ruleHlsKeyFrames(command);
    ruleFdkAac(command);
    ruleRtspPublish(command);
    ruleHttpServe(command, machine);
    std::vector<bool> recorder;
    for (const FfGroup& output : command.outputs)
        recorder.push_back(isTimeShiftRecorder(output));
    ruleTimeShiftRecorder(command);
    plan.waits = ruleTimeShiftPlayer(command, plan.player);
    plan.watched = !plan.waits && ffIsWatched(command);
    if (plan.watched) {
        plan.source = command.inputs[0];
        plan.canvas = ffTargetCanvas(command.outputs[0]);
    }
    FfCommand shared = command;
    plan.share = ruleShareEncoders(shared, ffTargetNumbers(machine.targets.c_str(), shared.outputs.size()),
                                   recorder, plan.watched || inputsAreYuv420p(command, machine),
                                   machine.isMuxerOption);
    if (!plan.waits)
        plan.thumbnail = ruleThumbnail(command, thumbPath);
    if (plan.thumbnail && plan.share.active())
        ruleThumbnail(shared, thumbPath);
    if (plan.watched)
        plan.encoderArgs = ffEncoderArgs(command);
    plan.args = ffFlatten(command);
    plan.args.insert(plan.args.begin(), "-nostdin");
    if (plan.share.active()) {
        plan.sharedArgs = plan.watched ? ffEncoderArgs(shared) : ffFlatten(shared);
        if (!plan.watched)
            plan.sharedArgs.insert(plan.sharedArgs.begin(), "-nostdin");
    }
    plan.player.startIndexArg++;
    return plan;
}

void ffSetStartSegments(FfPlan& plan, int segments) {
    if (!plan.waits)
        return;
    // The inputs come first in both lines, so the index is the same.
    std::string fromEnd(1, '-');
    fromEnd += std::to_string(segments);
    for (FfTokens* args : {&plan.args, &plan.sharedArgs})
        if (plan.player.startIndexArg < args->size())
            (*args)[plan.player.startIndexArg] = fromEnd;
}
