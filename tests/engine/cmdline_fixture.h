// cmdline_fixture.h: composes command lines without starting a process.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/orva.h"
#include "engine/orva_cmdline.h"
#include "test_support.h"

struct Composed {
    int rc;
    std::string line;
    std::vector<int> targets;  // the target of each output of the line
};

ORVA_INPUT_TAG fileInput(const char* address = "in.ts", const char* options = nullptr);
ORVA_OUTPUT_TAG target(int format, const char* address, const char* options = nullptr);
// A file target "out.ts" with video of the given codec and no audio.
ORVA_OUTPUT_TAG videoTarget(int codec);

// Engine settings of the composer (log level, work folder) for one test.
class CommandLineTest : public ::testing::Test {
protected:
    TempDir dir;
    ORVA_CONTEXT_TAG saved = g_cfg;

    void SetUp() override;
    void TearDown() override { g_cfg = saved; }

    Composed compose(const std::vector<ORVA_INPUT_TAG>& inputs,
                     const std::vector<ORVA_OUTPUT_TAG>& outputs, int slot = 0, int wide = 0);
    // The line of one file input "in.ts" and one target.
    Composed composeTarget(const ORVA_OUTPUT_TAG& output) { return compose({fileInput()}, {output}); }
    // The line of one input and a plain file target.
    Composed composeInput(const ORVA_INPUT_TAG& input);
};

// The line for the file input "in.ts" and a video-only file target "out.ts"
// whose video options are `video`.
std::string videoLine(const std::string& video);
