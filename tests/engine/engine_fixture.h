// engine_fixture.h: an initialised engine whose transcoder is a script of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "engine/orva.h"
#include "engine/orva_engine.h"
#include "test_support.h"

class EngineTest : public ::testing::Test {
protected:
    TempDir dir;

    void TearDown() override {
        orvaFree();
        orvaSetHangTimeout(kOrvaHangSeconds);
    }

    // Writes "orval.so" into the test folder and initialises the engine on it.
    int initEngine(const std::string& transcoderBody, int logLevel = 32, int cpuPerChannel = 0);
    std::string logOf(int slot) const;
    // Runs service passes (sleep, then poll) until `done` holds or the time is up.
    bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
    int startSlot(int slot);
};
