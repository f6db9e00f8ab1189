// media.cpp: real ffmpeg and ffprobe for the end-to-end tests.
#include "e2e/media.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

extern char** environ;

namespace {

std::vector<char*> pointers(Args& args) {
    std::vector<char*> out;
    for (std::string& a : args)
        out.push_back(a.data());
    out.push_back(nullptr);
    return out;
}

// This process's environment with `added` ("NAME=value") in place of any
// variable of the same name.
std::vector<std::string> environmentWith(const std::vector<std::string>& added) {
    std::vector<std::string> all(added);
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view variable(*e);
        std::string_view name = variable.substr(0, variable.find('=') + 1);
        bool replaced = std::any_of(added.begin(), added.end(), [&](const std::string& a) {
            return std::string_view(a).starts_with(name);
        });
        if (!replaced)
            all.emplace_back(variable);
    }
    return all;
}

// Spawns `args` with standard output (and error when asked) into a pipe;
// with `inputFd`, its standard input is a pipe whose write end that gets.
pid_t spawnReading(Args args, int& readEnd, bool outToo, bool errToo,
                   const std::vector<std::string>& environment = {}, int* inputFd = nullptr) {
    int fds[2], in[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    if (inputFd != nullptr && pipe2(in, O_CLOEXEC) != 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inputFd != nullptr)
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outToo)
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (errToo)
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    pid_t pid = -1;
    std::vector<char*> argv = pointers(args);
    std::vector<std::string> variables = environmentWith(environment);
    std::vector<char*> envp = pointers(variables);
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    readEnd = fds[0];
    if (inputFd != nullptr) {
        close(in[0]);
        *inputFd = in[1];
    }
    return pid;
}

}  // namespace

std::string runProgram(const Args& args, bool withErrors) {
    int fd = -1;
    pid_t pid = spawnReading(args, fd, true, withErrors);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, n);
    close(fd);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    return text;
}

void makeClip(const std::string& path, double seconds, const std::string& size) {
    std::string length = std::to_string(seconds);
    runProgram({"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=25",
                "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-t", length, "-c:v", "libx264",
                "-preset", "veryfast", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "aac", path});
}

void makeExactClip(const std::string& path, double seconds, const std::string& size) {
    runProgram({"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=25",
                "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-t", std::to_string(seconds),
                "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0", "-pix_fmt", "yuv420p", "-c:a", "aac", path});
}

int probeKeyFrames(const std::string& path) {
    // Decoding only the key frames lists exactly those.
    std::string text = runProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-skip_frame", "nokey",
                                   "-show_entries", "frame=key_frame", "-of", "csv=p=0", path});
    return static_cast<int>(std::count(text.begin(), text.end(), '1'));
}

bool probeStartsWithKeyFrame(const std::string& path) {
    std::string text = runProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-read_intervals", "%+#1",
                                   "-show_entries", "frame=key_frame", "-of", "csv=p=0", path});
    return text.starts_with("1");
}

double measurePsnr(const std::string& distorted, const std::string& reference) {
    std::string text = runProgram({"ffmpeg", "-hide_banner", "-nostdin", "-i", distorted, "-i", reference, "-lavfi",
                                   "[0:v]setpts=PTS-STARTPTS[a];[1:v]setpts=PTS-STARTPTS[b];[a][b]psnr",
                                   "-f", "null", "-"}, true);
    size_t at = text.rfind("PSNR y:");
    at = at == std::string::npos ? at : text.find("average:", at);
    return at == std::string::npos ? 0 : std::atof(text.c_str() + at + 8);
}

double probeDuration(const std::string& path) {
    std::string text = runProgram({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                   "default=noprint_wrappers=1:nokey=1", path});
    return std::atof(text.c_str());
}

std::string probeCodecs(const std::string& path) {
    std::string text = runProgram({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of",
                                   "csv=p=0", path});
    // A transport stream lists its streams twice: in its program and alone.
    std::vector<std::string> names;
    std::istringstream lines(text);
    for (std::string name; std::getline(lines, name);)
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    std::string joined;
    for (const std::string& name : names)
        joined += (joined.empty() ? "" : ",") + name;
    return joined;
}

LineReader::LineReader(const Args& args, const SpawnOptions& options) : grace_(options.grace) {
    int fd = -1;
    bool feeds = !options.input.empty();
    pid_ = spawnReading(args, fd, options.outputToo, true, options.environment, feeds ? &inputFd_ : nullptr);
    // A line far below the pipe's capacity: one write takes it whole.
    if (pid_ > 0 && feeds && write(inputFd_, options.input.data(), options.input.size()) < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    reader_ = std::thread([this, fd] { readLoop(fd); });
}

LineReader::~LineReader() { stop(); }

int LineReader::stop() {
    int status = -1;
    if (pid_ > 0) {
        // ffmpeg waiting on an idle UDP socket may sit out its time-out first.
        kill(pid_, SIGINT);
        auto deadline = std::chrono::steady_clock::now() + grace_;
        pid_t ended;
        while ((ended = waitpid(pid_, &status, WNOHANG)) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                ended = waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        status = ended == pid_ ? status : -1;
        pid_ = -1;
    }
    if (inputFd_ >= 0)
        close(inputFd_);
    inputFd_ = -1;
    // A child the program left behind may hold the pipe open: the reader
    // gives up two seconds after the program ended.
    readUntil_ = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    if (reader_.joinable())
        reader_.join();
    return status;
}

std::vector<LineReader::Line> LineReader::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void LineReader::readLoop(int fd) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) == 0) {
            if (std::chrono::steady_clock::now() > readUntil_.load())
                break;
            continue;
        }
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        auto now = std::chrono::steady_clock::now();
        pending.append(buffer, n);
        for (size_t end; (end = pending.find_first_of("\r\n")) != std::string::npos;) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back({now, pending.substr(0, end)});
            pending.erase(0, end + 1);
        }
    }
    close(fd);
}

Args frameLoggerArgs(int port, int idleSeconds) {
    return {"ffmpeg", "-hide_banner", "-nostdin", "-analyzeduration", "500000", "-i",
            "udp://127.0.0.1:" + std::to_string(port) + "?timeout=" + std::to_string(idleSeconds * 1000000) + "&fifo_size=100000&overrun_nonfatal=1",
            "-vf", "showinfo", "-f", "null", "-"};
}
