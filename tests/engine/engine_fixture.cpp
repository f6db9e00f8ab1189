// engine_fixture.cpp: an initialised engine whose transcoder is a script of the test's own.
#include "engine/engine_fixture.h"

#include <sys/stat.h>

#include <cstdio>

int EngineTest::initEngine(const std::string& transcoderBody, int logLevel, int cpuPerChannel) {
    writeExecutable(dir / "orval.so", fakeTranscoder(transcoderBody));
    mkdir((dir / "log").c_str(), 0755);
    ORVA_INIT_TAG init{};
    init.cpuPerChannel = cpuPerChannel;
    init.logLevel = logLevel;
    init.pszEngineDir = dir.path().c_str();
    init.pszWorkDir = dir.path().c_str();
    return orvaInitA(&init);
}

std::string EngineTest::logOf(int slot) const {
    char name[32];
    snprintf(name, sizeof name, "log/orva_%03d.log", slot + 1);
    return readFile(dir / name);
}

bool EngineTest::pollUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        orvaSleep(20);
        orvaPoll();
        if (done())
            return true;
    }
    return done();
}

int EngineTest::startSlot(int slot) {
    ORVA_INPUT_TAG input{};
    ORVA_OUTPUT_TAG output{};
    input.pszAddress = "input.ts";
    output.pszAddress = "output.ts";
    return orvaTranscodeA(slot, &input, &output);
}
