// live.cpp: live sources and targets on loopback for the continuity tests.
#include "e2e/live.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "engine/orva_cmdline.h"
#include "engine/orva_engine.h"
#include "test_support.h"

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

namespace {

// An expression true within `w` of the time `t`; false when `w` is empty.
std::string between(const Window& w, const char* t) {
    char text[64];
    snprintf(text, sizeof text, "between(%s,%.3f,%.3f)", t, w.from, w.to);
    return w.from < 0 ? "0" : text;
}

}  // namespace

Args senderArgs(const std::string& address, int watchPort, const Content& content) {
    // The picture is drawn small and scaled up: it is flat, and geq costs per pixel.
    std::string luma = "if(" + between(content.black, "T") + ",16+2*mod(N,8),if(" + between(content.frozen, "T") +
                       ",100," + std::to_string(kSourceLumaBase) + "+mod(N," +
                       std::to_string(kSourceLumaCycle) + ")))";
    std::string picture = "color=c=black:s=16x12:r=25,format=yuv444p,geq=lum='" + luma + "':cb=" +
                          std::to_string(kSourceU) + ":cr=" + std::to_string(kSourceV) +
                          ",scale=320:240:flags=neighbor,format=yuv420p";
    std::string sound = "sine=frequency=1000:sample_rate=48000,aformat=channel_layouts=stereo";
    if (content.silent.from >= 0)
        sound += ",volume=volume=0:enable='" + between(content.silent, "t") + "'";
    return {"ffmpeg", "-hide_banner", "-nostdin", "-re", "-f", "lavfi", "-i", picture, "-re", "-f", "lavfi", "-i",
            sound, "-map", "0:v", "-map", "1:a", "-c:v", "libx264", "-preset", "ultrafast", "-tune",
            "zerolatency", "-g", "25", "-b:v", "800k", "-c:a", "aac", "-b:a", "96k", "-f", "tee",
            "[f=mpegts]" + address + "|[f=mpegts]udp://127.0.0.1:" + std::to_string(watchPort) + "?pkt_size=1316"};
}

void makeColourClip(const std::string& path, double seconds, const std::string& size, int u, int v, int luma) {
    std::string picture = "color=c=black:s=16x12:r=25,format=yuv444p,geq=lum='" + std::to_string(luma) +
                          "+mod(N,40)':cb=" +
                          std::to_string(u) + ":cr=" + std::to_string(v) + ",scale=" +
                          size.substr(0, size.find('x')) + ":" + size.substr(size.find('x') + 1) +
                          ":flags=neighbor,format=yuv420p";
    runProgram({"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", picture, "-f", "lavfi", "-i",
                "sine=frequency=440:sample_rate=44100", "-t", std::to_string(seconds), "-c:v", "libx264",
                "-preset", "veryfast", "-g", "25", "-c:a", "aac", path});
}

DatagramRecorder::DatagramRecorder(const std::string& file) {
    port_ = freePort(SOCK_DGRAM);
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // A second of a few Mbit/s waits in the socket if this thread is late.
    int size = 8 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        port_ = 0;
    if (!file.empty())
        file_ = fopen(file.c_str(), "wbe");
    receiver_ = std::thread([this] { receiveLoop(); });
}

DatagramRecorder::~DatagramRecorder() { stop(); }

void DatagramRecorder::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
        stoppedAt_ = Clock::now();
    }
    receiver_.join();
    close(fd_);
    if (file_ != nullptr)
        fclose(file_);
    file_ = nullptr;
}

void DatagramRecorder::receiveLoop() {
    std::vector<char> datagram(65536);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
        }
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0)
            continue;
        ssize_t n = recv(fd_, datagram.data(), datagram.size(), 0);
        if (n <= 0)
            continue;
        Clock::time_point now = Clock::now();
        if (file_ != nullptr)
            fwrite(datagram.data(), 1, static_cast<size_t>(n), file_);
        std::lock_guard<std::mutex> lock(mutex_);
        arrivals_.push_back({now, written_});
        written_ += n;
    }
}

std::vector<DatagramRecorder::Arrival> DatagramRecorder::arrivals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_;
}

