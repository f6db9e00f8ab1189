// orva_fanout.cpp: the group readers, the targets' muxers and their alarms.
//
// DESIGN (see also DESIGN.md): only the main thread forks, reaps and writes
// alarm lines. A group's reader thread only demuxes and queues; a target's
// writer thread only muxes what is queued into the muxer's pipe (it may
// block there, which stops nobody else); its message thread only reads the
// muxer's messages. One mutex guards the queues and the flags they share.
#include "orva_fanout.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "orva_content.h"
#include "orva_feed.h"
#include "orva_spawn.h"

namespace {

constexpr long long kMs = 1000000LL;
constexpr int kIoBufferBytes = 1 << 16;
// A target whose muxer takes nothing for this many packets (seconds of a
// stream) has its queue dropped and starts again at the next key frame.
constexpr size_t kMostQueuedPackets = 2000;
constexpr size_t kMostQueuedBytes = 96u << 20;
constexpr size_t kMessagesKept = 12;
// The packets since the last key frame, which a new run starts with; a
// longer group of pictures than this is not kept.
constexpr size_t kMostKeptPackets = 1500;
constexpr size_t kMostKeptBytes = 64u << 20;

void closeFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Starts a thread that leaves the service's stop signals to the main thread.
template <typename F>
std::thread quietThread(F function) {
    sigset_t stops, previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    std::thread thread(function);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

int readFd(void* opaque, uint8_t* buffer, int size) {
    int fd = *static_cast<int*>(opaque);
    for (;;) {
        ssize_t n = read(fd, buffer, static_cast<size_t>(size));
        if (n > 0)
            return static_cast<int>(n);
        if (n < 0 && errno == EINTR)
            continue;
        return AVERROR_EOF;
    }
}

int writeFd(void* opaque, uint8_t* buffer, int size) {
    int fd = *static_cast<int*>(opaque);
    int done = 0;
    while (done < size) {
        ssize_t n = write(fd, buffer + done, static_cast<size_t>(size - done));
        if (n > 0)
            done += static_cast<int>(n);
        else if (!(n < 0 && errno == EINTR))
            return AVERROR(errno ? errno : EPIPE);
    }
    return size;
}

AVIOContext* fdContext(int* fd, bool writing) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    AVIOContext* io = buffer ? avio_alloc_context(buffer, kIoBufferBytes, writing ? 1 : 0, fd,
                                                  writing ? nullptr : readFd, writing ? writeFd : nullptr, nullptr)
                             : nullptr;
    if (!io)
        av_free(buffer);
    return io;
}

void freeContext(AVFormatContext*& format, bool input) {
    if (!format)
        return;
    AVIOContext* io = format->pb;
    if (input)
        avformat_close_input(&format);
    else
        avformat_free_context(format);
    format = nullptr;
    if (io) {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
}

bool isProgress(const std::string& line) {
    return (line.starts_with("frame=") || line.starts_with("size=")) && line.find("time=") != std::string::npos;
}

}  // namespace

struct Fanout::Group {
    FfShareGroup planned;
    int readFd = -1, writeFd = -1;
    std::thread reader;
    // Guarded by the Fanout's mutex from here on.
    std::vector<AVCodecParameters*> params;
    std::vector<AVRational> timeBases;
    bool ready = false;
    bool ended = false;
    bool pictures = false;
    // Since the last key frame: a run that starts now begins there.
    std::deque<AVPacket*> sinceKey;
    size_t sinceKeyBytes = 0;

    void forgetKey() {
        for (AVPacket*& packet : sinceKey)
            av_packet_free(&packet);
        sinceKey.clear();
        sinceKeyBytes = 0;
    }
    ~Group() {
        forgetKey();
        for (AVCodecParameters*& p : params)
            avcodec_parameters_free(&p);
    }
};

struct Fanout::Target {
    FfShareTarget planned;
    pid_t pid = -1;
    int inFd = -1;
    std::thread writer, messages;
    std::condition_variable wake;
    // Guarded by the Fanout's mutex.
    std::deque<AVPacket*> queue;
    size_t queuedBytes = 0;
    bool accepting = false;   // a run takes packets
    bool waitKey = true;      // ... from the next key frame on
    bool stopRun = false;
    bool endOfStream = false;
    bool opened = false;      // its first progress came
    std::vector<std::string> lines;
    // Main thread only.
    bool down = false;
    bool done = false;
    long long restartAt = 0;

