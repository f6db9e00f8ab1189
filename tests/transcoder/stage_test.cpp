// stage_test.cpp: the built orval.so on a watched line with this machine's
// ffmpeg: a live UDP source that stops and comes back, and a launcher
// killed outright that leaves no process behind.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/media.h"
#include "orva_fanout.h"
#include "test_support.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A sender of a moving test picture and a tone, as a live source would send.
Args senderArgs(int port) {
    return {"ffmpeg", "-hide_banner", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
            "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
            "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "25", "-c:a", "aac",
            "-f", "mpegts", "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316"};
}

// orval.so as the service runs it: the line on its standard input, both
// outputs on one pipe, read line by line as they come.
class Launcher {
public:
    Launcher(const std::string& line, const std::vector<std::string>& env, const std::string& folder) {
        std::string input = folder + "/line.txt";
        std::ofstream(input) << "qzWek_3184 " << line << "\n";
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        std::vector<std::string> variables(env);
        for (char** e = environ; *e; e++)
            if (!std::string(*e).starts_with("ORVAL_"))
                variables.emplace_back(*e);
        std::vector<char*> envp;
        for (std::string& v : variables)
            envp.push_back(v.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(ORVAL_SO_BINARY), nullptr};
        if (posix_spawn(&pid_, ORVAL_SO_BINARY, &actions, nullptr, argv, envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] { readLoop(fd); });
    }
    ~Launcher() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        reader_.join();
    }

    pid_t pid() const { return pid_; }
    // The launcher's wait status once it ended, after SIGINT when asked.
    int stop(bool interrupt) {
        if (interrupt)
            kill(pid_, SIGINT);
        int status = -1;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    // When the first line holding `text` came, if it came within `limit`.
    std::optional<Clock::time_point> waitFor(const std::string& text, std::chrono::milliseconds limit) {
        std::optional<Clock::time_point> at;
        waitUntil([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& [when, line] : lines_)
                if (line.find(text) != std::string::npos) {
                    at = when;
                    return true;
                }
            return false;
        }, limit);
        return at;
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const auto& entry : lines_)
            all += entry.second + "\n";
        return all;
    }

private:
    void readLoop(int fd) {
        std::string pending;
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find_first_of("\r\n")) != std::string::npos;) {
                std::lock_guard<std::mutex> lock(mutex_);
                lines_.emplace_back(Clock::now(), pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
        close(fd);
    }

    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::pair<Clock::time_point, std::string>> lines_;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// What each picture of the file shows in its top left corner, in order:
// 's' for the slate's blue, 'p' for anything else (the source's picture).
std::string cornerSequence(const std::string& path) {
    std::string info = runProgram({"ffmpeg", "-hide_banner", "-nostdin", "-i", path, "-vf",
                                   "crop=16:16:0:0,showinfo", "-f", "null", "-"}, true);
    std::regex mean(R"(mean:\[(\d+) (\d+) (\d+)\])");
    std::string sequence;
    for (std::sregex_iterator m(info.begin(), info.end(), mean), end; m != end; ++m) {
        int y = std::stoi((*m)[1]), u = std::stoi((*m)[2]), v = std::stoi((*m)[3]);
        bool slate = std::abs(y - 72) < 10 && std::abs(u - 175) < 10 && std::abs(v - 107) < 10;
        sequence += slate ? 's' : 'p';
    }
    return sequence;
}

std::vector<double> videoTimes(const std::string& path) {
    std::string text = runProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                   "packet=pts_time", "-of", "csv=p=0", path});
    std::vector<double> times;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            times.push_back(std::atof(line.c_str()));
    std::sort(times.begin(), times.end());
    return times;
}

