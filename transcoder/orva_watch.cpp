// orva_watch.cpp: the watched-line test, the canvas a target fixes and the
// arguments of the decoders and of the encoder.
#include "orva_watch.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "orva_rewrite.h"

namespace {

// Schemes of addresses that deliver live and can stop doing so.
constexpr std::array<std::string_view, 14> kLiveSchemes = {
    "udp://", "rtp://", "srt://", "tcp://", "rtsp://", "rtsps://", "rtmp://", "rtmps://",
    "rtmpt://", "rtmpe://", "http://", "https://", "rist://", "mmsh://"};

// Options that set up the whole run of ffmpeg, in byte order.
constexpr std::array<std::string_view, 14> kGlobalOptions = {
    "-benchmark", "-filter_complex", "-filter_complex_threads", "-filter_threads", "-hide_banner", "-loglevel",
    "-n", "-nostats", "-progress", "-report", "-stats", "-stats_period", "-v", "-y"};
static_assert(std::is_sorted(kGlobalOptions.begin(), kGlobalOptions.end()));

struct NamedRate {
    std::string_view name;
    int num;
    int den;
};
constexpr std::array<NamedRate, 8> kNamedRates = {{{"ntsc", 30000, 1001}, {"pal", 25, 1}, {"qntsc", 30000, 1001},
                                                   {"qpal", 25, 1}, {"film", 24, 1}, {"ntsc-film", 24000, 1001},
                                                   {"sntsc", 30000, 1001}, {"spal", 25, 1}}};

bool isCopy(std::string_view codec) { return codec == "copy"; }

bool copiesAStream(const FfGroup& output) {
    return isCopy(ffVideoEncoder(output)) || isCopy(ffAudioEncoder(output)) || output.value("-c") == "copy" ||
           output.value("-codec") == "copy";
}

bool parsePositive(std::string_view text, int& value) {
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit))
        return false;
    value = std::atoi(std::string(text).c_str());
    return value > 0;
}

// "1280x720" into an even width and height.
void parseSize(std::string_view text, FfCanvas& canvas) {
    size_t x = text.find('x');
    int width = 0, height = 0;
    if (x == std::string_view::npos || !parsePositive(text.substr(0, x), width) ||
        !parsePositive(text.substr(x + 1), height) || width > 16384 || height > 16384)
        return;
    canvas.width = std::max(2, width & ~1);
    canvas.height = std::max(2, height & ~1);
}

// A decimal rate becomes an exact fraction: 29.97 is 30000/1001.
bool decimalRate(std::string_view text, int& num, int& den) {
    char* end = nullptr;
    std::string copy(text);
    double rate = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !(rate > 0 && rate <= 1000))
        return false;
    double ntsc = rate * 1001 / 1000;
    if (std::fabs(ntsc - std::round(ntsc)) < 0.01 && std::fabs(rate - std::round(rate)) > 0.001) {
        num = static_cast<int>(std::round(ntsc)) * 1000;
        den = 1001;
        return true;
    }
    num = static_cast<int>(std::round(rate * 1000));
    den = 1000;
    int divisor = std::gcd(num, den);
    num /= divisor;
    den /= divisor;
    return num > 0;
}

std::string rateText(const FfCanvas& canvas) {
    return std::to_string(canvas.rateNum) + "/" + std::to_string(canvas.rateDen);
}

// Pictures as the canvas wants them. Sizes not known yet keep the input's
// picture in square pixels, so what the first probe shows can be the canvas.
std::string videoFilter(const FfCanvas& canvas) {
    std::string filter;
    if (canvas.hasSize()) {
        std::string w = std::to_string(canvas.width), h = std::to_string(canvas.height);
        filter = "scale=" + w + ":" + h + ":force_original_aspect_ratio=decrease:force_divisible_by=2,pad=" + w +
                 ":" + h + ":-1:-1:black";
    } else {
        filter = "scale='max(2,trunc(iw*sar/2)*2)':'max(2,trunc(ih/2)*2)'";
    }
    filter += ",setsar=1";
    if (canvas.hasRate())
        filter += ",fps=" + rateText(canvas);
    return filter + ",format=yuv420p";
}

