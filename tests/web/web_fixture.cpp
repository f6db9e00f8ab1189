// web_fixture.cpp: starts and ends the daemon of a web test.
#include "web/web_fixture.h"

#include <filesystem>

void WebTest::SetUp() {
    DaemonTest::SetUp();
    std::filesystem::create_directories(root + "/etc/orval");
    port = freePort();
    ASSERT_GT(port, 0);
    writeFile(confFile, "# Kestova Configuration File\n\nAutoRestart 0\nHTTPPort " +
                            std::to_string(port) + "\n" + settings());
    ASSERT_GT(startDaemon(), 0);
}

void WebTest::TearDown() {
    EXPECT_EQ(0, stopDaemon());
    EXPECT_EQ(std::string::npos, readFile(dir / "out.txt").find("Sanitizer"));
    DaemonTest::TearDown();
}

HttpReply WebTest::get(const std::string& path, const std::string& extraHeaders) const {
    return httpExchange(port, httpRequest("GET", path, extraHeaders));
}

HttpReply WebTest::post(const std::string& path, const std::string& body,
                        const std::string& extraHeaders) const {
    return httpExchange(port, httpRequest("POST", path, extraHeaders, body));
}
