// config_fixture.h: an empty channel table and settings record, and a
// configuration path in a fresh folder.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/orva_config.h"
#include "test_support.h"

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        memset(g_orvaChannels, 0, sizeof g_orvaChannels);
        memset(&g_globalSettings, 0, sizeof g_globalSettings);
        orvaSetConfigFile(path_.c_str());
    }
    void TearDown() override { orvaSetConfigFile(""); }

    TempDir dir_;
    std::string path_ = dir_ / "orval.conf";
};
