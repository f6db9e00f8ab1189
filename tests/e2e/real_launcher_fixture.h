// real_launcher_fixture.h: the real daemon with the real launcher in place of
// the fake transcoder, and the folders its channels read from and write to.
#pragma once

#include <filesystem>
#include <string>

#include "service/daemon_fixture.h"

class RealLauncherTest : public DaemonTest {
protected:
    std::string conf = root + "/etc/orval/orval.conf";

    void SetUp() override {
        DaemonTest::SetUp();
        namespace fs = std::filesystem;
        fs::remove(dir / "bin/orval.so");
        fs::copy_file(ORVAL_SO_BINARY, dir / "bin/orval.so");
        fs::create_directories(root + "/etc/orval");
        fs::create_directories(dir / "media");
        fs::create_directories(dir / "out");
    }
};
