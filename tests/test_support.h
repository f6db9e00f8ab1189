// test_support.h: temporary folders, files and waiting helpers for the tests.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& content);
void writeExecutable(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
long fileSize(const std::string& path);

// Polls `done` every 10 ms until it holds or the time is up; returns its last value.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

// Fake transcoders: shell scripts that read their one line into "line.txt"
// beside themselves and then behave as `body` says.
std::string fakeTranscoder(const std::string& body);

// A free TCP (or, with SOCK_DGRAM, UDP) port, below the range the system
// gives outgoing connections: every test daemon listens on one of its own.
int freePort(int socketType = SOCK_STREAM);

// What a shell command prints on its standard output, or none when it did
// not exit with status 0.
std::optional<std::string> commandOutput(const std::string& command);
