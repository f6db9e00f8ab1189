// orva_feed.h: one decoder of the continuity stage. A child ffmpeg reads
// the source or the backup and writes raw pictures and sound as NUT to a
// pipe; a thread of the launcher reads that pipe and the child's messages,
// and queues what came for the stage's clock to take.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "orva_watch.h"

struct AVPacket;

class Feed {
public:
    // `role` names the decoder in its notes ("source", "backup").
    explicit Feed(std::string role);
    ~Feed();
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;

    // Starts a decoder; `expected` is the canvas its pictures must fit once
    // it is fixed (sizes 0 while it is not). Call from the main thread.
    bool start(const std::string& program, const FfTokens& args, const FfCanvas& expected);
    // Kills the decoder, waits for the thread and reaps the child.
    void stop();
    // Reaps a decoder that ended by itself; true when it did just now.
    bool reap(int& status);
    bool running() const { return pid_ > 0; }
    void setExpected(const FfCanvas& expected);

    // What the decoder's stream header said, once it came.
    bool header(FfCanvas& shape);
    // Steady-clock nanoseconds of the last packet, 0 before the first one
    // of this run of the decoder.
    long long lastData() const { return lastData_.load(); }
    // This run of the decoder delivers: its first picture came, or for an
    // input without pictures (a radio stream), its first sound.
    bool delivering() const { return picturesSeen_.load() > 0 || (soundOnly_.load() && lastData_.load() != 0); }
    // Pictures that did not fit the canvas (the input changed its shape).
    bool misfit() const { return misfit_.load(); }

    // The oldest queued picture (its packet is the caller's), or nullptr.
    AVPacket* takePicture();
    // Copies up to `bytes` of queued sound into `out`; returns how many.
    size_t takeSound(uint8_t* out, size_t bytes);
    size_t queuedPictures();
    // Drops all but the newest `pictures` and the sound that goes with them,
    // so that a switch shows what comes live and not a backlog.
    void keepNewest(size_t pictures, size_t soundBytesPerPicture);
    // Drops everything queued.
    void clear() { keepNewest(0, 0); }

private:
    void readLoop(int data, int messages);
    void demux();
    int readSome(uint8_t* buffer, int size);
    void takeMessages(int fd);
    void note(const std::string& text);
    void queue(AVPacket* packet, bool picture);
    void learnRate(const AVPacket* packet);
    static int readPacketCallback(void* self, uint8_t* buffer, int size);

    std::string role_;
    pid_t pid_ = -1;
    std::thread reader_;
    int dataFd_ = -1;
    int messageFd_ = -1;
    std::string partialMessage_;
    std::string lastNote_;
    long long lastNoteAt_ = 0;
    long long windowStart_ = 0;
    int notesInWindow_ = 0;

    std::mutex mutex_;  // guards what follows
    FfCanvas expected_;
    FfCanvas shape_;
    bool hasHeader_ = false;
    int videoStream_ = -1, audioStream_ = -1;
    // A header without a frame rate leaves it to the first two pictures.
    int timeBaseNum_ = 0, timeBaseDen_ = 0;
    long long firstPts_ = 0;
    bool hasFirstPts_ = false;
    std::deque<AVPacket*> pictures_queue_;
    std::deque<AVPacket*> sound_;
    size_t soundOffset_ = 0;  // bytes of the front sound packet already taken
    size_t soundBytes_ = 0;
    long long dropped_ = 0;
    long long droppedNotedAt_ = 0;

    std::atomic<long long> lastData_{0};
    std::atomic<long long> picturesSeen_{0};
    std::atomic<bool> misfit_{false};
    std::atomic<bool> soundOnly_{false};
};

// Steady-clock nanoseconds.
long long steadyNanos();
