// channel_web_fixture.h: the channel table, the configuration file and an
// engine with a fake transcoder, for the status and channel endpoints.
#pragma once

#include <filesystem>
#include <mutex>

#include "config/orva_config.h"
#include "engine/engine_fixture.h"
#include "engine/orva_text.h"
#include "service/orva_channel_ctl.h"
#include "service/orva_service.h"
#include "web/orva_channel_ops.h"

class ChannelWebTest : public EngineTest {
protected:
    std::string conf = dir / "orval.conf";

    void SetUp() override {
        ASSERT_EQ(0, initEngine(transcoderBody()));
        memset(g_orvaChannels, 0, sizeof g_orvaChannels);
        orvaResetContinuity();
        g_globalSettings.AutoRestart = 0;
        orvaSetConfigFile(conf.c_str());
    }
    void TearDown() override {
        for (int slot = 0; slot < ORVA_SLOT_COUNT; slot++)
            orvaStop(slot, ORVA_STOP_FORCED);
        EngineTest::TearDown();
        orvaSetConfigFile("");
    }
    // Ignores SIGINT once it has made "ignoring": an orderly stop leaves it terminating.
    virtual std::string transcoderBody() const {
        return "trap '' INT\ntouch \"$here/ignoring\"\nexec sleep 30";
    }

    // A configured channel: the file "in" into the H.264 file "out<n>".
    ORVA_CHANNEL_TAG& configure(int channel, const char* memo = "") {
        ORVA_CHANNEL_TAG& ch = g_orvaChannels[channel];
        ch.NumInputs = ch.NumOutputs = 1;
        ch.Sources[0].pszAddress = ch.Sources[0].File;
        ch.Targets[0].pszAddress = ch.Targets[0].File;
        copyText(ch.Sources[0].File, dir / "in");
        copyText(ch.Targets[0].File, dir / ("out" + std::to_string(channel + 1)));
        ch.Targets[0].Video.VideoEnable = 1;
        ch.Targets[0].Video.VideoCodec = ORVA_VIDEO_H264;
        copyText(ch.Memo, memo);
        return ch;
    }
    void act(int channel, const char* action) {
        std::unique_lock<std::mutex> lock(g_serviceLock);
        orvaRunChannelAction(channel, action, lock);
    }
    static std::string status() {
        std::string buffer(100000, '\0');
        TextCursor out(buffer.data(), buffer.size());
        EXPECT_TRUE(orvaComposeStatus(out));
        return buffer.substr(0, out.length());
    }
    static bool holds(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
};
