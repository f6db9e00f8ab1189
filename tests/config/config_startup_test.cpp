// Start-up of the real daemon: temporary files that killed saves left beside
// the configuration file are removed before the file is read.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "service/daemon_fixture.h"

namespace {

// A loopback TCP port nobody listens on, for the daemon's web server.
int unusedPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

}  // namespace

TEST_F(DaemonTest, StartUpRemovesTheTemporaryFilesOfKilledSaves) {
    const std::string etc = root + "/etc/orval";
    std::filesystem::create_directories(etc);
    writeFile(etc + "/orval.conf", "HTTPPort " + std::to_string(unusedPort()) + "\n");
    writeFile(etc + "/orval.conf.Ab12Zx", "half a configuration\n");
    writeFile(etc + "/orval.conf.bak", "the operator's copy\n");

    ASSERT_GT(startDaemon(), 0);
    EXPECT_FALSE(fileExists(etc + "/orval.conf.Ab12Zx"));
    EXPECT_TRUE(fileExists(etc + "/orval.conf.bak"));
    EXPECT_EQ(0, stopDaemon());
}
