// orva_feed.cpp: a decoder child and the thread that reads its pipes.
//
// DESIGN: the decoder writes to two pipes that this Feed alone reads: its
// standard output (NUT) and its standard error (messages). Both read ends
// are closed by the reader thread when it ends, which it does once the
// child's write ends are gone, that is once the child has died. stop()
// therefore kills the child first, then joins the thread, then reaps the
// pid. The queues are the only state shared with the stage's clock; a
// queue that grows past a second is cut from its old end and the cut is
// noted, so a decoder never waits on the stage.
#include "orva_feed.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/rational.h>
}

#include "orva_content.h"
#include "orva_spawn.h"

namespace {

constexpr int kIoBufferBytes = 1 << 18;
constexpr long long kSecond = 1000000000LL;
// The same message again within this time is not repeated.
constexpr long long kRepeatQuiet = 30 * kSecond;
constexpr long long kDropNoteEvery = 10 * kSecond;
// A decoder joining a stream complains about every picture until the next
// key frame; a few of its messages tell as much as all of them.
constexpr long long kNoteWindow = 10 * kSecond;
constexpr int kNotesPerWindow = 8;

void closeFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

int pictureBytes(const FfCanvas& canvas) {
    return av_image_get_buffer_size(AV_PIX_FMT_YUV420P, canvas.width, canvas.height, 1);
}

// The canvas a decoder's NUT header describes.
void shapeOf(const AVFormatContext* format, FfCanvas& shape, int& video, int& audio) {
    for (unsigned i = 0; i < format->nb_streams; i++) {
        const AVStream* stream = format->streams[i];
        const AVCodecParameters* par = stream->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && video < 0 && par->codec_id == AV_CODEC_ID_RAWVIDEO) {
            video = static_cast<int>(i);
            shape.width = par->width;
            shape.height = par->height;
            AVRational rate = av_inv_q(stream->time_base);
            if (rate.num > 0 && rate.den > 0 && av_q2d(rate) >= 1 && av_q2d(rate) <= 120) {
                shape.rateNum = rate.num;
                shape.rateDen = rate.den;
            }
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && audio < 0 && par->codec_id == AV_CODEC_ID_PCM_S16LE) {
            audio = static_cast<int>(i);
            shape.sampleRate = par->sample_rate;
            shape.channels = par->ch_layout.nb_channels;
        }
    }
}

}  // namespace

long long steadyNanos() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * kSecond + t.tv_nsec;
}

Feed::Feed(std::string role) : role_(std::move(role)) {}

Feed::~Feed() {
    stop();
    clear();
}

bool Feed::start(const std::string& program, const FfTokens& args, const FfCanvas& expected) {
    stop();
    int data[2], messages[2];
    if (!makeMediaPipe(data))
        return false;
    if (pipe2(messages, O_CLOEXEC) != 0) {
        close(data[0]);
        close(data[1]);
        return false;
    }
    FfTokens argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawnChild(argv, {data[1], messages[1], -1});
    int forkErrno = errno;
    close(data[1]);
    close(messages[1]);
    if (pid_ < 0) {
        close(data[0]);
        close(messages[0]);
        note("cannot start its decoder (" + std::string(std::strerror(forkErrno)) + ")");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        expected_ = expected;
        hasHeader_ = false;
        shape_ = FfCanvas{};
        videoStream_ = audioStream_ = -1;
    }
    clear();
    lastData_ = 0;
    picturesSeen_ = 0;
    soundOnly_ = false;
    misfit_ = false;
    // The service's stop signals are the main thread's to take.
    sigset_t stops, previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    reader_ = std::thread(&Feed::readLoop, this, data[0], messages[0]);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

void Feed::stop() {
    if (pid_ > 0)
        kill(pid_, SIGKILL);
    if (reader_.joinable())
        reader_.join();
    if (pid_ > 0) {
        int status;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
}

bool Feed::reap(int& status) {
    if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_)
        return false;
    pid_ = -1;
    // Its pipes' write ends died with it, so the thread ends on its own.
    if (reader_.joinable())
        reader_.join();
    return true;
}

void Feed::setExpected(const FfCanvas& expected) {
    std::lock_guard<std::mutex> lock(mutex_);
    expected_ = expected;
}

bool Feed::header(FfCanvas& shape) {
    std::lock_guard<std::mutex> lock(mutex_);
    shape = shape_;
    return hasHeader_;
}

AVPacket* Feed::takePicture() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pictures_queue_.empty())
        return nullptr;
    AVPacket* packet = pictures_queue_.front();
    pictures_queue_.pop_front();
    return packet;
}

