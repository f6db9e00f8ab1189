// media.h: real ffmpeg and ffprobe for the end-to-end tests: clips made from
// lavfi sources, probes of what a channel wrote, and receivers on loopback.
#pragma once

#include <sys/types.h>

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

// A program whose standard error is read line by line as it comes, each
// line with the moment it arrived. Ended with SIGINT when destroyed.
class LineReader {
public:
    struct Line {
        std::chrono::steady_clock::time_point at;
        std::string text;
    };
    explicit LineReader(const Args& args);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    std::vector<Line> lines() const;
    void stop();

private:
    void readLoop(int fd);

    pid_t pid_ = -1;
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    std::thread reader_;
};

// An ffmpeg that decodes udp://127.0.0.1:`port` and prints every frame it
// shows; it ends after `idleSeconds` without a packet.
Args frameLoggerArgs(int port, int idleSeconds);
