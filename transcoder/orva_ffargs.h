// orva_ffargs.h: the service's ffmpeg arguments as inputs and outputs, each
// a run of options closed by its address, so rules can work on one group.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

using FfTokens = std::vector<std::string>;

// One input ("... -i URL") or output ("... URL"). `options` holds option
// names and their values in line order; an input's "-i" is not among them.
struct FfGroup {
    FfTokens options;
    std::string url;
    bool hasUrl = false;

    // Index of the first option named `name` (a name, never a value), or -1.
    int find(std::string_view name) const;
    bool has(std::string_view name) const { return find(name) >= 0; }
    // The value of the first option `name`, if it has one.
    std::optional<std::string> value(std::string_view name) const;
    // Removes every option `name` with its value; returns how many went.
    int remove(std::string_view name);
    // Removes `name` with its value when the value is one of `values`.
    int removeWithValue(std::string_view name, const std::vector<std::string_view>& values);
    void add(std::string_view name, std::string_view value);
    void addFlag(std::string_view name);
    // Replaces the value of the first option `name`, or adds the option.
    void set(std::string_view name, std::string_view value);
};

struct FfCommand {
    std::vector<FfGroup> inputs;
    std::vector<FfGroup> outputs;
    // Options after the last output's address (a global "-sdp_file", say).
    FfTokens trailing;
};

// True for options that take no value, so the next word is not theirs.
bool ffIsFlag(std::string_view option);
FfCommand ffParse(const FfTokens& args);
// Back to one argument list, in line order.
FfTokens ffFlatten(const FfCommand& command);