size_t Feed::takeSound(uint8_t* out, size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t taken = 0;
    while (taken < bytes && !sound_.empty()) {
        AVPacket* front = sound_.front();
        size_t n = std::min(bytes - taken, static_cast<size_t>(front->size) - soundOffset_);
        std::memcpy(out + taken, front->data + soundOffset_, n);
        taken += n;
        soundOffset_ += n;
        if (soundOffset_ == static_cast<size_t>(front->size)) {
            av_packet_free(&front);
            sound_.pop_front();
            soundOffset_ = 0;
        }
    }
    soundBytes_ -= taken;
    return taken;
}

size_t Feed::queuedPictures() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pictures_queue_.size();
}

void Feed::keepNewest(size_t pictures, size_t soundBytesPerPicture) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (pictures_queue_.size() > pictures) {
        av_packet_free(&pictures_queue_.front());
        pictures_queue_.pop_front();
    }
    size_t keep = pictures * soundBytesPerPicture;
    while (soundBytes_ > keep && !sound_.empty()) {
        AVPacket* front = sound_.front();
        size_t left = static_cast<size_t>(front->size) - soundOffset_;
        // Whole packets go; the newest that must be cut keeps its whole sample frames.
        if (soundBytes_ - left >= keep) {
            soundBytes_ -= left;
            av_packet_free(&front);
            sound_.pop_front();
            soundOffset_ = 0;
            continue;
        }
        size_t frame = static_cast<size_t>(std::max(1, shape_.channels) * 2);
        size_t cut = (soundBytes_ - keep) / frame * frame;
        soundOffset_ += cut;
        soundBytes_ -= cut;
        break;
    }
}

void Feed::readLoop(int data, int messages) {
    dataFd_ = data;
    messageFd_ = messages;
    demux();
    // The decoder's last words come after its stream ends.
    while (messageFd_ >= 0) {
        pollfd p{messageFd_, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            break;
        takeMessages(messageFd_);
    }
    closeFd(dataFd_);
    closeFd(messageFd_);
}

int Feed::readPacketCallback(void* self, uint8_t* buffer, int size) {
    return static_cast<Feed*>(self)->readSome(buffer, size);
}

// Reads stream bytes, taking the decoder's messages as they come meanwhile.
int Feed::readSome(uint8_t* buffer, int size) {
    for (;;) {
        pollfd p[2] = {{dataFd_, POLLIN, 0}, {messageFd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return AVERROR(errno);
        }
        if (p[1].revents != 0)
            takeMessages(messageFd_);
        if (p[0].revents == 0)
            continue;
        ssize_t n = read(dataFd_, buffer, static_cast<size_t>(size));
        if (n > 0)
            return static_cast<int>(n);
        if (n == 0)
            return AVERROR_EOF;
        if (errno != EINTR)
            return AVERROR(errno);
    }
}

void Feed::demux() {
    const AVInputFormat* nut = av_find_input_format("nut");
    AVFormatContext* format = avformat_alloc_context();
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    AVIOContext* io = format && buffer
        ? avio_alloc_context(buffer, kIoBufferBytes, 0, this, &Feed::readPacketCallback, nullptr, nullptr)
        : nullptr;
    if (!io) {
        av_free(buffer);
        avformat_free_context(format);
        note("out of memory for its stream");
        return;
    }
    format->pb = io;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&format, nullptr, nut, nullptr) == 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shapeOf(format, shape_, videoStream_, audioStream_);
            hasHeader_ = true;
            soundOnly_ = videoStream_ < 0 && audioStream_ >= 0;
            if (videoStream_ >= 0) {
                timeBaseNum_ = format->streams[videoStream_]->time_base.num;
                timeBaseDen_ = format->streams[videoStream_]->time_base.den;
            }
            hasFirstPts_ = false;
        }
        AVPacket* packet = av_packet_alloc();
        while (packet && av_read_frame(format, packet) >= 0) {
            lastData_ = steadyNanos();
            if (packet->stream_index == videoStream_ || packet->stream_index == audioStream_)
                queue(av_packet_clone(packet), packet->stream_index == videoStream_);
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        avformat_close_input(&format);
    }
    av_freep(&io->buffer);
    avio_context_free(&io);
}