double DatagramRecorder::largestGap() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (arrivals_.empty())
        return 0;
    double largest = 0;
    for (size_t i = 1; i < arrivals_.size(); i++)
        largest = std::max(largest, secondsBetween(arrivals_[i - 1].at, arrivals_[i].at));
    Clock::time_point end = stopping_ ? stoppedAt_ : Clock::now();
    return std::max(largest, secondsBetween(arrivals_.back().at, end));
}

std::optional<Clock::time_point> DatagramRecorder::arrivalOf(long offset) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto after = std::upper_bound(arrivals_.begin(), arrivals_.end(), offset,
                                  [](long o, const Arrival& a) { return o < a.offset; });
    if (after == arrivals_.begin() || offset < 0)
        return std::nullopt;
    return std::prev(after)->at;
}

std::optional<Clock::time_point> DatagramRecorder::firstFrom(Clock::time_point from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Arrival& a : arrivals_)
        if (a.at >= from)
            return a.at;
    return std::nullopt;
}

RtmpServer::RtmpServer(const std::string& folder) : folder_(folder), port_(freePort()) {
    std::filesystem::create_directories(folder_ + "/logs");
    // One process (no master, no daemon) under a prefix of its own, so the
    // test owns it wholly; the error log at "info" records each publishing.
    writeFile(folder_ + "/nginx.conf",
              "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
              "daemon off;\nmaster_process off;\n"
              "pid " + folder_ + "/nginx.pid;\n"
              "error_log " + folder_ + "/error.log info;\n"
              "events { worker_connections 64; }\n"
              "rtmp { server { listen 127.0.0.1:" + std::to_string(port_) +
              "; application live { live on; record off; } } }\n");
    ready_ = start();
}

bool RtmpServer::start() {
    SpawnOptions options;
    options.grace = std::chrono::seconds(3);
    nginx_.emplace(Args{"nginx", "-p", folder_, "-c", folder_ + "/nginx.conf", "-e", folder_ + "/error.log"},
                   options);
    return waitUntil([&] {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return up;
    }, std::chrono::seconds(10));
}

RtmpServer::~RtmpServer() { nginx_.reset(); }

void RtmpServer::stop() { nginx_.reset(); }

std::string RtmpServer::address(const std::string& stream) const {
    return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/" + stream;
}

std::string RtmpServer::log() const { return readFile(folder_ + "/error.log"); }

int RtmpServer::publishSessions() const {
    std::string text = log();
    int n = 0;
    for (size_t at = text.find(" publish: "); at != std::string::npos; at = text.find(" publish: ", at + 1))
        n++;
    return n;
}

std::string composeLine(const ORVA_INPUT_TAG& input, const std::vector<ORVA_OUTPUT_TAG>& targets) {
    // The daemon's channels log at 32, which makes ffmpeg print its progress.
    g_cfg.logLevel = 32;
    char buffer[kOrvaLineSize];
    TextCursor line(buffer, sizeof buffer);
    int rc = orvaComposeLine(0, &input, 1, targets.data(), static_cast<int>(targets.size()), 0, line);
    return rc == 0 ? std::string(line.view()) : "";
}

ORVA_OUTPUT_TAG encodedTarget(int format, const char* address, int width, int height, const char* options) {
    ORVA_OUTPUT_TAG output{};
    output.Format = format;
    output.pszAddress = address;
    output.pszOptions = options;
    output.Video.VideoEnable = 1;
    output.Video.VideoCodec = ORVA_VIDEO_H264;
    output.Video.VideoBitRate = 600;
    output.Video.VideoWidth = width;
    output.Video.VideoHeight = height;
    output.Audio.AudioEnable = 1;
    output.Audio.AudioCodec = ORVA_AUDIO_AAC;
    output.Audio.AudioBitRate = 96;
    return output;
}

