// Start-up of the real daemon: temporary files that killed saves left beside
// the configuration file are removed before the file is read.
#include <filesystem>

#include "service/daemon_fixture.h"

TEST_F(DaemonTest, StartUpRemovesTheTemporaryFilesOfKilledSaves) {
    const std::string etc = root + "/etc/orval";
    std::filesystem::create_directories(etc);
    writeFile(etc + "/orval.conf", portLine());
    writeFile(etc + "/orval.conf.saving-Ab12Zx", "half a configuration\n");
    writeFile(etc + "/orval.conf.backup", "the operator's other copy\n");
    writeFile(etc + "/orval.conf.bak", "the operator's copy\n");

    ASSERT_GT(startDaemon(), 0);
    EXPECT_FALSE(fileExists(etc + "/orval.conf.saving-Ab12Zx"));
    EXPECT_TRUE(fileExists(etc + "/orval.conf.backup"));
    EXPECT_TRUE(fileExists(etc + "/orval.conf.bak"));
    EXPECT_EQ(0, stopDaemon());
}
