// web_fixture.cpp: starts and ends the daemon of a web test.
#include "web/web_fixture.h"

#include <filesystem>

void WebTest::SetUp() {
    DaemonTest::SetUp();
    writeFile(confFile, "# Kestova Configuration File\n\nAutoRestart 0\n" + portLine() + settings());
    ASSERT_GT(startDaemon(), 0);
}

void WebTest::TearDown() {
    if (!ended) {
        EXPECT_EQ(0, endDaemon());
    }
    EXPECT_EQ(std::string::npos, readFile(dir / "out.txt").find("Sanitizer"));
    DaemonTest::TearDown();
}

int WebTest::endDaemon() {
    ended = true;
    return stopDaemon();
}

HttpReply WebTest::get(const std::string& path, const std::string& extraHeaders) const {
    return httpExchange(port, httpRequest("GET", path, extraHeaders));
}

HttpReply WebTest::post(const std::string& path, const std::string& body,
                        const std::string& extraHeaders) const {
    return httpExchange(port, httpRequest("POST", path, extraHeaders, body));
}

std::string multipart(const std::string& file) {
    return "------b0undary\r\nContent-Disposition: form-data; name=\"file\"; "
           "filename=\"orval.conf\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
           file + "\r\n------b0undary--\r\n";
}

std::string channelBlock(int number, const std::string& source, int enable) {
    std::string n = std::to_string(number);
    return "<Channel" + n + ">\nEnable " + std::to_string(enable) +
           "\n<Input>\nNumInputs 1\n<Input1>\nFormat file\nFile \"" + source +
           "\"\n</Input1>\n</Input>\n<Output>\nNumOutputs 1\n<Output1>\nFormat udpts\n"
           "VideoEnable 1\nVideoCodec H264\nFile \"udp://127.0.0.1:5000\"\n</Output1>\n"
           "</Output>\n</Channel" + n + ">\n";
}