// Splits an input's options into the run's global ones and its own.
void partitionGlobals(const FfTokens& options, FfTokens& globals, FfTokens& own) {
    for (size_t i = 0; i < options.size();) {
        size_t span = ffIsFlag(options[i]) || i + 1 >= options.size() ? 1 : 2;
        FfTokens& into = ffIsGlobalOption(options[i]) ? globals : own;
        into.insert(into.end(), options.begin() + i, options.begin() + i + span);
        i += span;
    }
}

}  // namespace

void FfCanvas::fillFrom(const FfCanvas& other) {
    if (!hasSize() && other.hasSize()) {
        width = other.width;
        height = other.height;
    }
    if (!hasRate() && other.hasRate()) {
        rateNum = other.rateNum;
        rateDen = other.rateDen;
    }
    if (sampleRate <= 0)
        sampleRate = other.sampleRate;
    if (channels <= 0)
        channels = other.channels;
}

void FfCanvas::fillDefaults() { fillFrom(FfCanvas{1280, 720, 25, 1, 48000, 2}); }

int FfCanvas::samplesOfFrame(long long frame) const {
    auto until = [this](long long frames) {
        return frames * sampleRate * rateDen / rateNum;
    };
    return static_cast<int>(until(frame + 1) - until(frame));
}

bool ffIsGlobalOption(std::string_view option) {
    return std::binary_search(kGlobalOptions.begin(), kGlobalOptions.end(), option);
}

bool ffIsLiveInput(const FfGroup& input) {
    if (input.value("-f") == "v4l2" || input.value("-f") == "sdp" || ffEndsWithNoCase(input.url, ".sdp"))
        return true;
    return std::any_of(kLiveSchemes.begin(), kLiveSchemes.end(),
                       [&](std::string_view scheme) { return ffStartsWithNoCase(input.url, scheme); });
}

bool ffReencodesAll(const FfCommand& command) {
    return !command.outputs.empty() && std::none_of(command.outputs.begin(), command.outputs.end(), copiesAStream);
}

bool ffIsWatched(const FfCommand& command) {
    return command.inputs.size() == 1 && command.inputs[0].hasUrl && ffIsLiveInput(command.inputs[0]) &&
           ffReencodesAll(command);
}

bool ffParseRate(std::string_view text, int& num, int& den) {
    for (const NamedRate& named : kNamedRates) {
        if (text == named.name) {
            num = named.num;
            den = named.den;
            return true;
        }
    }
    size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return decimalRate(text, num, den);
    int n = 0, d = 0;
    if (!parsePositive(text.substr(0, slash), n) || !parsePositive(text.substr(slash + 1), d) || n / d > 1000)
        return false;
    num = n;
    den = d;
    return true;
}

FfCanvas ffTargetCanvas(const FfGroup& output) {
    FfCanvas canvas;
    if (auto size = output.value("-s"))
        parseSize(*size, canvas);
    if (auto rate = output.value("-r"); rate && !ffParseRate(*rate, canvas.rateNum, canvas.rateDen))
        canvas.rateNum = canvas.rateDen = 0;
    int value = 0;
    if (auto rate = output.value("-ar"); rate && parsePositive(*rate, value) && value <= 384000)
        canvas.sampleRate = value;
    if (auto channels = output.value("-ac"); channels && parsePositive(*channels, value) && value <= 8)
        canvas.channels = value;
    return canvas;
}