void Feed::queue(AVPacket* packet, bool picture) {
    if (!packet)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (picture) {
        const FfCanvas& fit = expected_.hasSize() ? expected_ : shape_;
        if (packet->size != pictureBytes(fit)) {
            misfit_ = true;
            av_packet_free(&packet);
            return;
        }
        learnRate(packet);
        picturesSeen_++;
        pictures_queue_.push_back(packet);
    } else {
        soundBytes_ += static_cast<size_t>(packet->size);
        sound_.push_back(packet);
    }
    // Two seconds of backlog at most (a decoder starts with a burst of what
    // it probed): the stage shows live, not late.
    int rate = 2 * (shape_.hasRate() ? (shape_.rateNum + shape_.rateDen - 1) / shape_.rateDen : 25);
    size_t soundLimit = static_cast<size_t>(std::max(1, shape_.sampleRate) * std::max(1, shape_.channels) * 4);
    bool over = pictures_queue_.size() > static_cast<size_t>(rate) || soundBytes_ > soundLimit;
    if (!over)
        return;
    long long now = steadyNanos();
    dropped_++;
    if (pictures_queue_.size() > static_cast<size_t>(rate)) {
        av_packet_free(&pictures_queue_.front());
        pictures_queue_.pop_front();
    }
    while (soundBytes_ > soundLimit && !sound_.empty()) {
        soundBytes_ -= static_cast<size_t>(sound_.front()->size) - soundOffset_;
        av_packet_free(&sound_.front());
        sound_.pop_front();
        soundOffset_ = 0;
    }
    if (now - droppedNotedAt_ >= kDropNoteEvery) {
        droppedNotedAt_ = now;
        writeLine(inputLine(role_ + ": dropped " + std::to_string(dropped_) +
                            " packets so far: the stage takes them slower than they come"));
    }
}

// Caller holds the mutex. The frame rate as the step between the first two
// pictures, for a decoder whose header did not say it.
void Feed::learnRate(const AVPacket* packet) {
    if (shape_.hasRate() || packet->pts == AV_NOPTS_VALUE || timeBaseNum_ <= 0 || timeBaseDen_ <= 0)
        return;
    if (!hasFirstPts_) {
        firstPts_ = packet->pts;
        hasFirstPts_ = true;
        return;
    }
    long long step = packet->pts - firstPts_;
    int num = 0, den = 0;
    if (step <= 0 || !av_reduce(&num, &den, timeBaseDen_, static_cast<int64_t>(timeBaseNum_) * step, 1000000))
        return;
    if (den > 0 && num >= den && num <= 120LL * den) {
        shape_.rateNum = num;
        shape_.rateDen = den;
    }
}

void Feed::takeMessages(int fd) {
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        if (n == 0 || errno != EINTR) {
            if (!partialMessage_.empty())
                note(partialMessage_);
            partialMessage_.clear();
            closeFd(messageFd_);
        }
        return;
    }
    ffSplitLines(partialMessage_, buffer, static_cast<size_t>(n), 4000, [this](const std::string& line) { note(line); });
}

void Feed::note(const std::string& text) {
    long long now = steadyNanos();
    if (text == lastNote_ && now - lastNoteAt_ < kRepeatQuiet)
        return;
    lastNote_ = text;
    lastNoteAt_ = now;
    if (now - windowStart_ >= kNoteWindow) {
        windowStart_ = now;
        notesInWindow_ = 0;
    }
    if (++notesInWindow_ > kNotesPerWindow) {
        if (notesInWindow_ == kNotesPerWindow + 1)
            writeLine(inputLine(role_ + ": further messages of its decoder are left out for a while"));
        return;
    }
    writeLine(inputLine(role_ + ": " + text));
}
