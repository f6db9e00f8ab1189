// orva_timeshift.h: time shift over a rolling HLS feed. The recorder writes
// short segments beside the feed path; the player waits until the feed
// holds the delay and then plays it from that far behind live, in real time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "orva_ffargs.h"

constexpr int kTimeShiftSegmentSeconds = 2;

// The wait of a player, done before ffmpeg starts.
struct TimeShiftPlayer {
    std::string playlist;    // the recorder's feed playlist
    double delay = 0;        // seconds behind live
    int limitSeconds = 0;    // give up after this long
    size_t startIndexArg = 0;  // the argument that receives "-N" once N is known
};

// The recorder's output: "-wrap_time W" into a ".ffm" feed.
bool isTimeShiftRecorder(const FfGroup& output);
// The reason a recorder's codecs cannot go into the feed, or "".
std::string timeShiftRecorderProblem(const FfGroup& output);
void ruleTimeShiftRecorder(FfCommand& command);
// Rewrites the player's input; returns true when there is one to wait for.
bool ruleTimeShiftPlayer(FfCommand& command, TimeShiftPlayer& player);

// The "#EXTINF" durations of a playlist, in order.
std::vector<double> hlsDurations(std::string_view playlist);
// How many trailing segments come closest to `delay` seconds.
int chooseStartSegments(const std::vector<double>& durations, double delay);
// Waits as described above; returns the number of segments, or 0 when the
// feed did not hold the delay in time.
int waitForTimeShiftFeed(const TimeShiftPlayer& player);
