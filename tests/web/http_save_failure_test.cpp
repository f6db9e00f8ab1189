// Saves that fail: each change that cannot be written is answered 500, said
// in the service log, and kept in memory for the next save that succeeds.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "web/web_fixture.h"

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

    std::string settings() const override {
        return channelBlock(2, dir / "in2.ts", 0) + channelBlock(3, dir / "in3.ts", 0);
    }
};

const std::string kFormHeader = "Content-Type: application/x-www-form-urlencoded\r\n";

}  // namespace

TEST_F(SaveFailureTest, EditSettingsRemovalAndImportAnswer500AndTheChangeStaysInMemory) {
    blockTheConfigurationFile();

    EXPECT_EQ(500, post("/channel2", "memo=unsaved").status);
    EXPECT_NE(std::string::npos, get("/channel2").body.find("unsaved"));

    EXPECT_EQ(500, post("/global_config", "auto_restart=42", kFormHeader).status);
    EXPECT_NE(std::string::npos, get("/global_config").body.find("\"autoRestart\": 42"));

    EXPECT_EQ(500, get("/channel3?remove").status);
    EXPECT_EQ(404, get("/channel3").status);

    HttpReply import = post("/import", "------b0undary\r\n\r\nAutoRestart 9\r\n------b0undary--\r\n",
                            "Content-Type: multipart/form-data; boundary=----b0undary\r\n");
    EXPECT_EQ(500, import.status);
    EXPECT_NE(std::string::npos, get("/global_config").body.find("\"autoRestart\": 42"));

    std::string log = serviceLog();
    size_t failedSaves = 0;
    for (size_t at = log.find("saving the configuration to " + confFile + " failed: ");
         at != std::string::npos; at = log.find("saving the configuration to", at + 1))
        failedSaves++;
    EXPECT_EQ(3u, failedSaves);
    EXPECT_NE(std::string::npos,
              log.find("importing a configuration failed: " + confFile + " cannot be replaced: "));

    // The next save that succeeds writes what the failed ones kept.
    unblockTheConfigurationFile();
    EXPECT_EQ(200, post("/channel2", "memo=saved&vx=640").status);
    std::string saved = readFile(confFile);
    EXPECT_NE(std::string::npos, saved.find("AutoRestart 42"));
    EXPECT_NE(std::string::npos, saved.find("in2.ts"));
    EXPECT_EQ(std::string::npos, saved.find("in3.ts"));
}
