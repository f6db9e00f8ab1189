// orva_share.cpp: grouping a line's outputs by their encoding, and the
// encoder's and the muxers' arguments that follow from the groups.
#include "orva_share.h"

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "orva_rewrite.h"
#include "orva_watch.h"

namespace {

constexpr size_t kLongestReason = 300;

// Options of the muxer or its protocol, by name without the ":v" or ":a"
// after it, in byte order.
constexpr std::array<std::string_view, 49> kMuxerOptions = {
    "-absf", "-adaptation_sets", "-atag", "-auth_type", "-avoid_negative_ts", "-bsf", "-ca_file",
    "-cert_file", "-chunked_post", "-content_type", "-dash_segment_type", "-extra_window_size", "-f",
    "-fflags", "-flush_packets", "-flvflags", "-format_options", "-headers", "-init_seg_name", "-key_file",
    "-ldash", "-listen", "-master_pl_name", "-max_muxing_queue_size", "-media_seg_name", "-metadata",
    "-method", "-movflags", "-muxdelay", "-muxpreload", "-muxrate", "-n", "-output_ts_offset", "-pcr_period",
    "-pkt_size", "-rtpflags", "-rtsp_flags", "-rtsp_transport", "-rw_timeout", "-sdp_file", "-seg_duration",
    "-send_expect_100", "-start_number", "-streaming", "-tag", "-timeout", "-tls_verify", "-use_template",
    "-y"};
static_assert(std::is_sorted(kMuxerOptions.begin(), kMuxerOptions.end()));
// Families of muxer and protocol options.
constexpr std::array<std::string_view, 6> kMuxerPrefixes = {"-hls_", "-rtmp_", "-mpegts_", "-segment_", "-srt_",
                                                            "-dash_"};
// Options that shape both what is encoded and what is written: they count
// for the group and go to the muxer too.
constexpr std::array<std::string_view, 5> kBothOptions = {"-fs", "-shortest", "-strict", "-t", "-to"};

template <size_t N>
bool listed(const std::array<std::string_view, N>& list, std::string_view name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

std::string_view baseName(std::string_view option) { return option.substr(0, option.find(':')); }

// Outputs that stay with the encoder: a recorder's feed, RTP outputs (they
// share one SDP file), devices, standard output and outputs without an address.
bool staysDirect(const FfGroup& output, bool recorder) {
    auto format = output.value("-f");
    bool device = format == "rtp" || format == "decklink" || format == "libndi_newtek";
    return recorder || device || !output.hasUrl || output.url.empty() || output.url == "-" ||
           output.url.starts_with("pipe:");
}

// When key frames come: "-g" frames apart, "-sc_threshold", and "-force_key_frames".
struct KeyFrames {
    std::string gop, sceneCut, forced;

    bool empty() const { return gop.empty() && sceneCut.empty() && forced.empty(); }
    FfTokens tokens() const {
        FfTokens out;
        if (!gop.empty())
            out.insert(out.end(), {"-g", gop});
        if (!sceneCut.empty())
            out.insert(out.end(), {"-sc_threshold", sceneCut});
        if (!forced.empty())
            out.insert(out.end(), {"-force_key_frames", forced});
        return out;
    }
};

KeyFrames takeKeyFrames(FfGroup& encoding) {
    KeyFrames keys;
    keys.gop = encoding.value("-g").value_or("");
    keys.sceneCut = encoding.value("-sc_threshold").value_or("");
    keys.forced = encoding.value("-force_key_frames").value_or("");
    for (std::string_view name : {"-g", "-sc_threshold", "-force_key_frames"})
        encoding.remove(name);
    return keys;
}

// The seconds of "expr:gte(t,n_forced*S)", the segment boundaries an HLS
// target forces; none for any other forcing.
std::optional<double> forcedEvery(const std::string& forced) {
    constexpr std::string_view head = "expr:gte(t,n_forced*";
    if (!forced.starts_with(head) || !forced.ends_with(")"))
        return std::nullopt;
    std::string number = forced.substr(head.size(), forced.size() - head.size() - 1);
    char* end = nullptr;
    double seconds = std::strtod(number.c_str(), &end);
    return end == number.c_str() + number.size() && seconds > 0 ? std::optional(seconds) : std::nullopt;
}

// A frame count that puts key frames exactly where `forced` does at the
// group's frame rate.
bool gopMatchesForced(const std::string& gop, const std::string& forced, const FfGroup& encoding) {
    auto seconds = forcedEvery(forced);
    auto rate = encoding.value("-r");
    int num = 0, den = 0;
    if (!seconds || !rate || !ffParseRate(*rate, num, den))
        return false;
    double frames = *seconds * num / den;
    return std::fabs(frames - std::round(frames)) < 1e-6 && std::to_string(std::lround(frames)) == gop;
}

// One schedule that serves both, if there is one: a target that sets no key
// frames takes any; forced segment boundaries serve a GOP of the same length.
std::optional<KeyFrames> mergeKeyFrames(const KeyFrames& a, const KeyFrames& b, const FfGroup& encoding) {
    if (a.empty() || b.empty())
        return a.empty() ? b : a;
    auto same = [](const std::string& x, const std::string& y) { return x.empty() || y.empty() || x == y; };
    if (!same(a.gop, b.gop) || !same(a.sceneCut, b.sceneCut) || !same(a.forced, b.forced))
        return std::nullopt;
    KeyFrames merged{a.gop.empty() ? b.gop : a.gop, a.sceneCut.empty() ? b.sceneCut : a.sceneCut,
                     a.forced.empty() ? b.forced : a.forced};
    bool gopOnlyOnOneSide = (a.gop.empty() != b.gop.empty()) && (a.forced.empty() != b.forced.empty());
    if (gopOnlyOnOneSide && !merged.gop.empty() && !merged.forced.empty() &&
        !gopMatchesForced(merged.gop, merged.forced, encoding))
        return std::nullopt;
    return merged;
}

// The NUT muxer asks for stream headers out of band anyway, and a stage
// that feeds yuv420p makes an explicit yuv420p a no-op: neither sets a
// group apart.
void dropNoOps(FfGroup& encoding, bool yuv420pInput) {
    for (std::string_view flags : {"-flags", "-flags:a", "-flags:v"})
        encoding.removeWithValue(flags, {"+global_header"});
    if (yuv420pInput)
        encoding.removeWithValue("-pix_fmt", {"yuv420p"});
}

struct Split {
    FfGroup encoding, muxing;
    KeyFrames keys;
};

Split splitOutput(const FfGroup& output, bool yuv420pInput, const FfMuxerOptionTest& isMuxerOption) {
    Split split;
    const FfTokens& o = output.options;
    for (size_t i = 0; i < o.size();) {
        size_t span = ffIsFlag(o[i]) || i + 1 >= o.size() ? 1 : 2;
        FfOptionRole role = ffOptionRole(o[i], output, isMuxerOption);
        if (role != FfOptionRole::Muxing)
            split.encoding.options.insert(split.encoding.options.end(), o.begin() + i, o.begin() + i + span);
        if (role != FfOptionRole::Encoding)
            split.muxing.options.insert(split.muxing.options.end(), o.begin() + i, o.begin() + i + span);
        i += span;
    }
    dropNoOps(split.encoding, yuv420pInput);
    split.keys = takeKeyFrames(split.encoding);
    return split;
}

bool hasVideo(const FfGroup& encoding) {
    return !encoding.has("-vn") && ffVideoEncoder(encoding) != "none";
}

// Cuts a known lead from the front of a message: "[tcp @ 0x55…] ", the
// address and ": ", a function's "name(): ".
std::string withoutLead(std::string text, const std::string& address) {
    if (text.starts_with("[")) {
        size_t close = text.find("] ");
        if (close != std::string::npos && text.find(" @ ") < close)
            text.erase(0, close + 2);
    }
    for (const std::string& lead : {"Error writing trailer of " + address + ": ", address + ": "})
        if (!address.empty() && text.starts_with(lead))
            text.erase(0, lead.size());
    size_t call = text.find("(): ");
    if (call != std::string::npos && text.find(' ') > call)
        text.erase(0, call + 4);
    return text;
}

FfTokens muxerArgs(const FfGroup& muxing, const std::string& url) {
    // The NUT header says what the streams are; probing for their frame
    // rate or long would only hold the target back at its start.
    FfTokens args = {"-nostdin", "-hide_banner", "-v", "warning", "-stats", "-fpsprobesize", "0",
                     "-analyzeduration", "200000", "-f", "nut", "-i", "pipe:0", "-map", "0", "-c", "copy"};
    args.insert(args.end(), muxing.options.begin(), muxing.options.end());
    args.push_back(url);
    return args;
}

}  // namespace

FfOptionRole ffOptionRole(std::string_view option, const FfGroup& output, const FfMuxerOptionTest& isMuxerOption) {
    std::string_view name = baseName(option);
    if (listed(kBothOptions, name))
        return FfOptionRole::Both;
    if (std::binary_search(kMuxerOptions.begin(), kMuxerOptions.end(), name))
        return FfOptionRole::Muxing;
    for (std::string_view prefix : kMuxerPrefixes)
        if (name.starts_with(prefix))
            return FfOptionRole::Muxing;
    if (isMuxerOption && name.size() > 1 && isMuxerOption(name.substr(1), output))
        return FfOptionRole::Muxing;
    return FfOptionRole::Encoding;
}

std::vector<int> ffTargetNumbers(const char* text, size_t outputs) {
    std::vector<int> numbers;
    std::string_view rest = text ? text : "";
    while (!rest.empty() && numbers.size() <= outputs) {
        std::string_view item = rest.substr(0, rest.find(','));
        rest = item.size() < rest.size() ? rest.substr(item.size() + 1) : std::string_view();
        if (item.size() != 1 || item[0] < '1' || item[0] > '5') {
            numbers.clear();
            break;
        }
        numbers.push_back(item[0] - '0');
    }
    if (numbers.size() == outputs)
        return numbers;
    numbers.clear();
    for (size_t k = 0; k < outputs; k++)
        numbers.push_back(static_cast<int>(k) + 1);
    return numbers;
}

FfSharePlan ruleShareEncoders(FfCommand& command, const std::vector<int>& numbers,
                              const std::vector<bool>& recorder, bool yuv420pInput,
                              const FfMuxerOptionTest& isMuxerOption) {
    FfSharePlan plan;
    std::vector<KeyFrames> schedules;
    std::vector<FfGroup> outputs;
    for (size_t k = 0; k < command.outputs.size(); k++) {
        const FfGroup& output = command.outputs[k];
        if (staysDirect(output, k < recorder.size() && recorder[k])) {
            outputs.push_back(output);
            continue;
        }
        Split split = splitOutput(output, yuv420pInput, isMuxerOption);
        size_t g = 0;
        std::optional<KeyFrames> merged;
        for (; g < plan.groups.size(); g++) {
            if (plan.groups[g].encoding == split.encoding.options &&
                (merged = mergeKeyFrames(schedules[g], split.keys, split.encoding)))
                break;
        }
        if (g == plan.groups.size()) {
            plan.groups.push_back({split.encoding.options, {}, hasVideo(split.encoding)});
            schedules.push_back(split.keys);
            FfGroup placeholder;  // the group's output takes the place of its first member
            placeholder.url = "group:" + std::to_string(g);
            outputs.push_back(placeholder);
        } else {
            schedules[g] = *merged;
        }
        plan.groups[g].targets.push_back(plan.targets.size());
        plan.targets.push_back({k < numbers.size() ? numbers[k] : static_cast<int>(k) + 1, g,
                                muxerArgs(split.muxing, output.url), output.url});
    }
    if (!plan.active())
        return plan;
    for (FfGroup& output : outputs) {
        if (output.hasUrl)
            continue;
        size_t g = std::strtoul(output.url.c_str() + 6, nullptr, 10);
        output.options = plan.groups[g].encoding;
        FfTokens keys = schedules[g].tokens();
        output.options.insert(output.options.end(), keys.begin(), keys.end());
        // Without syncpoints, whose index would grow the reader for as long as
        // the channel runs (a pipe is never seeked).
        output.options.insert(output.options.end(), {"-f", "nut", "-f_strict", "experimental", "-syncpoints", "none"});
        output.url = "pipe:" + std::to_string(kFirstGroupFd + static_cast<int>(g));
        output.hasUrl = true;
    }
    command.outputs = std::move(outputs);
    return plan;
}

std::string targetDownLine(bool raise, int number, const std::string& reason) {
    std::string line = std::string("orval-alarm: ") + (raise ? "raise" : "clear") + " target_down " +
                       std::to_string(number);
    if (!raise)
        return line + "\n";
    std::string text;
    for (char c : reason)
        text += c == '\n' || c == '\r' ? ' ' : c;
    if (text.size() > kLongestReason) {
        size_t cut = kLongestReason;
        // Never half a character: step back over UTF-8 continuation bytes.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            cut--;
        text.resize(cut);
    }
    if (text.empty())
        text = "failed";
    return line + " " + text + "\n";
}

std::string muxerReason(const std::vector<std::string>& messages, const std::string& address, int status) {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        const std::string& line = *it;
        if (line == "Conversion failed!" || line.find("Failed to update header") != std::string::npos)
            continue;
        std::string text = withoutLead(line, address);
        if (!text.empty())
            return text;
    }
    if (WIFSIGNALED(status))
        return "its muxer ended on signal " + std::to_string(WTERMSIG(status));
    return "its muxer ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

