// config_fixture.h: an empty channel table and settings record, a
// configuration path in a fresh folder, and a German environment locale.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/orva_config.h"
#include "test_support.h"

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        memset(static_cast<void*>(g_orvaChannels), 0, sizeof g_orvaChannels);
        memset(&g_globalSettings, 0, sizeof g_globalSettings);
        orvaResetContinuity();
        orvaSetConfigFile(path_.c_str());
    }
    void TearDown() override { orvaSetConfigFile(""); }

    TempDir dir_;
    std::string path_ = dir_ / "orval.conf";
};

// The environment says LC_ALL=de_DE.UTF-8 (built with localedef into a folder
// of its own) while the object lives; the process locale stays as it was.
class GermanEnvironment {
public:
    GermanEnvironment() {
        std::string compile =
            "localedef -i de_DE -f UTF-8 " + (locales_ / "de_DE.UTF-8") + " 2>/dev/null";
        built_ = system(compile.c_str()) == 0;
        setenv("LOCPATH", locales_.path().c_str(), 1);
        setenv("LC_ALL", "de_DE.UTF-8", 1);
    }
    ~GermanEnvironment() {
        unsetenv("LC_ALL");
        unsetenv("LOCPATH");
    }
    GermanEnvironment(const GermanEnvironment&) = delete;
    GermanEnvironment& operator=(const GermanEnvironment&) = delete;
    // False when localedef (package locales) is missing.
    bool built() const { return built_; }

private:
    TempDir locales_;
    bool built_ = false;
};
