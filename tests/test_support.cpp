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
#include <random>
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

namespace {

// Binds a socket of the kind to the port on every address, as the daemon
// does; 0 asks the system for one. Returns the port bound, or -1.
int bindPort(int socketType, int port) {
    int fd = socket(AF_INET, socketType | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t size = sizeof address;
    int bound = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        bound = ntohs(address.sin_port);
    close(fd);
    return bound;
}

// The lowest port the system hands out to outgoing connections.
int firstEphemeralPort() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 0;
    return range >> low ? low : 32768;
}

}  // namespace

// A port the system hands out on its own can be taken a moment later by any
// outgoing connection, and the tests open thousands at once; so the port is
// chosen below that range, where only another test's choice can meet it.
int freePort(int socketType) {
    int low = 10000, high = firstEphemeralPort() - 1;
    if (high - low >= 1000) {
        thread_local std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(getpid()));
        std::uniform_int_distribution<int> pick(low, high);
        for (int attempt = 0; attempt < 100; attempt++) {
            int port = bindPort(socketType, pick(random));
            if (port > 0)
                return port;
        }
    }
    return bindPort(socketType, 0);
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
