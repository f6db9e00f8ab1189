// orva_unsupported.cpp: what Debian's ffmpeg or this machine cannot do. The
// launcher says so in one line instead of leaving ffmpeg's less clear error.
#include <string>

#include "orva_rewrite.h"

namespace {

std::string deviceFormatProblem(const FfGroup& group, std::string_view side) {
    auto format = group.value("-f");
    if (format == "decklink")
        return "DeckLink " + std::string(side) + " is not available in this machine's ffmpeg";
    if (format == "libndi_newtek")
        return "NDI " + std::string(side) + " is not available in this machine's ffmpeg";
    return "";
}

bool isNvidiaName(std::string_view name) {
    return name.ends_with("_nvenc") || name.ends_with("_cuvid") || name == "cuvid" || name == "cuda";
}

bool isQsvName(std::string_view name) { return name.ends_with("_qsv") || name == "qsv"; }

std::string hardwareProblem(std::string_view name, const FfMachine& machine) {
    if (isNvidiaName(name) && !machine.hasNvidia)
        return std::string(name) + " needs an NVIDIA device, and this machine has none";
    if (isQsvName(name) && !machine.hasRenderNode)
        return std::string(name) + " needs an Intel Quick Sync device, and this machine has none";
    return "";
}

std::string inputProblem(const FfGroup& input, const FfMachine& machine) {
    std::string problem = deviceFormatProblem(input, "capture");
    if (problem.empty())
        problem = hardwareProblem(input.value("-hwaccel").value_or(""), machine);
    if (problem.empty())
        problem = hardwareProblem(input.value("-c:v").value_or(""), machine);
    return problem;
}

std::string outputProblem(const FfGroup& output, const FfMachine& machine) {
    std::string problem = deviceFormatProblem(output, "output");
    std::string audio = ffAudioEncoder(output);
    if (problem.empty() && audio.starts_with("libamr"))
        problem = "AMR audio cannot be encoded by this machine's ffmpeg";
    if (problem.empty())
        problem = hardwareProblem(ffVideoEncoder(output), machine);
    if (problem.empty() && isTimeShiftRecorder(output))
        problem = timeShiftRecorderProblem(output);
    return problem;
}

}  // namespace

std::string ffUnsupported(const FfCommand& command, const FfMachine& machine) {
    for (const FfGroup& input : command.inputs)
        if (std::string problem = inputProblem(input, machine); !problem.empty())
            return problem;
    for (const FfGroup& output : command.outputs)
        if (std::string problem = outputProblem(output, machine); !problem.empty())
            return problem;
    return "";
}
