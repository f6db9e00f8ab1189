// orva_launch.cpp: reads, checks and splits the service's command line and builds ffmpeg's argv.
#include "orva_launch.h"

#include <unistd.h>

#include <cerrno>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Reads one byte, retrying interrupted reads. Returns 1, 0 at the end, -1 on failure.
ssize_t readByte(int fd, char& c) {
    ssize_t n;
    do {
        n = read(fd, &c, 1);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Collects the characters of one argument starting at `i`; stops at the first
// blank outside quotes and leaves `i` there.
std::string takeArgument(std::string_view s, std::size_t& i) {
    std::string arg;
    bool quoted = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (!quoted && isBlank(c))
            break;
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        // Outside quotes, and before any other character, a backslash is an
        // ordinary character: filter texts like scale=640\:360 need it kept.
        bool escapes = quoted && c == '\\' && i + 1 < s.size() && (s[i + 1] == '"' || s[i + 1] == '\\');
        if (escapes)
            ++i;
        arg += s[i];
    }
    return arg;
}

}  // namespace

int readCommandLine(int fd, std::string& line) {
    line.clear();
    for (;;) {
        char c;
        ssize_t n = readByte(fd, c);
        if (n == 0)
            return kLaunchEndOfInput;
        if (n < 0)
            return kLaunchReadFailed;
        if (c == '\n')
            return kLaunchOk;
        if (line.size() == kLaunchMaxLine)
            return kLaunchTooLong;
        line += c;
    }
}

int stripToken(std::string_view line, std::string_view& args) {
    if (!line.starts_with(kLaunchToken))
        return kLaunchBadToken;
    args = line.substr(kLaunchToken.size());
    return kLaunchOk;
}

std::vector<std::string> splitCommandLine(std::string_view args) {
    std::vector<std::string> out;
    std::size_t i = 0;
    for (;;) {
        while (i < args.size() && isBlank(args[i]))
            ++i;
        if (i == args.size())
            return out;
        out.push_back(takeArgument(args, i));
    }
}

std::vector<std::string> buildFfmpegArgv(const std::vector<std::string>& args,
                                         const char* ffmpegOverride) {
    bool overridden = ffmpegOverride != nullptr && *ffmpegOverride != '\0';
    std::vector<std::string> argv{overridden ? ffmpegOverride : "ffmpeg"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

const char* launchErrorText(int status) {
    switch (status) {
    case kLaunchOk:
        return "no error";
    case kLaunchEndOfInput:
        return "standard input ended before the end of the command line";
    case kLaunchReadFailed:
        return "cannot read standard input";
    case kLaunchTooLong:
        return "command line on standard input is longer than 64 KiB";
    case kLaunchBadToken:
        return "missing or wrong token on standard input";
    default:
        return "unknown error";
    }
}
