// orva_ffargs.cpp: grouping the service's arguments into inputs and outputs.
#include "orva_ffargs.h"

#include <algorithm>
#include <array>

namespace {

// ffmpeg's options that stand alone, in byte order for a binary search: the
// plan asks for every word of the line, many times over. Every other option
// takes one value, even one that begins with "-" ("-live_start_index -3").
constexpr std::array<std::string_view, 31> kFlags = {
    "-accurate_seek", "-an",        "-autorotate",  "-benchmark",   "-benchmark_all",
    "-copy_unknown",  "-copyts",    "-debug_ts",    "-deinterlace", "-dn",
    "-dump",          "-hide_banner", "-ignore_unknown", "-loop_input", "-n",
    "-noaccurate_seek", "-noautorotate", "-nostats", "-nostdin",    "-psnr",
    "-re",            "-report",    "-shortest",    "-sn",          "-start_at_zero",
    "-stats",         "-stdin",     "-vn",          "-vstats",      "-xerror",
    "-y"};
static_assert(std::is_sorted(kFlags.begin(), kFlags.end()));

bool isOption(std::string_view word) { return word.size() > 1 && word[0] == '-'; }

// How many words the option at `i` spans (1 or 2).
size_t optionSpan(const FfTokens& args, size_t i) {
    return ffIsFlag(args[i]) || i + 1 >= args.size() ? 1 : 2;
}

}  // namespace

bool ffIsFlag(std::string_view option) {
    return std::binary_search(kFlags.begin(), kFlags.end(), option);
}

// Walks the option names only, stepping over their values.
int FfGroup::find(std::string_view name) const {
    for (size_t i = 0; i < options.size(); i += optionSpan(options, i))
        if (options[i] == name)
            return static_cast<int>(i);
    return -1;
}

std::optional<std::string> FfGroup::value(std::string_view name) const {
    int i = find(name);
    if (i < 0 || optionSpan(options, i) < 2)
        return std::nullopt;
    return options[i + 1];
}

int FfGroup::removeWithValue(std::string_view name, const std::vector<std::string_view>& values) {
    int removed = 0;
    for (size_t i = 0; i < options.size();) {
        size_t span = optionSpan(options, i);
        bool valueMatches = values.empty() ||
            (span == 2 && std::find(values.begin(), values.end(), options[i + 1]) != values.end());
        if (options[i] == name && valueMatches) {
            options.erase(options.begin() + i, options.begin() + i + span);
            removed++;
        } else {
            i += span;
        }
    }
    return removed;
}

int FfGroup::remove(std::string_view name) { return removeWithValue(name, {}); }

void FfGroup::add(std::string_view name, std::string_view value) {
    options.emplace_back(name);
    options.emplace_back(value);
}

void FfGroup::addFlag(std::string_view name) { options.emplace_back(name); }

void FfGroup::set(std::string_view name, std::string_view value) {
    int i = find(name);
    if (i >= 0 && optionSpan(options, i) == 2)
        options[i + 1] = value;
    else
        add(name, value);
}

FfCommand ffParse(const FfTokens& args) {
    FfCommand command;
    // The inputs end with the last "-i" and its address. The address is
    // stepped over as the grouping below steps over it: an address that
    // reads "-i" (the operator's own parameters may hold one) must not count
    // as one more "-i", whose address would lie past the end.
    size_t lastInput = 0;
    for (size_t i = 0; i + 1 < args.size(); i++)
        if (args[i] == "-i")
            lastInput = ++i + 1;
    FfGroup group;
    for (size_t i = 0; i < lastInput; i++) {
        if (args[i] == "-i") {
            group.url = args[++i];
            group.hasUrl = true;
            command.inputs.push_back(std::move(group));
            group = FfGroup{};
        } else {
            group.options.push_back(args[i]);
        }
    }
    // Before the first "-i" nothing is an output; leftovers join the outputs.
    for (size_t i = lastInput; i < args.size();) {
        if (!isOption(args[i])) {
            group.url = args[i++];
            group.hasUrl = true;
            command.outputs.push_back(std::move(group));
            group = FfGroup{};
            continue;
        }
        size_t span = optionSpan(args, i);
        group.options.insert(group.options.end(), args.begin() + i, args.begin() + i + span);
        i += span;
    }
    command.trailing = std::move(group.options);
    return command;
}

FfTokens ffFlatten(const FfCommand& command) {
    FfTokens out;
    for (const FfGroup& input : command.inputs) {
        out.insert(out.end(), input.options.begin(), input.options.end());
        out.push_back("-i");
        out.push_back(input.url);
    }
    for (const FfGroup& output : command.outputs) {
        out.insert(out.end(), output.options.begin(), output.options.end());
        out.push_back(output.url);
    }
    out.insert(out.end(), command.trailing.begin(), command.trailing.end());
    return out;
}