SpawnOptions launcherOptions(const std::string& line, const ChannelSettings& settings) {
    SpawnOptions options;
    options.input = "qzWek_3184 " + line + "\n";
    options.outputToo = true;
    // The service gives a stopping channel this long before it kills it.
    options.grace = std::chrono::seconds(5);
    options.environment = {"ORVAL_CHANNEL=1", "ORVAL_MEMO=continuity test"};
    if (!settings.backup.empty())
        options.environment.push_back("ORVAL_BACKUP=" + settings.backup);
    if (!settings.targets.empty())
        options.environment.push_back("ORVAL_TARGETS=" + settings.targets);
    if (settings.sourceTimeoutMs > 0)
        options.environment.push_back("ORVAL_SOURCE_TIMEOUT=" + std::to_string(settings.sourceTimeoutMs));
    const std::pair<const char*, int> alarms[] = {
        {"ORVAL_ALARM_BLACK=", settings.blackSec},
        {"ORVAL_ALARM_FREEZE=", settings.frozenSec},
        {"ORVAL_ALARM_SILENCE=", settings.silentSec}};
    for (const auto& [name, seconds] : alarms)
        if (seconds >= 0)
            options.environment.push_back(name + std::to_string(seconds));
    return options;
}

std::vector<Alarm> alarmsOf(const LineReader& launcher) {
    std::vector<Alarm> alarms;
    std::regex alarm(R"(^orval-alarm: (raise|clear) (\w+)(?: ([1-5])(?: (.+))?)?$)");
    for (const LineReader::Line& line : launcher.lines()) {
        std::smatch m;
        if (std::regex_match(line.text, m, alarm))
            alarms.push_back({line.at, m[1] == "raise", m[2], m[3].matched ? std::stoi(m[3]) : 0, m[4]});
    }
    return alarms;
}

std::string describe(const std::vector<Alarm>& alarms, Clock::time_point origin) {
    std::ostringstream text;
    text.precision(2);
    for (const Alarm& a : alarms)
        text << std::fixed << secondsBetween(origin, a.at) << " s " << (a.raised ? "raise " : "clear ") << a.kind
             << "\n";
    return text.str();
}

std::string notesOf(const LineReader& launcher, size_t most) {
    std::string text;
    size_t n = 0;
    for (const LineReader::Line& line : launcher.lines()) {
        // Progress, and ffmpeg's banner and stream listing, tell nothing here.
        const std::string& t = line.text;
        if (t.empty() || t.starts_with("frame=") || t.starts_with("size=") || t.starts_with("  ") ||
            t.starts_with("ffmpeg version"))
            continue;
        if (++n > most)
            break;
        text += line.text + "\n";
    }
    return text;
}

namespace {

// The state and parent of a process from /proc, or none when it is gone.
std::optional<std::pair<char, pid_t>> stateOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t name = text.rfind(')');
    if (name == std::string::npos || name + 4 >= text.size())
        return std::nullopt;
    return std::make_pair(text[name + 2], static_cast<pid_t>(std::atoi(text.c_str() + name + 4)));
}

}  // namespace

std::set<pid_t> descendantsOf(pid_t pid) {
    std::map<pid_t, std::vector<pid_t>> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        pid_t child = std::atoi(entry.path().filename().c_str());
        auto state = child > 0 ? stateOf(child) : std::nullopt;
        if (state)
            children[state->second].push_back(child);
    }
    std::set<pid_t> found;
    std::vector<pid_t> pending{pid};
    while (!pending.empty()) {
        pid_t parent = pending.back();
        pending.pop_back();
        for (pid_t child : children[parent])
            if (found.insert(child).second)
                pending.push_back(child);
    }
    return found;
}

bool alive(pid_t pid) {
    auto state = stateOf(pid);
    return state && state->first != 'Z' && state->first != 'X';
}

namespace {

void addPicture(Decoded& decoded, const std::string& line) {
    static const std::regex fields(R"(pts_time:(\S+).* pos:\s*(-?\d+).* s:(\d+)x(\d+) .*mean:\[(\d+) (\d+) (\d+)\])");
    std::smatch m;
    if (std::regex_search(line, m, fields))
        decoded.pictures.push_back({std::stod(m[1]), std::stol(m[2]), std::stoi(m[3]), std::stoi(m[4]),
                                    std::stoi(m[5]), std::stoi(m[6]), std::stoi(m[7])});
}

void addSound(Decoded& decoded, const std::string& line) {
    static const std::regex fields(R"(pts_time:(\S+).* chlayout:(\S+) rate:(\d+) nb_samples:(\d+))");
    std::smatch m;
    if (std::regex_search(line, m, fields))
        decoded.sounds.push_back({std::stod(m[1]), std::stoi(m[4]), std::stoi(m[3]), m[2], NAN});
}

}  // namespace

