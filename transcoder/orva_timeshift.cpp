// orva_timeshift.cpp: the time-shift recorder and player rules.
#include "orva_timeshift.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <sstream>

#include "orva_rewrite.h"

namespace {

constexpr std::string_view kFeedSuffix = ".ffm";

int wrapTime(const FfGroup& group) {
    auto value = group.value("-wrap_time");
    return value ? std::atoi(value->c_str()) : 0;
}

bool isFeed(const FfGroup& group) {
    return group.has("-wrap_time") && ffEndsWithNoCase(group.url, kFeedSuffix);
}

bool inList(std::string_view word, std::initializer_list<std::string_view> list) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

// MPEG-TS segments carry these; VP9, AV1 and MJPEG need fragmented MP4.
bool tsCarriesVideo(std::string_view encoder) {
    return inList(encoder, {"", "none", "copy", "libx264", "libx265", "mpeg1video", "mpeg2video", "mpeg4",
                            "h264_nvenc", "hevc_nvenc", "h264_qsv", "hevc_qsv", "mpeg2_qsv"});
}

bool fmp4CarriesVideo(std::string_view encoder) {
    return inList(encoder, {"libvpx-vp9", "libaom-av1", "mjpeg"});
}

bool segmentsCarryAudio(std::string_view encoder) {
    return inList(encoder, {"", "none", "copy", "aac", "libfdk_aac", "mp2", "libmp3lame", "ac3", "eac3", "libopus"});
}

double fileAge(const struct stat& st) {
    return static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
}

bool modificationTime(const std::string& path, double& when) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    when = fileAge(st);
    return true;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

double total(const std::vector<double>& durations) {
    return std::accumulate(durations.begin(), durations.end(), 0.0);
}

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

void pause100ms() {
    timespec t{0, 100 * 1000 * 1000};
    nanosleep(&t, nullptr);
}

}  // namespace

bool isTimeShiftRecorder(const FfGroup& output) { return isFeed(output); }

std::string timeShiftRecorderProblem(const FfGroup& output) {
    std::string video = ffVideoEncoder(output);
    if (!tsCarriesVideo(video) && !fmp4CarriesVideo(video))
        return "the time-shift feed cannot carry video encoded with " + video;
    std::string audio = ffAudioEncoder(output);
    if (!segmentsCarryAudio(audio))
        return "the time-shift feed cannot carry audio encoded with " + audio;
    return "";
}

// Two-second segments, a list long enough for the wrap time and deleted as
// they leave it; epoch numbers keep names unique when the recorder restarts.
void ruleTimeShiftRecorder(FfCommand& command) {
    for (FfGroup& output : command.outputs) {
        if (!isFeed(output))
            continue;
        int wrap = wrapTime(output);
        std::string feed = output.url;
        for (std::string_view name : {"-wrap_time", "-f", "-y", "-hls_flags", "-hls_time", "-hls_list_size"})
            output.remove(name);
        std::string video = ffVideoEncoder(output);
        if (video != "none" && video != "copy")
            output.add("-force_key_frames", "expr:gte(t,n_forced*2)");
        int listSize = static_cast<int>(std::ceil(wrap / double(kTimeShiftSegmentSeconds))) + 1;
        output.add("-f", "hls");
        output.add("-hls_time", std::to_string(kTimeShiftSegmentSeconds));
        output.add("-hls_list_size", std::to_string(listSize));
        output.add("-hls_flags", "delete_segments+temp_file");
        output.add("-hls_start_number_source", "epoch");
        if (fmp4CarriesVideo(video)) {
            output.add("-hls_segment_type", "fmp4");
            output.add("-hls_fmp4_init_filename", feed + "_init.mp4");
            output.add("-hls_segment_filename", feed + "_%d.m4s");
        } else {
            output.add("-hls_segment_filename", feed + "_%d.ts");
        }
        output.addFlag("-y");
        output.url = feed + ".m3u8";
    }
}

// The player reads the feed in real time from the chosen segment; without
// "-re" it would race through the backlog and catch up with live.
bool ruleTimeShiftPlayer(FfCommand& command, TimeShiftPlayer& player) {
    for (FfGroup& input : command.inputs) {
        if (!isFeed(input))
            continue;
        int wrap = wrapTime(input);
        input.remove("-wrap_time");
        input.removeWithValue("-f", {"ffm"});
        if (!input.has("-re"))
            input.addFlag("-re");
        input.add("-live_start_index", "-1");
        input.url += ".m3u8";
        player.playlist = input.url;
        player.delay = wrap / 2.0;
        player.limitSeconds = wrap + 30;
        FfTokens before = ffFlatten(command);
        auto at = std::find(before.begin(), before.end(), "-live_start_index");
        player.startIndexArg = static_cast<size_t>(at - before.begin()) + 1;
        return true;
    }
    return false;
}

std::vector<double> hlsDurations(std::string_view playlist) {
    std::vector<double> durations;
    constexpr std::string_view kTag = "#EXTINF:";
    for (size_t at = playlist.find(kTag); at != std::string_view::npos; at = playlist.find(kTag, at + 1))
        durations.push_back(std::strtod(std::string(playlist.substr(at + kTag.size(), 32)).c_str(), nullptr));
    return durations;
}

// Walks back from live; stops once the sum is within half a segment of the delay.
int chooseStartSegments(const std::vector<double>& durations, double delay) {
    double sum = 0;
    int count = 0;
    for (auto d = durations.rbegin(); d != durations.rend(); ++d) {
        sum += *d;
        count++;
        if (sum >= delay - *d / 2)
            break;
    }
    return std::max(count, 1);
}

// Polls silently: the service only watches for silence once output began.
int waitForTimeShiftFeed(const TimeShiftPlayer& player) {
    double deadline = now() + player.limitSeconds;
    double enough = player.delay + kTimeShiftSegmentSeconds;
    double seen = 0;
    while (!modificationTime(player.playlist, seen) || total(hlsDurations(readWhole(player.playlist))) < enough) {
        if (now() > deadline)
            return 0;
        pause100ms();
    }
    // Starting just after a segment was finished keeps the delay exact.
    for (double changed = seen; changed == seen; pause100ms()) {
        if (now() > deadline)
            return 0;
        if (!modificationTime(player.playlist, changed))
            changed = seen;
    }
    return chooseStartSegments(hlsDurations(readWhole(player.playlist)), player.delay);
}
