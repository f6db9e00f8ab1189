// live.h: live sources and targets on loopback for the continuity tests: a
// sender whose picture tells its own frames apart, a socket that timestamps
// every datagram it receives, a real RTMP server, the real launcher on a
// composed line, and what a recorded target holds, frame by frame.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/media.h"
#include "engine/orva.h"

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to);

// A stretch of the sender's own time, in seconds from its first frame.
struct Window {
    double from = -1, to = -1;
};

// Stretches in which the sender's picture turns black, stands still, or its
// sound goes silent.
struct Content {
    Window black, frozen, silent;
};

// The sender's picture is flat, with chroma (U, V) = (200, 100) and a luma
// that counts its frames: 48 + (frame number mod 160). A receiver thus tells
// the source from anything else by colour and knows which of the sender's
// frames it shows. Black: luma 16–30, still changing; frozen: luma 100. Its
// sound is a 1 kHz tone at 48 kHz.
constexpr int kSourceU = 200, kSourceV = 100, kSourceLumaBase = 48, kSourceLumaCycle = 160;
// The backup clips' chroma, apart from the source's and from grey.
constexpr int kBackupU = 80, kBackupV = 190;

// ffmpeg sending that picture and sound at their real rate as MPEG-TS to
// `address` (udp:// or srt://…?mode=listener) and to udp://127.0.0.1:`watchPort`,
// which the test watches to know when the sender's time began.
Args senderArgs(const std::string& address, int watchPort, const Content& content = {});

// A clip of `seconds` of a flat picture of chroma (u, v) with a luma that
// changes in [luma, luma + 40), and a 440 Hz tone at 44.1 kHz: H.264 and AAC in MP4.
void makeColourClip(const std::string& path, double seconds, const std::string& size, int u, int v,
                    int luma = 60);

// A UDP socket on 127.0.0.1 that timestamps every datagram and, when given a
// file, appends each datagram to it: a recorded MPEG-TS target.
class DatagramRecorder {
public:
    struct Arrival {
        Clock::time_point at;
        long offset;  // of its first byte in the file
    };
    explicit DatagramRecorder(const std::string& file = "");
    ~DatagramRecorder();
    DatagramRecorder(const DatagramRecorder&) = delete;
    DatagramRecorder& operator=(const DatagramRecorder&) = delete;

    int port() const { return port_; }
    void stop();
    std::vector<Arrival> arrivals() const;
    // The longest time without a datagram after the first one, up to now
    // or to the stop; 0 before the second datagram.
    double largestGap() const;
    // When the datagram holding byte `offset` of the file arrived.
    std::optional<Clock::time_point> arrivalOf(long offset) const;
    // The first arrival at or after `from`.
    std::optional<Clock::time_point> firstFrom(Clock::time_point from) const;

private:
    void receiveLoop();

    int fd_ = -1;
    int port_ = 0;
    FILE* file_ = nullptr;
    long written_ = 0;
    bool stopping_ = false;
    Clock::time_point stoppedAt_{};
    mutable std::mutex mutex_;
    std::vector<Arrival> arrivals_;
    std::thread receiver_;
};

// nginx with its RTMP module on a free port of 127.0.0.1, under `folder`,
// one application "live". Each publishing session logs one "publish:" line.
class RtmpServer {
public:
    explicit RtmpServer(const std::string& folder);
    ~RtmpServer();
    // Stops the server, and starts it again on the same port.
    void stop();
    bool start();
    RtmpServer(const RtmpServer&) = delete;
    RtmpServer& operator=(const RtmpServer&) = delete;

    bool ready() const { return ready_; }
    std::string address(const std::string& stream) const;
    int publishSessions() const;
    std::string log() const;

private:
    std::string folder_;
    int port_;
    bool ready_ = false;
    std::optional<LineReader> nginx_;
};

// The line the engine composes for channel 1 (slot 0) with one input and the
// given targets; "" when it refuses them.
std::string composeLine(const ORVA_INPUT_TAG& input, const std::vector<ORVA_OUTPUT_TAG>& targets);
// A target writing H.264 and AAC at the given rates, of `width`x`height` when
// not 0 (otherwise the source's size).
ORVA_OUTPUT_TAG encodedTarget(int format, const char* address, int width = 0, int height = 0,
                              const char* options = nullptr);

// The settings the service passes the launcher of a channel.
struct ChannelSettings {
    std::string backup;        // ORVAL_BACKUP, none when empty
    int sourceTimeoutMs = 0;   // ORVAL_SOURCE_TIMEOUT, absent when 0
    int blackSec = -1, frozenSec = -1, silentSec = -1;  // ORVAL_ALARM_*, absent when < 0
    std::string targets = {};  // ORVAL_TARGETS, absent when empty
};

// The built launcher run as the service runs it: the token and `line` on its
// standard input, the settings in its environment, its standard output and
// error read through one pipe. SIGINT ends it, as the service's stop does.
SpawnOptions launcherOptions(const std::string& line, const ChannelSettings& settings);

struct Alarm {
    Clock::time_point at;
    bool raised;
    std::string kind;
    int target = 0;       // of a target's alarm
    std::string reason;   // of a raised target's alarm
};
// The "orval-alarm: raise|clear KIND [TARGET [REASON]]" lines of a launcher's output, in order.
std::vector<Alarm> alarmsOf(const LineReader& launcher);
std::string describe(const std::vector<Alarm>& alarms, Clock::time_point origin);
// The launcher's output lines that are neither progress nor alarms, for messages.
std::string notesOf(const LineReader& launcher, size_t most = 40);

// Every process below `pid` now, and whether a process still runs (a zombie
// does not).
std::set<pid_t> descendantsOf(pid_t pid);
bool alive(pid_t pid);

// What a recorded target decodes to, frame by frame in presentation order.
struct PictureFrame {
    double pts;
    long pos;  // of its packet in the file
    int width, height;
    int y, u, v;  // mean of each plane
};
struct SoundFrame {
    double pts;
    int samples, rate;
    std::string layout;
    double rms;  // dB, -inf for silence
};
struct Decoded {
    std::vector<PictureFrame> pictures;
    std::vector<SoundFrame> sounds;
};
Decoded decodeFrames(const std::string& path);
int probePrograms(const std::string& path);

enum class Shows { source, backup, other };
Shows shows(const PictureFrame& frame);
// The sender's frame number a source picture shows, mod kSourceLumaCycle.
int sourceFrameNumber(const PictureFrame& frame);

// Everything wrong with the timing and format of what was received: picture
// and sound timestamps strictly increasing with no step over two frame
// durations, one size and rate, one sound format. Empty when all is well.
std::string continuityFaults(const Decoded& decoded, double frameRate);