    void clearQueue() {
        for (AVPacket*& packet : queue)
            av_packet_free(&packet);
        queue.clear();
        queuedBytes = 0;
    }
};

namespace {
std::mutex g_fanoutMutex;
}

Fanout::Fanout(const FfSharePlan& plan, std::string ffmpeg) : plan_(plan), ffmpeg_(std::move(ffmpeg)) {
    for (const FfShareGroup& planned : plan_.groups) {
        groups_.push_back(std::make_unique<Group>());
        groups_.back()->planned = planned;
    }
    for (const FfShareTarget& planned : plan_.targets) {
        targets_.push_back(std::make_unique<Target>());
        targets_.back()->planned = planned;
    }
}

Fanout::~Fanout() { finish(0); }

bool Fanout::open() {
    for (auto& group : groups_) {
        int fds[2];
        if (!makeMediaPipe(fds))
            return false;
        group->readFd = fds[0];
        group->writeFd = fds[1];
    }
    return true;
}

std::vector<int> Fanout::encoderEnds() const {
    std::vector<int> ends;
    for (const auto& group : groups_)
        ends.push_back(group->writeFd);
    return ends;
}

void Fanout::encoderStarted() {
    for (auto& group : groups_) {
        closeFd(group->writeFd);
        Group* g = group.get();
        group->reader = quietThread([this, g] { readGroup(*g); });
    }
}

void Fanout::readGroup(Group& group) {
    AVFormatContext* input = avformat_alloc_context();
    AVIOContext* io = input ? fdContext(&group.readFd, false) : nullptr;
    bool opened = false;
    if (io) {
        input->pb = io;
        input->flags |= AVFMT_FLAG_CUSTOM_IO;
        opened = avformat_open_input(&input, nullptr, av_find_input_format("nut"), nullptr) == 0;
        if (!opened) {  // avformat_open_input freed the context, not our I/O
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }
    if (opened) {
        {
            std::lock_guard<std::mutex> lock(g_fanoutMutex);
            for (unsigned i = 0; i < input->nb_streams; i++) {
                AVCodecParameters* par = avcodec_parameters_alloc();
                if (par)
                    avcodec_parameters_copy(par, input->streams[i]->codecpar);
                group.params.push_back(par);
                group.timeBases.push_back(input->streams[i]->time_base);
                group.pictures |= input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
            }
            group.ready = true;
        }
        AVPacket* packet = av_packet_alloc();
        while (packet && av_read_frame(input, packet) >= 0) {
            deliver(group, packet);
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    {
        std::lock_guard<std::mutex> lock(g_fanoutMutex);
        group.ended = true;
        for (size_t t : group.planned.targets) {
            targets_[t]->endOfStream = true;
            targets_[t]->wake.notify_all();
        }
    }
    // The encoder must never wait on this pipe, whatever came through it.
    uint8_t sink[4096];
    for (;;) {
        ssize_t n = read(group.readFd, sink, sizeof sink);
        if (n == 0 || (n < 0 && errno != EINTR))
            break;
    }
    if (opened)
        freeContext(input, true);
    else if (input)
        avformat_free_context(input);
    closeFd(group.readFd);
}

void Fanout::deliver(Group& group, AVPacket* packet) {
    std::lock_guard<std::mutex> lock(g_fanoutMutex);
    if (packet->stream_index < 0 || static_cast<size_t>(packet->stream_index) >= group.params.size())
        return;
    bool keyPicture = group.params[packet->stream_index]->codec_type == AVMEDIA_TYPE_VIDEO &&
                      (packet->flags & AV_PKT_FLAG_KEY);
    if (group.pictures && keyPicture)
        group.forgetKey();
    bool keep = group.pictures && (keyPicture || !group.sinceKey.empty()) &&
                group.sinceKey.size() < kMostKeptPackets && group.sinceKeyBytes < kMostKeptBytes;
    if (keep) {
        if (AVPacket* kept = av_packet_clone(packet)) {
            group.sinceKey.push_back(kept);
            group.sinceKeyBytes += static_cast<size_t>(kept->size);
        }
    } else if (!group.sinceKey.empty() && !keyPicture) {
        group.forgetKey();  // too long a group of pictures to keep
    }
    for (size_t t : group.planned.targets) {
        Target& target = *targets_[t];
        if (!target.accepting)
            continue;
        if (target.queue.size() >= kMostQueuedPackets || target.queuedBytes >= kMostQueuedBytes) {
            target.clearQueue();
            target.waitKey = true;
        }
        if (target.waitKey && group.pictures && !keyPicture)
            continue;
        target.waitKey = false;
        AVPacket* copy = av_packet_clone(packet);
        if (!copy)
            continue;
        target.queue.push_back(copy);
        target.queuedBytes += static_cast<size_t>(copy->size);
        target.wake.notify_one();
    }
}

// One run of a muxer: NUT with the group's streams, the queue's packets in
// order, the trailer at the end of the stream.
void Fanout::writeTarget(Target& target) {
    Group& group = *groups_[target.planned.group];
    AVFormatContext* output = nullptr;
    bool healthy = avformat_alloc_output_context2(&output, nullptr, "nut", nullptr) >= 0;
    if (healthy) {
        output->pb = fdContext(&target.inFd, true);
        output->flags |= AVFMT_FLAG_CUSTOM_IO;
        std::lock_guard<std::mutex> lock(g_fanoutMutex);
        for (size_t i = 0; healthy && i < group.params.size(); i++) {
            AVStream* stream = avformat_new_stream(output, nullptr);
            healthy = stream && group.params[i] && avcodec_parameters_copy(stream->codecpar, group.params[i]) >= 0;
            if (healthy) {
                stream->codecpar->codec_tag = 0;
                stream->time_base = group.timeBases[i];
            }
        }
    }
    // Without syncpoints, as every NUT stream of the pipeline: the muxer's
    // reader would index each one for as long as it runs.
    AVDictionary* options = nullptr;
    if (healthy) {
        output->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
        av_dict_set(&options, "syncpoints", "none", 0);
    }
    healthy = healthy && output->pb && avformat_write_header(output, &options) >= 0;
    av_dict_free(&options);
    bool ended = false;
    while (healthy) {
        AVPacket* packet = nullptr;
        {
            std::unique_lock<std::mutex> lock(g_fanoutMutex);
            target.wake.wait(lock, [&] { return target.stopRun || !target.queue.empty() || target.endOfStream; });
            if (target.stopRun)
                break;
            if (target.queue.empty()) {
                ended = true;
                break;
            }
            packet = target.queue.front();
            target.queue.pop_front();
            target.queuedBytes -= static_cast<size_t>(packet->size);
        }
        AVRational from = group.timeBases[packet->stream_index];
        av_packet_rescale_ts(packet, from, output->streams[packet->stream_index]->time_base);
        healthy = av_write_frame(output, packet) >= 0;
        avio_flush(output->pb);
        healthy = healthy && output->pb->error >= 0;
        av_packet_free(&packet);
    }
    if (ended && healthy)
        av_write_trailer(output);
    {
        std::lock_guard<std::mutex> lock(g_fanoutMutex);
        target.accepting = false;
        target.clearQueue();
    }
    // The muxer sees the end of its input and finishes its output.
    closeFd(target.inFd);
    freeContext(output, false);
}

void Fanout::readMessages(Target& target, int fd) {
    std::string partial;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        ffSplitLines(partial, buffer, static_cast<size_t>(n), sizeof buffer, [&](const std::string& line) {
            std::lock_guard<std::mutex> lock(g_fanoutMutex);
            if (isProgress(line)) {
                target.opened = true;
                return;
            }
            target.lines.push_back(line);
            if (target.lines.size() > kMessagesKept)
                target.lines.erase(target.lines.begin());
        });
    }
    close(fd);
}

bool Fanout::startTarget(Target& target, long long now) {
    int in[2], messages[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (pipe2(messages, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    FfTokens argv = {ffmpeg_};
    argv.insert(argv.end(), target.planned.muxerArgs.begin(), target.planned.muxerArgs.end());
    target.pid = spawnChild(argv, {messages[1], messages[1], -1, {}, in[0]});
    close(in[0]);
    close(messages[1]);
    if (target.pid < 0) {
        close(in[1]);
        close(messages[0]);
        target.restartAt = now + kTargetRetrySeconds * 1000 * kMs;
        return false;
    }
    target.inFd = in[1];
    {
        std::lock_guard<std::mutex> lock(g_fanoutMutex);
        target.clearQueue();
        // The run begins with the last key frame and what followed it, so a
        // target starts (and comes back) at once, not at the next key frame.
        Group& group = *groups_[target.planned.group];
        for (const AVPacket* kept : group.sinceKey) {
            if (AVPacket* copy = av_packet_clone(kept)) {
                target.queue.push_back(copy);
                target.queuedBytes += static_cast<size_t>(copy->size);
            }
        }
        target.accepting = true;
        target.waitKey = target.queue.empty();
        target.stopRun = false;
        target.endOfStream = groups_[target.planned.group]->ended;
        target.opened = false;
        target.lines.clear();
    }
    Target* t = &target;
    int fd = messages[0];
    target.writer = quietThread([this, t] { writeTarget(*t); });
    target.messages = quietThread([this, t, fd] { readMessages(*t, fd); });
    return true;
}

// Ends the threads of a muxer that is gone (reaped or killed).
void Fanout::endRun(Target& target) {
    {
        std::lock_guard<std::mutex> lock(g_fanoutMutex);
        target.stopRun = true;
        target.accepting = false;
        target.wake.notify_all();
    }
    if (target.writer.joinable())
        target.writer.join();
    if (target.messages.joinable())
        target.messages.join();
    target.pid = -1;
}

void Fanout::reapTarget(Target& target, long long now) {
    int status;
    if (target.pid <= 0 || waitpid(target.pid, &status, WNOHANG) != target.pid)
        return;
    endRun(target);
    if (finishing_)
        return;
    // A muxer that ends well (its own "-t", say) has done what it was asked.
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        target.done = true;
        return;
    }
    target.restartAt = now + kTargetRetrySeconds * 1000 * kMs;
    target.down = true;
    int number = target.planned.number;
    if (number >= 1 && number <= 5 && !raised_[number]) {
        std::vector<std::string> lines;
        {
            std::lock_guard<std::mutex> lock(g_fanoutMutex);
            lines = target.lines;
        }
        raised_[number] = true;
        writeLine(targetDownLine(true, number, muxerReason(lines, target.planned.address, status)));
    }
}

// Clears a target's alarm once every output it has runs again.
void Fanout::updateAlarm(int number) {
    if (number < 1 || number > 5 || !raised_[number])
        return;
    for (const auto& target : targets_)
        if (target->planned.number == number && target->down)
            return;
    raised_[number] = false;
    writeLine(targetDownLine(false, number, ""));
}

void Fanout::supervise(long long now) {
    if (finishing_)
        return;
    for (auto& target : targets_) {
        reapTarget(*target, now);
        bool ready;
        {
            std::lock_guard<std::mutex> lock(g_fanoutMutex);
            ready = groups_[target->planned.group]->ready && !groups_[target->planned.group]->ended;
            if (target->pid > 0 && target->opened && target->down) {
                target->down = false;
                target->opened = true;
            }
        }
        if (!target->down)
            updateAlarm(target->planned.number);
        if (target->pid < 0 && !target->done && ready && now >= target->restartAt && !startTarget(*target, now)) {
            target->down = true;
        }
    }
}

void Fanout::finish(int graceMs) {
    finishing_ = true;
    // The encoder has ended: each reader meets the end of its pipe, and each
    // writer then writes the trailer and closes its muxer's input.
    for (auto& group : groups_) {
        closeFd(group->writeFd);
        if (group->reader.joinable())
            group->reader.join();
    }
    long long deadline = steadyNanos() + graceMs * kMs;
    for (;;) {
        bool running = false;
        for (auto& target : targets_) {
            reapTarget(*target, steadyNanos());
            running |= target->pid > 0;
        }
        if (!running || steadyNanos() >= deadline)
            break;
        timespec pause{0, 20 * kMs};
        nanosleep(&pause, nullptr);
    }
    for (auto& target : targets_) {
        if (target->pid <= 0)
            continue;
        kill(target->pid, SIGKILL);
        int status;
        while (waitpid(target->pid, &status, 0) < 0 && errno == EINTR) {
        }
        endRun(*target);
    }
    for (auto& group : groups_)
        closeFd(group->readFd);
}

bool ffLibavMuxerOption(std::string_view name, const FfGroup& output) {
    std::string option(name);
    const AVClass* codec = avcodec_get_class();
    if (av_opt_find(&codec, option.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
        return false;
    const AVClass* format = avformat_get_class();
    if (av_opt_find(&format, option.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
        return true;
    auto formatName = output.value("-f");
    const AVOutputFormat* muxer = av_guess_format(formatName ? formatName->c_str() : nullptr, output.url.c_str(),
                                                  nullptr);
    if (muxer && muxer->priv_class) {
        const AVClass* own = muxer->priv_class;
        if (av_opt_find(&own, option.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
            return true;
    }
    const char* protocol = avio_find_protocol_name(output.url.c_str());
    const AVClass* protocolClass = protocol ? avio_protocol_get_class(protocol) : nullptr;
    return protocolClass && av_opt_find(&protocolClass, option.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
}

bool ffLibavInputIsYuv420p(const FfGroup& input) {
    // Only a plain local file is looked into: opening an address could wait
    // on the network, and a capture or a chosen format may decode otherwise.
    bool plainFile = input.hasUrl && input.url.find("://") == std::string::npos && !input.has("-f");
    if (!plainFile)
        return false;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, input.url.c_str(), nullptr, nullptr) != 0)
        return false;
    bool yuv420p = avformat_find_stream_info(format, nullptr) >= 0;
    for (unsigned i = 0; yuv420p && i < format->nb_streams; i++) {
        const AVCodecParameters* stream = format->streams[i]->codecpar;
        if (stream->codec_type == AVMEDIA_TYPE_VIDEO)
            yuv420p = stream->format == AV_PIX_FMT_YUV420P;
    }
    avformat_close_input(&format);
    return yuv420p;
}

namespace {

volatile sig_atomic_t g_stopSignal = 0;

void onStop(int signal) { g_stopSignal = signal; }

}  // namespace

int runShared(const FfPlan& plan, const std::string& ffmpeg) {
    catchStopSignals(onStop);
    av_log_set_level(AV_LOG_QUIET);
    Fanout fanout(plan.share, ffmpeg);
    if (!fanout.open()) {
        writeLine(std::string("orval.so: cannot make the encoder's pipes (") + std::strerror(errno) + ")\n");
        return -1;
    }
    FfTokens argv = {ffmpeg};
    argv.insert(argv.end(), plan.sharedArgs.begin(), plan.sharedArgs.end());
    pid_t encoder = spawnChild(argv, {-1, -1, -1, fanout.encoderEnds()});
    int spawnErrno = errno;
    fanout.encoderStarted();
    if (encoder < 0) {
        writeLine(std::string("orval.so: cannot run ") + ffmpeg + " (" + std::strerror(spawnErrno) + ")\n");
        return -1;
    }
    int status = 0;
    bool forwarded = false;
    for (;;) {
        // The service's one stop signal reaches the encoder once.
        if (g_stopSignal && !forwarded) {
            kill(encoder, g_stopSignal);
            forwarded = true;
        }
        pid_t reaped = waitpid(encoder, &status, WNOHANG);
        if (reaped == encoder || (reaped < 0 && errno != EINTR))
            break;
        fanout.supervise(steadyNanos());
        timespec pause{0, 50 * kMs};
        nanosleep(&pause, nullptr);
    }
    fanout.finish(2000);
    return status;
}