TEST(Stage, ASourceThatStopsGivesWayToTheSlateAndComesBackOnOneStream) {
    TempDir dir;
    int port = freePort(SOCK_DGRAM);
    std::string out = dir / "out.ts";
    auto sender = std::make_unique<LineReader>(senderArgs(port));
    Launcher launcher("-i \"udp://127.0.0.1:" + std::to_string(port) + "\" -c:a aac -c:v libx264 -preset ultrafast "
                      "-f mpegts -y " + out,
                      {"ORVAL_CHANNEL=5", "ORVAL_MEMO=Smoke test", "ORVAL_SOURCE_TIMEOUT=1000",
                       "ORVAL_ALARM_FREEZE=0", "ORVAL_ALARM_BLACK=0", "ORVAL_ALARM_SILENCE=0"},
                      dir.path());
    ASSERT_TRUE(launcher.waitFor("orval-input: canvas 320x240 at 25/1 fps, 48000 Hz, 1 channels", 20s))
        << launcher.text();
    ASSERT_TRUE(launcher.waitFor("time=00:00:03", 15s)) << launcher.text();

    Clock::time_point stopped = Clock::now();
    sender.reset();
    auto lost = launcher.waitFor("orval-alarm: raise source_lost", 3s);
    ASSERT_TRUE(lost) << launcher.text();
    EXPECT_GE(seconds(*lost - stopped), 0.9) << "the source is lost only after its time-out";
    std::this_thread::sleep_for(3s);
    sender = std::make_unique<LineReader>(senderArgs(port));
    Clock::time_point resumed = Clock::now();
    auto back = launcher.waitFor("orval-alarm: clear source_lost", 6s);
    ASSERT_TRUE(back) << launcher.text();
    RecordProperty("loss_ms", static_cast<int>(seconds(*lost - stopped) * 1000));
    RecordProperty("return_ms", static_cast<int>(seconds(*back - resumed) * 1000));
    std::this_thread::sleep_for(3s);
    int status = launcher.stop(true);
    sender.reset();

    // ffmpeg ends on SIGINT with 255 after writing its outputs whole.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status << launcher.text();
    EXPECT_EQ(launcher.text().find("on_backup"), std::string::npos) << "there is no backup";
    std::vector<double> times = videoTimes(out);
    ASSERT_GT(times.size(), 200u);
    for (size_t i = 1; i < times.size(); i++)
        ASSERT_LE(times[i] - times[i - 1], 0.081) << "a step in the pictures' time at " << times[i - 1];
    // The source, then the slate, then the source again.
    std::string shown = cornerSequence(out);
    EXPECT_TRUE(std::regex_match(shown, std::regex("p{50,}s{25,}p{50,}"))) << shown;
}

// The processes whose parent is `pid`.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        pid_t candidate = std::atoi(entry->d_name);
        if (candidate <= 0)
            continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int parent = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == pid)
            children.push_back(candidate);
    }
    if (proc)
        closedir(proc);
    return children;
}

bool gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    size_t close = text.rfind(')');
    return close == std::string::npos || text[close + 2] == 'Z';
}

TEST(Stage, AnAbsentSourceIsLostFromTheStartAndAKilledLauncherLeavesNoProcess) {
    TempDir dir;
    int port = freePort(SOCK_DGRAM);
    Launcher launcher("-i \"udp://127.0.0.1:" + std::to_string(port) + "\" -c:a aac -c:v libx264 -preset ultrafast "
                      "-s 320x240 -r 25 -ar 48000 -ac 2 -f mpegts -y " + (dir / "out.ts"),
                      {"ORVAL_BACKUP=" + (dir / "absent.mp4")}, dir.path());
    // The launcher waits the time-out and a decoder's start-up (3 s) for the source.
    ASSERT_TRUE(launcher.waitFor("orval-alarm: raise source_lost", 9s)) << launcher.text();
    ASSERT_TRUE(launcher.waitFor("time=00:00:02", 10s)) << "the slate goes out" << launcher.text();
    EXPECT_EQ(launcher.text().find("raise on_backup"), std::string::npos) << "the backup fails too";
    std::vector<pid_t> children;
    ASSERT_TRUE(waitUntil([&] { return (children = childrenOf(launcher.pid())).size() >= 2; }, 5000ms));
    kill(launcher.pid(), SIGKILL);
    launcher.stop(false);
    EXPECT_TRUE(waitUntil([&] { return std::all_of(children.begin(), children.end(), gone); }, 3000ms))
        << children.size() << " children";
}

// The launcher looks into a local file before it decides that an explicit
// yuv420p of one target changes nothing and the targets may share.
TEST(Stage, OnlyALocalFileOfYuv420pPicturesCountsAsYuv420p) {
    TempDir dir;
    auto make = [&](const std::string& name, const char* format) {
        runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=5:duration=1",
                    "-pix_fmt", format, "-c:v", "libx264", "-y", dir / name});
        FfGroup input;
        input.url = dir / name;
        input.hasUrl = true;
        return input;
    };
    EXPECT_TRUE(ffLibavInputIsYuv420p(make("plain.mp4", "yuv420p")));
    EXPECT_FALSE(ffLibavInputIsYuv420p(make("full.mp4", "yuv444p")));
    FfGroup chosen = make("chosen.mp4", "yuv420p");
    chosen.add("-f", "mp4");
    EXPECT_FALSE(ffLibavInputIsYuv420p(chosen)) << "a chosen format is not looked into";
    FfGroup address;
    address.url = "udp://127.0.0.1:9";
    address.hasUrl = true;
    EXPECT_FALSE(ffLibavInputIsYuv420p(address)) << "an address is never opened";
}

}  // namespace
