// orva_fanout.h: the targets of shared encoders. The encoder writes each
// group's packets as NUT to a pipe; a reader thread per group hands them to
// the group's targets, each of which is a muxer ffmpeg of its own, fed by a
// writer thread through a queue that never makes the reader wait. A muxer
// that fails is reported once ("orval-alarm: raise target_down K REASON")
// and started again every few seconds from the next key frame; its first
// progress clears the alarm. See DESIGN.md for who owns what.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orva_rewrite.h"
#include "orva_share.h"

struct AVPacket;
struct AVCodecParameters;

class Fanout {
public:
    Fanout(const FfSharePlan& plan, std::string ffmpeg);
    ~Fanout();
    Fanout(const Fanout&) = delete;
    Fanout& operator=(const Fanout&) = delete;

    // Makes the group pipes; false when it cannot.
    bool open();
    // The write ends the encoder gets as its descriptors 4, 5, ...
    std::vector<int> encoderEnds() const;
    // Called once the encoder runs: closes the launcher's write ends and
    // starts reading. Main thread.
    void encoderStarted();
    // Reaps muxers that ended, starts those that are due, and writes the
    // alarm lines. Main thread, often (every tick or every 50 ms).
    void supervise(long long now);
    // After the encoder ended: lets every muxer write what is queued and
    // finish its output, within `graceMs`, then ends what is left.
    void finish(int graceMs);

private:
    struct Group;
    struct Target;
    void readGroup(Group& group);
    void deliver(Group& group, AVPacket* packet);
    void writeTarget(Target& target);
    void readMessages(Target& target, int fd);
    bool startTarget(Target& target, long long now);
    void endRun(Target& target);
    void reapTarget(Target& target, long long now);
    void updateAlarm(int number);

    FfSharePlan plan_;
    std::string ffmpeg_;
    std::vector<std::unique_ptr<Group>> groups_;
    std::vector<std::unique_ptr<Target>> targets_;
    bool finishing_ = false;
    bool raised_[6] = {};
};

// True for an option that libavformat knows as one of the muxer's or the
// address's protocol and libavcodec does not know: it goes to the target's muxer.
bool ffLibavMuxerOption(std::string_view name, const FfGroup& output);

// True when the input is a local file whose every picture stream decodes as
// yuv420p (a file without pictures counts too); false for anything else,
// and for every input with a format or options of its own.
bool ffLibavInputIsYuv420p(const FfGroup& input);

// Runs an unwatched line with shared encoders: the encoder ffmpeg on the
// planned line, the muxers of its targets, the service's SIGINT or SIGTERM
// passed to the encoder; returns the encoder's wait status, or -1 when it
// could not start.
int runShared(const FfPlan& plan, const std::string& ffmpeg);

