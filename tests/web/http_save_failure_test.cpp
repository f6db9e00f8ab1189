// Saves that fail: each change that cannot be written is answered 500, said
// in the service log, and not applied: the running service stays as it was.
#include <filesystem>
#include <string>

#include <chrono>

#include <gtest/gtest.h>

#include "web/web_fixture.h"

using namespace std::chrono_literals;

namespace {

class SaveFailureTest : public WebTest {
protected:
    std::string serviceLog() const { return readFile(root + "/var/orval/log/orval.log"); }

    // A folder with a file in it where the configuration file was: even root
    // cannot rename a file over it, so every save fails.
    void blockTheConfigurationFile() {
        std::filesystem::remove(confFile);
        std::filesystem::create_directories(confFile);
        writeFile(confFile + "/keep", "x");
    }
    void unblockTheConfigurationFile() { std::filesystem::remove_all(confFile); }
    // Channels whose transcoder runs.
    int running() const {
        std::string status = get("/status").body;
        int count = 0;
        for (size_t at = status.find("<state>start</state>"); at != std::string::npos;
             at = status.find("<state>start</state>", at + 1))
            count++;
        return count;
    }

    std::string settings() const override {
        return channelBlock(2, dir / "in2.ts", 0) + channelBlock(3, dir / "in3.ts", 0);
    }
};

const std::string kFormHeader = "Content-Type: application/x-www-form-urlencoded\r\n";

}  // namespace

TEST_F(SaveFailureTest, EditSettingsRemovalAndImportAnswer500AndChangeNothing) {
    ASSERT_EQ(200, get("/channel2?start").status);
    ASSERT_TRUE(waitUntil([&] { return running() == 1; }, 5s));
    const std::string settingsBefore = get("/global_config").body;
    const std::string channel2 = get("/channel2").body;
    blockTheConfigurationFile();

    EXPECT_EQ(500, post("/channel2", "memo=unsaved").status);
    EXPECT_EQ(channel2, get("/channel2").body);

    HttpReply settingsSave = post("/global_config", "auto_restart=42&login_pass=new", kFormHeader);
    EXPECT_EQ(500, settingsSave.status);
    EXPECT_FALSE(settingsSave.has("set-cookie"));
    EXPECT_NE(std::string::npos, settingsSave.body.find("could not be written"));
    EXPECT_EQ(settingsBefore, get("/global_config").body);  // the password too: no login asked

    // The removal leaves channel 2 running and channel 3 where it was.
    EXPECT_EQ(500, get("/channel3?remove").status);
    EXPECT_EQ(200, get("/channel3").status);
    EXPECT_EQ(500, get("/channel2?remove").status);
    EXPECT_EQ(1, running());

    HttpReply import = post("/import", "------b0undary\r\n\r\nAutoRestart 9\r\n------b0undary--\r\n",
                            "Content-Type: multipart/form-data; boundary=----b0undary\r\n");
    EXPECT_EQ(500, import.status);
    EXPECT_EQ(settingsBefore, get("/global_config").body);
    EXPECT_EQ(1, running());

    std::string log = serviceLog();
    size_t failedSaves = 0;
    for (size_t at = log.find("saving the configuration to " + confFile + " failed: ");
         at != std::string::npos; at = log.find("saving the configuration to", at + 1))
        failedSaves++;
    EXPECT_EQ(5u, failedSaves);
    EXPECT_NE(std::string::npos, log.find("importing a configuration failed"));

    // The next save that succeeds writes the table as it runs.
    unblockTheConfigurationFile();
    EXPECT_EQ(200, post("/channel2", "memo=saved&vx=640").status);
    std::string saved = readFile(confFile);
    EXPECT_NE(std::string::npos, saved.find("AutoRestart 0\n"));
    EXPECT_NE(std::string::npos, saved.find("in2.ts"));
    EXPECT_NE(std::string::npos, saved.find("in3.ts"));
    EXPECT_EQ(std::string::npos, saved.find("unsaved"));
}
