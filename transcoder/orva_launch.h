// orva_launch.h: the launcher's pure steps: read the service's one command line, check its token, split it and build ffmpeg's argv.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Results of the launcher's steps; launchErrorText turns each into the reason
// the launcher prints.
enum LaunchStatus {
    kLaunchOk = 0,
    kLaunchEndOfInput = -1,  // the input ended before "\n"
    kLaunchReadFailed = -2,  // read() failed; errno tells why
    kLaunchTooLong = -3,     // more than kLaunchMaxLine bytes before "\n"
    kLaunchBadToken = -4,
};

// The service's lines are a few hundred bytes; anything this long is not one.
constexpr std::size_t kLaunchMaxLine = 64 * 1024;
constexpr std::string_view kLaunchToken = "qzWek_3184 ";

// Reads up to and including the first "\n" and not one byte further: the
// service keeps its end of the pipe open, so waiting for more would hang.
// `line` receives the text without the "\n".
int readCommandLine(int fd, std::string& line);

// Gives in `args` what follows the token and its blank.
int stripToken(std::string_view line, std::string_view& args);

// Splits the way the service quotes: blanks separate, double quotes group and
// are dropped, and inside quotes a backslash escapes only '"' and '\'. An
// unclosed quote runs to the end of the line.
std::vector<std::string> splitCommandLine(std::string_view args);

// ffmpeg's argv: the binary, then the rewritten arguments. `ffmpegOverride`
// is $ORVAL_FFMPEG (may be null); without it the binary is "ffmpeg", found
// on PATH.
std::vector<std::string> buildFfmpegArgv(const std::vector<std::string>& args,
                                         const char* ffmpegOverride);

const char* launchErrorText(int status);
