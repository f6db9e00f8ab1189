// daemon_fixture.h: the real orval program, run as a daemon under ORVAL_ROOT
// in a test folder, with a fake transcoder beside it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

class DaemonTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string program = dir / "bin/orval";
    std::string root = dir / "root";
    // The management server's port, free when the test begins: test daemons
    // never meet each other or a service running on the default port.
    int httpPort = freePort();

    // The settings line that puts the daemon on `httpPort`.
    std::string portLine() const { return "HTTPPort " + std::to_string(httpPort) + "\n"; }

    // Writes a configuration file that holds only `portLine()`; tests that
    // need more write their own, with that line.
    void SetUp() override;
    void TearDown() override;

    // The fake transcoder's behaviour after it has read its line.
    virtual std::string transcoderBody() const { return "exec sleep 30"; }
    // Runs the program with its output in `outName`; returns the starter's exit status.
    int run(const std::string& outName);
    // Starts the program under `rootDir` with the variables `env` ("NAME=value")
    // added, its standard output in `outName` and its standard error there too,
    // or in `errName` when given; returns the started process's id at once.
    pid_t spawn(const std::string& outName, const std::string& rootDir,
                const std::vector<std::string>& env = {}, const std::string& errName = "");
    pid_t daemonPid() const;
    bool outputHolds(const std::string& outName, const std::string& text);
    // Waits for the daemon (our orphaned grandchild) to end; returns its exit status.
    int waitForEnd(pid_t pid, std::chrono::seconds limit);
    // Starts the daemon and waits until its start-up pass has run.
    pid_t startDaemon();
    // Ends the daemon with SIGTERM; returns its exit status.
    int stopDaemon();
};
