// cmdline_fixture.cpp: composes command lines without starting a process.
#include "engine/cmdline_fixture.h"

#include <sys/stat.h>

#include <cstring>

ORVA_INPUT_TAG fileInput(const char* address, const char* options) {
    ORVA_INPUT_TAG input{};
    input.pszAddress = address;
    input.pszOptions = options;
    return input;
}

ORVA_OUTPUT_TAG target(int format, const char* address, const char* options) {
    ORVA_OUTPUT_TAG output{};
    output.Format = format;
    output.pszAddress = address;
    output.pszOptions = options;
    return output;
}

ORVA_OUTPUT_TAG videoTarget(int codec) {
    ORVA_OUTPUT_TAG output = target(ORVA_FORMAT_FILE, "out.ts");
    output.Video.VideoEnable = 1;
    output.Video.VideoCodec = codec;
    return output;
}

void CommandLineTest::SetUp() {
    g_cfg.logLevel = 0;
    ASSERT_TRUE(copyText(g_cfg.szWorkDir, dir.path()));
    mkdir((dir / "log").c_str(), 0755);
}

Composed CommandLineTest::compose(const std::vector<ORVA_INPUT_TAG>& inputs,
                                  const std::vector<ORVA_OUTPUT_TAG>& outputs, int slot, int wide) {
    char buffer[kOrvaLineSize];
    memset(buffer, 'x', sizeof buffer);
    TextCursor line(buffer, sizeof buffer);
    std::vector<int> targets;
    int rc = orvaComposeLine(slot, inputs.data(), static_cast<int>(inputs.size()), outputs.data(),
                             static_cast<int>(outputs.size()), wide, line, &targets);
    return {rc, std::string(line.view()), targets};
}

Composed CommandLineTest::composeInput(const ORVA_INPUT_TAG& input) {
    return compose({input}, {target(ORVA_FORMAT_FILE, "out.ts")});
}

std::string videoLine(const std::string& video) {
    return "-re -i \"in.ts\" -an " + video + "-y \"out.ts\" ";
}
