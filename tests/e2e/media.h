// media.h: real ffmpeg and ffprobe for the end-to-end tests: clips made from
// lavfi sources, probes of what a channel wrote, and receivers on loopback.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Args = std::vector<std::string>;

// Runs a program to its end; returns its standard output (and error when asked).
std::string runProgram(const Args& args, bool withErrors = false);

// A clip of `seconds` of a test pattern and a tone: H.264 and AAC in MP4.
void makeClip(const std::string& path, double seconds, const std::string& size = "320x240");
// The same, with the picture stored losslessly: a reference for quality.
void makeExactClip(const std::string& path, double seconds, const std::string& size);
double probeDuration(const std::string& path);
// How many key frames the first video stream holds, and whether it opens with one.
int probeKeyFrames(const std::string& path);
bool probeStartsWithKeyFrame(const std::string& path);
// The mean PSNR (dB, all planes) of `distorted` against `reference`, both
// taken from their first picture; 0 when ffmpeg gives none.
double measurePsnr(const std::string& distorted, const std::string& reference);
// "h264,aac" for a file with those two streams.
std::string probeCodecs(const std::string& path);

// How a LineReader starts its program: what it is given on its standard
// input (held open until the program is stopped, as the service does), the
// variables added to its environment, and whether its standard output is read
// with its standard error, through one pipe, as the service reads a transcoder.
struct SpawnOptions {
    std::string input;
    std::vector<std::string> environment;  // "NAME=value"
    bool outputToo = false;
    // How long the program has after SIGINT before it gets SIGKILL.
    std::chrono::milliseconds grace = std::chrono::seconds(2);
};

// A program whose standard error is read line by line as it comes, each
// line ("\r" or "\n" ended) with the moment it arrived. Ended with SIGINT
// when destroyed.
class LineReader {
public:
    struct Line {
        std::chrono::steady_clock::time_point at;
        std::string text;
    };
    explicit LineReader(const Args& args, const SpawnOptions& options = {});
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    std::vector<Line> lines() const;
    // SIGINT, then SIGKILL after the grace; returns the wait status (-1 when already stopped).
    int stop();
    pid_t pid() const { return pid_; }

private:
    void readLoop(int fd);

    pid_t pid_ = -1;
    int inputFd_ = -1;
    std::chrono::milliseconds grace_;
    std::atomic<std::chrono::steady_clock::time_point> readUntil_{std::chrono::steady_clock::time_point::max()};
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    std::thread reader_;
};

// An ffmpeg that decodes udp://127.0.0.1:`port` and prints every frame it
// shows; it ends after `idleSeconds` without a packet.
Args frameLoggerArgs(int port, int idleSeconds);
