// orva_stage.cpp: the continuity stage: the clock, the switch between
// source, backup and slate, the content alarms and the stream to the encoder.
//
// DESIGN (see also DESIGN.md): the main thread is the only one that forks,
// reaps, switches and writes to the encoder; the Feeds' threads only fill
// their queues. Every tick of the canvas's frame rate the main thread
// takes one picture and one tick's worth of sound from whatever is on air,
// or repeats the last picture with silence, and writes both to the
// encoder. Timestamps are the tick count, so they run on at the canvas's
// rate through every switch and the encoder never sees a change.
#include "orva_stage.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

#include "orva_content.h"
#include "orva_fanout.h"
#include "orva_feed.h"
#include "orva_slate.h"
#include "orva_spawn.h"

namespace {

constexpr long long kMs = 1000000LL;
constexpr long long kSecond = 1000 * kMs;
// How long the backup's decoder may take to show its shape once a source
// absent at the start leaves the canvas to it.
constexpr long long kBackupProbe = 2 * kSecond;
// A backup that shows nothing this long after its start (beyond the
// source timeout) has failed, and the slate shows.
constexpr long long kBackupGrace = 2 * kSecond;
constexpr long long kBackupRetry = 2 * kSecond;
// A source decoder started again while the source was fine gets this long
// to show its first picture before its silence counts as a loss.
constexpr long long kDecoderStartup = 2 * kSecond;
// A source decoder that ended is started again after this pause.
constexpr long long kSourceRestart = 500 * kMs;
// While the source is lost, its decoder starts afresh when it has shown
// nothing this long, in case it hangs on a dead connection.
constexpr long long kSourceRefresh = 20 * kSecond;
// A switch shows the newest pictures of what comes, not its backlog.
constexpr size_t kPicturesKeptOnSwitch = 2;
// The clock gives up catching up after this long behind.
constexpr long long kMostBehind = kSecond;
constexpr long long kEncoderStartup = 10 * kSecond;
constexpr int kOutputBufferBytes = 1 << 18;

volatile sig_atomic_t g_stopRequested = 0;

void onStopSignal(int) { g_stopRequested = 1; }

void note(const std::string& text) { writeLine(inputLine(text)); }

void sleepUntil(long long when) {
    timespec t{static_cast<time_t>(when / kSecond), static_cast<long>(when % kSecond)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
}

bool isNetworkAddress(const std::string& address) {
    return address.find("://") != std::string::npos || ffEndsWithNoCase(address, ".sdp");
}

bool isFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder's visible regular files in name order: the backup's playlist.
std::vector<std::string> folderFiles(const std::string& folder) {
    std::vector<std::string> files;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return files;
    while (dirent* entry = readdir(dir)) {
        std::string path = folder + "/" + entry->d_name;
        struct stat st;
        if (entry->d_name[0] != '.' && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            files.push_back(path);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

std::string canvasText(const FfCanvas& c) {
    return std::to_string(c.width) + "x" + std::to_string(c.height) + " at " + std::to_string(c.rateNum) + "/" +
           std::to_string(c.rateDen) + " fps, " + std::to_string(c.sampleRate) + " Hz, " +
           std::to_string(c.channels) + " channels";
}

// A decoder whose header shows exactly the canvas's shape.
bool fitsCanvas(Feed& feed, const FfCanvas& canvas) {
    FfCanvas shape;
    if (!feed.header(shape))
        return false;
    bool sound = shape.sampleRate == 0 || (shape.sampleRate == canvas.sampleRate && shape.channels == canvas.channels);
    return shape.width == canvas.width && shape.height == canvas.height && shape.rateNum == canvas.rateNum &&
           shape.rateDen == canvas.rateDen && sound;
}

enum class OnAir { Source, Hold, Backup, Slate };

class Stage {
public:
    Stage(const FfPlan& plan, std::string ffmpeg, const StageSettings& settings)
        : plan_(plan), ffmpeg_(std::move(ffmpeg)), settings_(settings),
          watch_(settings.blackSeconds, settings.frozenSeconds, settings.silentSeconds) {}
    ~Stage();
    int run();

private:
    void fixCanvas();
    bool awaitSource(long long limit);
    bool probe(Feed& feed, long long limit);
    void startSource();
    bool startBackup(long long now);
    bool startEncoder();
    bool openOutput(int fd);
    bool supervise(long long now);
    void watchSource(long long now);
    void watchBackup(long long now);
    void enterLoss(long long now);
    void raiseLoss();
    void goOnAirWithoutSource(long long now);
    void leaveLoss();
    void showSlate();
    bool emit(long long now);
    AVBufferRef* nextPicture(Feed* feed);
    void bleedLatency(Feed& feed);
    AVBufferRef* slatePicture();
    void judge(long long now, const uint8_t* picture, const uint8_t* sound, size_t soundBytes);
    bool writePacket(int stream, AVBufferRef* data, long long pts, long long duration);
    int finish();
    long long tickTime(long long frame) const;
    static int writeCallback(void* self, uint8_t* buffer, int size);

    FfPlan plan_;
    std::string ffmpeg_;
    StageSettings settings_;
    FfCanvas canvas_;
    Feed source_{"source"};
    Feed backup_{"backup"};
    ContentWatch watch_;

    std::unique_ptr<Fanout> fanout_;  // the targets' muxers, with shared encoders
    pid_t encoder_ = -1;
    int encoderStatus_ = -1;
    int encoderFd_ = -1;
    AVFormatContext* output_ = nullptr;

    OnAir onAir_ = OnAir::Source;
    bool lost_ = false;
    bool onBackup_ = false;
    time_t lostSince_ = 0;
    long long sourceSeen_ = 0;
    long long sourceStarted_ = 0;
    long long sourceRestartAt_ = 0;
    bool backupPlaying_ = false;
    long long backupStarted_ = 0;
    long long backupRetryAt_ = -1;
    std::vector<std::string> backupFiles_;
    size_t backupNext_ = 0;

    AVBufferRef* lastPicture_ = nullptr;
    AVBufferRef* slate_ = nullptr;
    long slateSecond_ = -1;
    long long frame_ = 0;
    long long samplesOut_ = 0;
    size_t leastQueued_ = SIZE_MAX;
    LumaSample previous_;
};

Stage::~Stage() {
    source_.stop();
    backup_.stop();
    av_buffer_unref(&lastPicture_);
    av_buffer_unref(&slate_);
    if (output_) {
        if (output_->pb) {
            av_freep(&output_->pb->buffer);
            avio_context_free(&output_->pb);
        }
        avformat_free_context(output_);
    }
    if (encoderFd_ >= 0)
        close(encoderFd_);
}

// Waits for the decoder's first picture (its header came before it), or
// first sound when it has no pictures; false when it did not come in time.
bool Stage::probe(Feed& feed, long long limit) {
    long long deadline = steadyNanos() + limit;
    while (!feed.delivering() && !g_stopRequested) {
        int status;
        if (steadyNanos() > deadline || feed.reap(status))
            return false;
        sleepUntil(steadyNanos() + 20 * kMs);
    }
    // A header without a frame rate learns it from the second picture.
    FfCanvas shape;
    long long until = steadyNanos() + 500 * kMs;
    while (feed.header(shape) && !shape.hasRate() && shape.hasSize() && steadyNanos() < until)
        sleepUntil(steadyNanos() + 20 * kMs);
    return feed.delivering();
}

// Waits up to `limit` for the source's first picture, starting its decoder
// again if it ends; the backup's decoder starts halfway, so that its
// pictures and its shape are ready should the source not come.
bool Stage::awaitSource(long long limit) {
    long long start = steadyNanos();
    bool backupTried = settings_.backup.empty();
    while (!source_.delivering() && !g_stopRequested) {
        long long now = steadyNanos();
        if (now - start > limit)
            return false;
        int status;
        if (source_.reap(status))
            sourceRestartAt_ = now + kSourceRestart;
        if (!source_.running() && now >= sourceRestartAt_)
            startSource();
        backup_.reap(status);
        if (!backupTried && now - start > limit / 2) {
            startBackup(now);
            backupTried = true;
        }
        sleepUntil(now + 20 * kMs);
    }
    return probe(source_, 0);
}

// The first target's settings, else the source's as it shows itself, else
// the backup's, else the defaults. Decoders that already fit are kept.
// A source that shows nothing within the time-out, on top of the start-up
// any fresh decoder gets, is lost from the first moment: the channel goes
// on air with the backup or the slate while its decoder keeps trying.
void Stage::fixCanvas() {
    canvas_ = plan_.canvas;
    FfCanvas shape;
    startSource();
    bool sourceShown = awaitSource(settings_.sourceTimeoutMs * kMs + kDecoderStartup);
    if (g_stopRequested)
        return;
    if (!sourceShown)
        raiseLoss();
    FfCanvas known = canvas_;
    if (source_.header(shape))
        known.fillFrom(shape);
    if (!known.complete() && !settings_.backup.empty() && (backup_.running() || startBackup(steadyNanos())))
        probe(backup_, kBackupProbe);
    // The source may have shown itself while the backup was probed.
    if (source_.header(shape))
        canvas_.fillFrom(shape);
    if (!canvas_.complete() && backup_.header(shape))
        canvas_.fillFrom(shape);
    canvas_.fillDefaults();
    note("canvas " + canvasText(canvas_));
    if (!fitsCanvas(source_, canvas_) && !plan_.canvas.complete()) {
        FfCanvas seen;
        if (source_.header(seen))
            note("source: shown as " + canvasText(seen) + "; its decoder starts again conformed");
        startSource();
    }
    source_.setExpected(canvas_);
    if (backup_.running() && !fitsCanvas(backup_, canvas_))
        backup_.stop();
    backup_.setExpected(canvas_);
    sourceSeen_ = steadyNanos() + (source_.lastData() == 0 ? kDecoderStartup : 0);
    if (lost_)
        goOnAirWithoutSource(steadyNanos());
    else
        source_.keepNewest(kPicturesKeptOnSwitch, canvas_.samplesOfFrame(0) * 2 * canvas_.channels);
}

void Stage::startSource() {
    source_.start(ffmpeg_, ffDecoderArgs(plan_.source, canvas_, FfReadMode::Live), canvas_);
    sourceStarted_ = steadyNanos();
}

// Starts the backup's decoder: a file looped, a folder's next file, or an address.
bool Stage::startBackup(long long now) {
    const std::string& address = settings_.backup;
    backupStarted_ = now;
    backupRetryAt_ = -1;
    backupPlaying_ = false;
    FfReadMode mode = FfReadMode::Looped;
    std::string input = address;
    if (isNetworkAddress(address)) {
        mode = FfReadMode::Live;
    } else if (isFolder(address)) {
        if (backupNext_ >= backupFiles_.size()) {
            backupFiles_ = folderFiles(address);
            backupNext_ = 0;
        }
        if (backupFiles_.empty())
            return false;
        input = backupFiles_[backupNext_++];
        mode = FfReadMode::Once;
    }
    return backup_.start(ffmpeg_, ffDecoderArgs(ffBackupInput(input), canvas_, mode), canvas_);
}

bool Stage::startEncoder() {
    int fds[2];
    if (!makeMediaPipe(fds))
        return false;
    bool shared = plan_.share.active();
    const FfTokens& args = shared ? plan_.sharedArgs : plan_.encoderArgs;
    FfTokens argv = {ffmpeg_};
    argv.insert(argv.end(), args.begin(), args.end());
    if (shared) {
        fanout_ = std::make_unique<Fanout>(plan_.share, ffmpeg_);
        if (!fanout_->open()) {
            close(fds[0]);
            close(fds[1]);
            return false;
        }
    }
    encoder_ = spawnChild(argv, {-1, -1, fds[0], shared ? fanout_->encoderEnds() : std::vector<int>{}});
    close(fds[0]);
    if (fanout_)
        fanout_->encoderStarted();
    encoderFd_ = fds[1];
    return encoder_ > 0 && openOutput(fds[1]);
}

// FFmpeg 5.1 declares the buffer writable; it is only read.
int Stage::writeCallback(void* self, uint8_t* buffer, int size) {
    int fd = static_cast<Stage*>(self)->encoderFd_;
    int done = 0;
    while (done < size) {
        ssize_t n = write(fd, buffer + done, static_cast<size_t>(size - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR && !g_stopRequested)
            continue;
        return n < 0 && errno != EINTR ? AVERROR(errno) : AVERROR_EXIT;
    }
    return size;
}

// Raw pictures and sound in NUT, the stream the encoder reads as its input.
bool Stage::openOutput(int) {
    if (avformat_alloc_output_context2(&output_, nullptr, "nut", nullptr) < 0)
        return false;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kOutputBufferBytes));
    output_->pb = buffer ? avio_alloc_context(buffer, kOutputBufferBytes, 1, this, nullptr, &Stage::writeCallback,
                                              nullptr)
                         : nullptr;
    if (!output_->pb) {
        av_free(buffer);
        return false;
    }
    output_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // A picture goes to the pipe as it is, not copied through the buffer first.
    output_->pb->direct = 1;
    AVStream* video = avformat_new_stream(output_, nullptr);
    AVStream* audio = avformat_new_stream(output_, nullptr);
    if (!video || !audio)
        return false;
    video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    video->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
    video->codecpar->format = AV_PIX_FMT_YUV420P;
    video->codecpar->codec_tag = avcodec_pix_fmt_to_codec_tag(AV_PIX_FMT_YUV420P);
    video->codecpar->width = canvas_.width;
    video->codecpar->height = canvas_.height;
    video->codecpar->sample_aspect_ratio = AVRational{1, 1};
    video->time_base = AVRational{canvas_.rateDen, canvas_.rateNum};
    video->avg_frame_rate = video->r_frame_rate = AVRational{canvas_.rateNum, canvas_.rateDen};
    audio->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    audio->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
    audio->codecpar->sample_rate = canvas_.sampleRate;
    av_channel_layout_default(&audio->codecpar->ch_layout, canvas_.channels);
    audio->codecpar->bits_per_coded_sample = 16;
    audio->codecpar->block_align = 2 * canvas_.channels;
    audio->time_base = AVRational{1, canvas_.sampleRate};
    // The encoder's NUT reader keeps an index entry for every syncpoint it
    // passes, which over days of raw pictures is memory without end; a pipe
    // is never seeked, so the stream goes without them.
    output_->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "syncpoints", "none", 0);
    bool opened = avformat_write_header(output_, &options) >= 0;
    av_dict_free(&options);
    return opened;
}

void Stage::raiseLoss() {
    lost_ = true;
    lostSince_ = time(nullptr);
    writeLine(alarmLine(true, "source_lost"));
}

void Stage::enterLoss(long long now) {
    raiseLoss();
    // A fresh decoder takes the source when it returns, with no old timestamps in the way.
    source_.stop();
    source_.clear();
    startSource();
    goOnAirWithoutSource(now);
}

// The backup's decoder, already running or started now, else the slate.
void Stage::goOnAirWithoutSource(long long now) {
    if (settings_.backup.empty() || (!backup_.running() && !startBackup(now))) {
        showSlate();
        backupRetryAt_ = settings_.backup.empty() ? -1 : now + kBackupRetry;
        return;
    }
    onAir_ = OnAir::Hold;
}

void Stage::leaveLoss() {
    backup_.stop();
    backup_.clear();
    backupPlaying_ = false;
    backupRetryAt_ = -1;
    if (onBackup_)
        writeLine(alarmLine(false, "on_backup"));
    onBackup_ = false;
    writeLine(alarmLine(false, "source_lost"));
    lost_ = false;
    onAir_ = OnAir::Source;
    source_.keepNewest(kPicturesKeptOnSwitch, canvas_.samplesOfFrame(frame_) * 2 * canvas_.channels);
}

void Stage::showSlate() {
    if (onBackup_)
        writeLine(alarmLine(false, "on_backup"));
    onBackup_ = false;
    backupPlaying_ = false;
    onAir_ = OnAir::Slate;
}

void Stage::watchSource(long long now) {
    sourceSeen_ = std::max(sourceSeen_, source_.lastData());
    if (source_.misfit()) {
        note("source: its pictures changed shape; its decoder starts again");
        startSource();
        sourceSeen_ = std::max(sourceSeen_, now + kDecoderStartup);
    }
    long long silent = now - sourceSeen_;
    long long timeout = settings_.sourceTimeoutMs * kMs;
    if (!lost_ && silent > timeout) {
        enterLoss(now);
        return;
    }
    // The backup's decoder starts while the source is only late, so that it
    // has pictures ready when the source counts as lost.
    bool late = !lost_ && silent > timeout / 2 && !settings_.backup.empty();
    if (late && !backup_.running() && backupRetryAt_ < 0)
        startBackup(now);
    if (!lost_ && !late && backup_.running())
        backup_.stop();
    if (lost_ && source_.delivering()) {
        leaveLoss();
        return;
    }
    if (lost_ && source_.running() && source_.lastData() == 0 && now - sourceStarted_ > kSourceRefresh)
        startSource();
}

void Stage::watchBackup(long long now) {
    if (!lost_ || settings_.backup.empty())
        return;
    if (!backup_.running() && backupRetryAt_ >= 0 && now >= backupRetryAt_ && !startBackup(now))
        backupRetryAt_ = now + kBackupRetry;
    if (!backupPlaying_ && backup_.delivering()) {
        backupPlaying_ = true;
        onAir_ = OnAir::Backup;
        backup_.keepNewest(kPicturesKeptOnSwitch, canvas_.samplesOfFrame(frame_) * 2 * canvas_.channels);
        if (!onBackup_)
            writeLine(alarmLine(true, "on_backup"));
        onBackup_ = true;
        return;
    }
    long long timeout = settings_.sourceTimeoutMs * kMs;
    // A folder's next file gets the start-up any fresh decoder gets; the
    // last picture of the one before holds meanwhile.
    long long seen = backup_.lastData() != 0 ? backup_.lastData() : backupStarted_ + kBackupGrace;
    bool stalled = backupPlaying_ && now - seen > timeout;
    bool neverCame = !backupPlaying_ && onAir_ != OnAir::Slate && now - backupStarted_ > timeout + kBackupGrace;
    if (stalled || neverCame) {
        showSlate();
        backup_.stop();
        backupRetryAt_ = now + kBackupRetry;
    }
}

// Reaps what ended and decides what goes on air; false once the encoder ended.
bool Stage::supervise(long long now) {
    if (fanout_)
        fanout_->supervise(now);
    int status;
    if (encoder_ > 0 && waitpid(encoder_, &status, WNOHANG) == encoder_) {
        encoder_ = -1;
        encoderStatus_ = status;
        return false;
    }
    if (source_.reap(status))
        sourceRestartAt_ = now + kSourceRestart;
    if (!source_.running() && now >= sourceRestartAt_)
        startSource();
    if (backup_.reap(status)) {
        // A folder's file that played to its end hands on to the next at once.
        bool nextFile = backupPlaying_ && WIFEXITED(status) && WEXITSTATUS(status) == 0 && isFolder(settings_.backup);
        if (nextFile && startBackup(now))
            backupPlaying_ = true;
        else if (!backupPlaying_ && onAir_ == OnAir::Hold)
            showSlate();
        if (!backup_.running())
            backupRetryAt_ = now + kBackupRetry;
    }
    watchSource(now);
    watchBackup(now);
    return true;
}

// A backlog that stays shows the programme late; one picture at a time
// goes until it is gone, too seldom to be seen.
void Stage::bleedLatency(Feed& feed) {
    leastQueued_ = std::min(leastQueued_, feed.queuedPictures());
    long long window = 2LL * canvas_.rateNum / canvas_.rateDen;
    if (frame_ % std::max(1LL, window) != 0)
        return;
    if (leastQueued_ != SIZE_MAX && leastQueued_ > kPicturesKeptOnSwitch) {
        AVPacket* extra = feed.takePicture();
        av_packet_free(&extra);
        std::vector<uint8_t> sound(static_cast<size_t>(canvas_.samplesOfFrame(frame_) * 2 * canvas_.channels));
        feed.takeSound(sound.data(), sound.size());
    }
    leastQueued_ = SIZE_MAX;
}

// The picture to show now: the feed's next one, else the last one again.
AVBufferRef* Stage::nextPicture(Feed* feed) {
    if (feed) {
        if (AVPacket* packet = feed->takePicture()) {
            av_buffer_unref(&lastPicture_);
            lastPicture_ = av_buffer_ref(packet->buf);
            av_packet_free(&packet);
        }
        bleedLatency(*feed);
    }
    if (!lastPicture_) {
        int size = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, canvas_.width, canvas_.height, 1);
        lastPicture_ = av_buffer_alloc(static_cast<size_t>(size));
        if (lastPicture_) {
            size_t luma = static_cast<size_t>(canvas_.width) * canvas_.height;
            std::memset(lastPicture_->data, 16, luma);
            std::memset(lastPicture_->data + luma, 128, static_cast<size_t>(size) - luma);
        }
    }
    return lastPicture_;
}

AVBufferRef* Stage::slatePicture() {
    long seconds = static_cast<long>(time(nullptr) - lostSince_);
    if (slate_ && seconds == slateSecond_)
        return slate_;
    av_buffer_unref(&slate_);
    int size = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, canvas_.width, canvas_.height, 1);
    slate_ = av_buffer_alloc(static_cast<size_t>(size));
    if (slate_)
        drawSlate(slate_->data, canvas_.width, canvas_.height, slateLines(settings_.channel, settings_.memo, seconds));
    slateSecond_ = seconds;
    return slate_;
}

void Stage::judge(long long now, const uint8_t* picture, const uint8_t* sound, size_t soundBytes) {
    // The slate, and the last picture held for a lost source until the backup
    // or the slate takes over, stand in for content: source_lost speaks for them.
    bool judged = onAir_ != OnAir::Slate && !(lost_ && onAir_ == OnAir::Hold);
    bool condition[ContentWatch::kKinds] = {};
    if (judged) {
        LumaSample sample = sampleLuma(picture, canvas_.width, canvas_.height);
        condition[ContentWatch::kBlack] = isBlack(sample);
        condition[ContentWatch::kFrozen] = isSamePicture(sample, previous_);
        condition[ContentWatch::kSilent] =
            isSilent(reinterpret_cast<const int16_t*>(sound), soundBytes / 2);
        previous_ = std::move(sample);
    } else {
        previous_.values.clear();
    }
    for (const std::string& line : watch_.observe(now / 1e9, judged, condition))
        writeLine(line);
}

// Takes `data` over, whatever happens.
bool Stage::writePacket(int stream, AVBufferRef* data, long long pts, long long duration) {
    AVPacket* packet = data ? av_packet_alloc() : nullptr;
    if (!packet) {
        av_buffer_unref(&data);
        return false;
    }
    packet->buf = data;
    packet->data = data->data;
    packet->size = static_cast<int>(data->size);
    packet->stream_index = stream;
    packet->pts = packet->dts = pts;
    packet->duration = duration;
    packet->flags |= AV_PKT_FLAG_KEY;
    AVRational own = stream == 0 ? AVRational{canvas_.rateDen, canvas_.rateNum} : AVRational{1, canvas_.sampleRate};
    av_packet_rescale_ts(packet, own, output_->streams[stream]->time_base);
    int result = av_interleaved_write_frame(output_, packet);
    av_packet_free(&packet);
    return result >= 0;
}

// One tick: one picture and its sound, judged and written.
bool Stage::emit(long long now) {
    Feed* feed = onAir_ == OnAir::Source ? &source_ : onAir_ == OnAir::Backup ? &backup_ : nullptr;
    AVBufferRef* picture = onAir_ == OnAir::Slate ? slatePicture() : nextPicture(feed);
    int samples = canvas_.samplesOfFrame(frame_);
    AVBufferRef* sound = av_buffer_allocz(static_cast<size_t>(samples) * 2 * canvas_.channels);
    if (!picture || !sound) {
        av_buffer_unref(&sound);
        return false;
    }
    if (feed)
        feed->takeSound(sound->data, sound->size);
    if (settings_.blackSeconds || settings_.frozenSeconds || settings_.silentSeconds)
        judge(now, picture->data, sound->data, sound->size);
    bool written = writePacket(0, av_buffer_ref(picture), frame_, 1);
    written = writePacket(1, sound, samplesOut_, samples) && written;
    samplesOut_ += samples;
    avio_flush(output_->pb);
    return written && output_->pb->error >= 0;
}

// Stops the decoders, asks the encoder to finish its outputs and waits for it.
int Stage::finish() {
    source_.stop();
    backup_.stop();
    if (encoder_ > 0) {
        kill(encoder_, SIGINT);
        if (encoderFd_ >= 0)
            close(encoderFd_);
        encoderFd_ = -1;
        int status;
        pid_t reaped;
        while ((reaped = waitpid(encoder_, &status, 0)) < 0 && errno == EINTR) {
        }
        encoderStatus_ = reaped == encoder_ ? status : encoderStatus_;
        encoder_ = -1;
    }
    // The targets' muxers finish what the encoder wrote last.
    if (fanout_)
        fanout_->finish(2000);
    return encoderStatus_;
}

// When tick `frame` is due, counted from the clock's start.
long long Stage::tickTime(long long frame) const {
    return static_cast<long long>(static_cast<__int128>(frame) * kSecond * canvas_.rateDen / canvas_.rateNum);
}

int Stage::run() {
    catchStopSignals(onStopSignal);
    // The stage's own demuxers and muxer meet ends of stream by design
    // (a decoder killed before its header); the decoders speak for the input.
    av_log_set_level(AV_LOG_QUIET);
    fixCanvas();
    // Stopped before anything went out: nothing to finish.
    if (g_stopRequested)
        return 0;
    if (!startEncoder()) {
        writeLine(std::string("orval.so: cannot start the encoder (") + std::strerror(errno) + ")\n");
        return finish();
    }
    long long start = steadyNanos();
    while (!g_stopRequested) {
        long long due = start + tickTime(frame_);
        sleepUntil(due);
        long long now = steadyNanos();
        if (now - due > kMostBehind) {
            // The encoder's start-up keeps the first pictures waiting; that is no news.
            if (now - start > kEncoderStartup)
                note("the encoder fell " + std::to_string((now - due) / kMs) + " ms behind the clock");
            start = now - tickTime(frame_);
        }
        if (g_stopRequested || !supervise(now) || !emit(now))
            break;
        frame_++;
    }
    return finish();
}

}  // namespace

int runStage(const FfPlan& plan, const std::string& ffmpeg, const StageSettings& settings) {
    Stage stage(plan, ffmpeg, settings);
    return stage.run();
}