Decoded decodeFrames(const std::string& path) {
    // -copyts keeps the stream's own timestamps; the filters see every decoded frame.
    std::string text = runProgram({"ffmpeg", "-hide_banner", "-nostdin", "-copyts", "-i", path, "-vf", "showinfo",
                                   "-af", "ashowinfo,astats=metadata=1:reset=1,ametadata=mode=print:key=lavfi.astats.Overall.RMS_level",
                                   "-f", "null", "-"}, true);
    Decoded decoded;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Parsed_showinfo") != std::string::npos)
            addPicture(decoded, line);
        else if (line.find("Parsed_ashowinfo") != std::string::npos)
            addSound(decoded, line);
        else if (line.find("RMS_level=") != std::string::npos && !decoded.sounds.empty()) {
            std::string value = line.substr(line.find("RMS_level=") + 10);
            decoded.sounds.back().rms = value.starts_with("-inf") ? -INFINITY : std::atof(value.c_str());
        }
    }
    return decoded;
}

int probePrograms(const std::string& path) {
    std::string text = runProgram({"ffprobe", "-v", "error", "-show_entries", "program=program_id", "-of",
                                   "csv=p=0", path});
    int programs = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        programs += !line.empty();
    return programs;
}

Shows shows(const PictureFrame& frame) {
    auto near = [&](int u, int v) { return std::abs(frame.u - u) <= 10 && std::abs(frame.v - v) <= 10; };
    if (near(kSourceU, kSourceV))
        return Shows::source;
    return near(kBackupU, kBackupV) ? Shows::backup : Shows::other;
}

int sourceFrameNumber(const PictureFrame& frame) {
    return ((frame.y - kSourceLumaBase) % kSourceLumaCycle + kSourceLumaCycle) % kSourceLumaCycle;
}

namespace {

// Steps of `times` that do not rise or rise by more than `most`, described.
std::string timeFaults(const std::vector<double>& times, double most, const char* what) {
    std::ostringstream faults;
    int shown = 0;
    for (size_t i = 1; i < times.size(); i++) {
        double step = times[i] - times[i - 1];
        if ((step <= 0 || step > most) && shown++ < 5)
            faults << what << " step of " << step << " s at " << times[i] << "\n";
    }
    return faults.str();
}

}  // namespace

std::string continuityFaults(const Decoded& decoded, double frameRate) {
    if (decoded.pictures.size() < 2 || decoded.sounds.size() < 2)
        return "no pictures or no sound\n";
    std::string faults;
    std::vector<double> times;
    for (const PictureFrame& p : decoded.pictures) {
        times.push_back(p.pts);
        if (p.width != decoded.pictures[0].width || p.height != decoded.pictures[0].height)
            faults += "picture size " + std::to_string(p.width) + "x" + std::to_string(p.height) + " at " +
                      std::to_string(p.pts) + "\n";
    }
    // A millisecond of rounding in the printed times.
    faults += timeFaults(times, 2 / frameRate + 0.001, "picture");
    double span = times.back() - times.front();
    double rate = (times.size() - 1) / span;
    if (std::abs(rate - frameRate) > frameRate * 0.02)
        faults += "frame rate " + std::to_string(rate) + " over " + std::to_string(span) + " s\n";
    times.clear();
    const SoundFrame& first = decoded.sounds[0];
    for (const SoundFrame& s : decoded.sounds) {
        times.push_back(s.pts);
        if (s.rate != first.rate || s.layout != first.layout)
            faults += "sound " + std::to_string(s.rate) + " Hz " + s.layout + " at " + std::to_string(s.pts) + "\n";
    }
    faults += timeFaults(times, 2.0 * first.samples / first.rate + 0.001, "sound");
    return faults;
}
