// test_support.cpp: helpers shared by the tests.
#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

TempDir::TempDir() {
    char pattern[] = "/tmp/orval-test-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void writeExecutable(const std::string& path, const std::string& content) {
    writeFile(path, content);
    chmod(path.c_str(), 0755);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

std::string fakeTranscoder(const std::string& body) {
    return "#!/bin/sh\n"
           "here=$(dirname \"$0\")\n"
           "IFS= read -r line\n"
           "printf '%s\\n' \"$line\" > \"$here/line.tmp\" && mv \"$here/line.tmp\" \"$here/line.txt\"\n" +
           body + "\n";
}

int freePort(int socketType) {
    int fd = socket(AF_INET, socketType | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

namespace {

struct PipeCloser {
    void operator()(FILE* f) const { pclose(f); }
};

}  // namespace

std::optional<std::string> commandOutput(const std::string& command) {
    std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "re"));
    if (!pipe)
        return std::nullopt;
    std::string output;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;)
        output.append(chunk, n);
    if (pclose(pipe.release()) != 0)
        return std::nullopt;
    return output;
}