FfTokens ffDecoderArgs(const FfGroup& input, const FfCanvas& canvas, FfReadMode mode) {
    FfTokens args = {"-nostdin", "-hide_banner", "-nostats", "-v", "warning"};
    // The decoder's messages stay at warning level whatever the line asks.
    FfGroup own = input;
    FfTokens globals;
    own.options.clear();
    partitionGlobals(input.options, globals, own.options);
    // The input's own probing would keep a returning source off air for
    // five seconds; half a second finds the streams of a live input.
    if (mode == FfReadMode::Live && !own.has("-analyzeduration"))
        own.add("-analyzeduration", "500000");
    // A sender that restarts within the source's time-out starts its clock
    // again; a jump of over a second is taken as such a restart, not as
    // seconds of pictures to drop until the old clock is reached again.
    if (mode == FfReadMode::Live)
        args.insert(args.end(), {"-dts_delta_threshold", "1"});
    if (mode != FfReadMode::Live && !own.has("-re"))
        own.addFlag("-re");
    if (mode == FfReadMode::Looped)
        own.set("-stream_loop", "-1");
    args.insert(args.end(), own.options.begin(), own.options.end());
    args.insert(args.end(), {"-i", own.url, "-map", "0:v:0?", "-map", "0:a:0?", "-sn", "-dn", "-vf",
                             videoFilter(canvas), "-c:v", "rawvideo"});
    if (canvas.sampleRate > 0)
        args.insert(args.end(), {"-ar", std::to_string(canvas.sampleRate)});
    if (canvas.channels > 0)
        args.insert(args.end(), {"-ac", std::to_string(canvas.channels)});
    // Without syncpoints: the stage's NUT reader would index every one of them
    // for as long as the decoder runs (see the stage's own output).
    args.insert(args.end(), {"-sample_fmt", "s16", "-c:a", "pcm_s16le", "-f", "nut", "-f_strict", "experimental",
                             "-syncpoints", "none", "pipe:1"});
    return args;
}

FfGroup ffBackupInput(const std::string& address) {
    FfGroup input;
    input.url = address;
    input.hasUrl = true;
    if (ffEndsWithNoCase(address, ".sdp"))
        input.add("-protocol_whitelist", "file,crypto,data,udp,rtp");
    return input;
}

FfTokens ffEncoderArgs(const FfCommand& command) {
    FfCommand encoder = command;
    FfGroup stage;
    FfTokens inputsOwn;
    if (!command.inputs.empty())
        partitionGlobals(command.inputs[0].options, stage.options, inputsOwn);
    stage.add("-f", "nut");
    stage.url = "pipe:" + std::to_string(kEncoderInputFd);
    stage.hasUrl = true;
    encoder.inputs.assign(1, stage);
    FfTokens args = ffFlatten(encoder);
    args.insert(args.begin(), "-nostdin");
    return args;
}

namespace {

// A whole decimal number held to [low, high]; `fallback` for anything else.
int settingNumber(const char* text, int low, int high, int fallback) {
    if (text == nullptr || *text == '\0' || std::strlen(text) > 12)
        return fallback;
    for (const char* c = text; *c; c++)
        if (!std::isdigit(static_cast<unsigned char>(*c)))
            return fallback;
    long long value = std::atoll(text);
    return static_cast<int>(std::clamp<long long>(value, low, high));
}

std::string settingText(const char* text) { return text ? text : ""; }

}  // namespace

StageSettings ffStageSettings(const char* (*lookup)(const char*)) {
    StageSettings s;
    s.channel = settingNumber(lookup("ORVAL_CHANNEL"), 0, 64, 0);
    s.memo = settingText(lookup("ORVAL_MEMO"));
    s.backup = settingText(lookup("ORVAL_BACKUP"));
    s.sourceTimeoutMs = settingNumber(lookup("ORVAL_SOURCE_TIMEOUT"), 200, 10000, 1000);
    s.blackSeconds = settingNumber(lookup("ORVAL_ALARM_BLACK"), 0, 3600, 10);
    s.frozenSeconds = settingNumber(lookup("ORVAL_ALARM_FREEZE"), 0, 3600, 10);
    s.silentSeconds = settingNumber(lookup("ORVAL_ALARM_SILENCE"), 0, 3600, 10);
    return s;
}
