// The launcher's split and rewrite on any line: parsing into groups and
// flattening gives back the arguments, and a plan is either a refusal or
// ffmpeg's arguments with "-nostdin" first.
#include <string>

#include "fuzz_support.h"
#include "orva_launch.h"
#include "orva_rewrite.h"

namespace {

FfMachine machine(uint8_t bits) {
    FfMachine m;
    m.hasNvidia = (bits & 1) != 0;
    m.hasRenderNode = (bits & 2) != 0;
    m.isLocalHost = [](std::string_view host) { return host == "127.0.0.1" || host == "0.0.0.0"; };
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const std::string line(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string_view args = line;
    if (stripToken(line, args) != kLaunchOk)
        args = line;  // the rules must hold for any text, token or not

    const FfTokens tokens = splitCommandLine(args);
    for (const std::string& token : tokens) {
        if (token.find('"') != std::string::npos && line.find('\\') == std::string::npos)
            fuzzFail("a quote survived the split without any escape");
    }
    if (ffFlatten(ffParse(tokens)) != tokens)
        fuzzFail("parsing into groups and flattening changed the arguments");

    FfPlan plan = ffPlan(tokens, machine(data[0]));
    if (plan.refusal.empty()) {
        if (plan.args.empty() || plan.args[0] != "-nostdin")
            fuzzFail("the plan does not begin with -nostdin");
        ffSetStartSegments(plan, 3);
        if (buildFfmpegArgv(plan.args, nullptr).size() != plan.args.size() + 1)
            fuzzFail("the argv lost an argument");
    }
    return 0;
}
