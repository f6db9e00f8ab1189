// launch_test.cpp: the transcoder launcher: its splitting, token check and line reading, and the built orval.so run against a fake ffmpeg.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "orva_launch.h"

namespace {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

TEST(SplitCommandLine, FollowsTheQuotingTheServiceWrites) {
    struct Case { std::string_view args; Lines expected; };
    const Case cases[] = {
        {R"(-re -i "/media/a b.ts" -f hls )", {"-re", "-i", "/media/a b.ts", "-f", "hls"}},
        {R"(-metadata "" -y)", {"-metadata", "", "-y"}},
        {R"("")", {""}},
        {R"(-vf scale=640\:360)", {"-vf", R"(scale=640\:360)"}},
        {R"(-vf "scale=640\:360")", {"-vf", R"(scale=640\:360)"}},
        {R"("say \"hi\"" "a\\b")", {R"(say "hi")", R"(a\b)"}},
        {R"(c\\d C:\dir\"x y")", {R"(c\\d)", R"(C:\dir\x y)"}},
        {"a   b\t\tc  ", {"a", "b", "c"}},
        {R"(a"b c"d)", {"ab cd"}},
        {R"(-i "$HOME/*.ts" ~)", {"-i", "$HOME/*.ts", "~"}},
        {R"(-i "open end)", {"-i", "open end"}},
        {"   ", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(splitCommandLine(c.args), c.expected);
    }
}

TEST(StripToken, AcceptsOnlyTheTokenFollowedByABlank) {
    struct Case { std::string_view line; int status; std::string_view rest; };
    const Case cases[] = {
        {"qzWek_3184 -i x", kLaunchOk, "-i x"},
        {"qzWek_3184 ", kLaunchOk, ""},
        {"qzWek_3184", kLaunchBadToken, ""},
        {"qzWek_3184-i x", kLaunchBadToken, ""},
        {"qzWek_31845 -i x", kLaunchBadToken, ""},
        {" qzWek_3184 -i x", kLaunchBadToken, ""},
        {"QZWEK_3184 -i x", kLaunchBadToken, ""},
        {"-i x", kLaunchBadToken, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string_view rest;
        EXPECT_EQ(stripToken(c.line, rest), c.status);
        EXPECT_EQ(rest, c.rest);
    }
}

TEST(ReadCommandLine, StopsAtTheNewlineAndLeavesTheRestUnread) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string sent = "qzWek_3184 -i x\nEXTRA";
    ASSERT_EQ(write(fds[1], sent.data(), sent.size()), ssize_t(sent.size()));
    close(fds[1]);
    std::string line;
    EXPECT_EQ(readCommandLine(fds[0], line), kLaunchOk);
    EXPECT_EQ(line, "qzWek_3184 -i x");
    char rest[16];
    EXPECT_EQ(std::string(rest, std::max<ssize_t>(0, read(fds[0], rest, sizeof rest))), "EXTRA");
    EXPECT_EQ(readCommandLine(fds[0], line), kLaunchEndOfInput);
    close(fds[0]);
}

TEST(ReadCommandLine, AcceptsLinesUpTo64KiBAndRefusesLongerOnes) {
    for (size_t length : {kLaunchMaxLine, kLaunchMaxLine + 1}) {
        SCOPED_TRACE(length);
        // A file, not a pipe: a pipe would not take the whole line without a reader.
        int fd = memfd_create("line", MFD_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string sent = std::string(length, 'a') + "\n";
        ASSERT_EQ(pwrite(fd, sent.data(), sent.size(), 0), ssize_t(sent.size()));
        std::string line;
        EXPECT_EQ(readCommandLine(fd, line), length <= kLaunchMaxLine ? kLaunchOk : kLaunchTooLong);
        EXPECT_EQ(line.size(), std::min(length, kLaunchMaxLine));
        close(fd);
    }
}

struct Outcome {
    pid_t pid = -1;
    int status = -1;
    std::string output;  // stdout and stderr, as the service reads them
};

Lines splitLines(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Runs the built orval.so the way the service does: one pipe for stdout and
// stderr, made non-blocking, and stdin left open after the line unless told.
class OrvalSo : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orval-launch-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "empty");
        std::ofstream(dir_ / "ffmpeg") << "#!/bin/sh\n"
                                          "echo \"pid $$\"\n"
                                          "echo \"stdin $(readlink /proc/$$/fd/0)\"\n"
                                          "sed -n 's/^flags:[[:space:]]*/stdout flags /p' /proc/$$/fdinfo/1\n"
                                          "for a in \"$@\"; do printf 'arg %s\\n' \"$a\"; done\n"
                                          "exit \"${FAKE_EXIT:-0}\"\n";
        fs::permissions(dir_ / "ffmpeg", fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string fake() const { return (dir_ / "ffmpeg").string(); }

    Outcome launch(const std::string& input, Lines env, bool endInput = false) {
        Outcome run;
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return run;
        fcntl(out[1], F_SETFL, fcntl(out[1], F_GETFL) | O_NONBLOCK);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        std::vector<char*> envp;
        for (std::string& e : env)
            if (!e.empty())
                envp.push_back(e.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(ORVAL_SO_BINARY), nullptr};
        if (posix_spawn(&run.pid, ORVAL_SO_BINARY, &actions, nullptr, argv, envp.data()) != 0)
            run.pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        if (run.pid > 0) {
            EXPECT_EQ(write(in[1], input.data(), input.size()), ssize_t(input.size()));
            if (endInput)
                close(in[1]);
            run.output = readAll(out[0], run.pid);
            waitpid(run.pid, &run.status, 0);
        }
        if (!endInput)
            close(in[1]);
        close(out[0]);
        return run;
    }

    // A launcher that waits for the end of its input never finishes, so
    // this gives up after ten seconds.
    static std::string readAll(int fd, pid_t pid) {
        std::string text;
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 10000) == 1) {
            char buffer[4096];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                return text;
            text.append(buffer, n);
        }
        ADD_FAILURE() << "orval.so did not finish; output so far: " << text;
        kill(pid, SIGKILL);
        return text;
    }

    fs::path dir_;
};

TEST_F(OrvalSo, BecomesFfmpegWithTheServicesArgumentsAndStdinFromDevNull) {
    Outcome run = launch("qzWek_3184 -v 32 -re -i \"/media/a b.ts\" -vf scale=640\\:360 -f mpegts -y \"\" \n",
                     {"PATH=/usr/bin:/bin", "ORVAL_FFMPEG=" + fake()});
    ASSERT_TRUE(WIFEXITED(run.status)) << run.output;
    EXPECT_EQ(WEXITSTATUS(run.status), 0);
    Lines lines = splitLines(run.output);
    ASSERT_GE(lines.size(), 3u) << run.output;
    EXPECT_EQ(lines[0], "pid " + std::to_string(run.pid));
    EXPECT_EQ(lines[1], "stdin /dev/null");
    ASSERT_TRUE(lines[2].starts_with("stdout flags ")) << lines[2];
    EXPECT_EQ(std::strtol(lines[2].c_str() + 13, nullptr, 8) & O_NONBLOCK, 0) << lines[2];
    EXPECT_EQ(Lines(lines.begin() + 3, lines.end()),
              (Lines{"arg -nostdin", "arg -v", "arg 32", "arg -re", "arg -i", "arg /media/a b.ts", "arg -vf",
                     "arg scale=640\\:360", "arg -f", "arg mpegts", "arg -y", "arg "}));
}

TEST_F(OrvalSo, ExitsWithFfmpegsExitStatus) {
    for (int status : {0, 7, 255}) {
        SCOPED_TRACE(status);
        Outcome run = launch("qzWek_3184 -i x\n", {"ORVAL_FFMPEG=" + fake(), "FAKE_EXIT=" + std::to_string(status)});
        ASSERT_TRUE(WIFEXITED(run.status)) << run.output;
        EXPECT_EQ(WEXITSTATUS(run.status), status) << run.output;
    }
}

TEST_F(OrvalSo, FindsFfmpegOnPathWhenOrvalFfmpegIsUnsetOrEmpty) {
    for (const char* setting : {"", "ORVAL_FFMPEG="}) {
        SCOPED_TRACE(setting);
        Outcome run = launch("qzWek_3184 -i x\n", {"PATH=" + dir_.string() + ":/usr/bin:/bin", setting});
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
        EXPECT_NE(run.output.find("arg -nostdin\narg -i\narg x\n"), std::string::npos) << run.output;
    }
}

TEST_F(OrvalSo, WritesTheThumbnailNamedByTheServiceAndRunsWithoutOneWhenItsFolderCannotBeMade) {
    const std::string line = "qzWek_3184 -i in.ts -c:v libx264 -f mpegts out.ts\n";
    std::string thumb = (dir_ / "work/thumb/orva_007.jpg").string();
    fs::create_directory(dir_ / "work");
    Outcome run = launch(line, {"ORVAL_FFMPEG=" + fake(), "ORVAL_THUMB=" + thumb});
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    EXPECT_TRUE(fs::is_directory(dir_ / "work/thumb"));
    // The target goes through a muxer of its own; the encoder writes its group to pipe:4.
    EXPECT_NE(run.output.find("arg pipe:4\narg -map\narg 0:v:0?\n"), std::string::npos) << run.output;
    EXPECT_TRUE(run.output.ends_with("arg -f\narg tee\narg [select=v:f=image2:update=1:atomic_writing=1:onfail=ignore]" +
                                     thumb + "|[select=a:f=null:onfail=ignore]-\n")) << run.output;

    std::ofstream(dir_ / "blocker") << "a file where the work folder should be\n";
    std::string blocked = (dir_ / "blocker/thumb/orva_007.jpg").string();
    run = launch(line, {"ORVAL_FFMPEG=" + fake(), "ORVAL_THUMB=" + blocked});
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    EXPECT_TRUE(run.output.starts_with("orval.so: cannot create the folder of " + blocked + ", no thumbnail (")) << run.output;
    EXPECT_TRUE(run.output.ends_with("arg pipe:4\n")) << run.output;
}

TEST_F(OrvalSo, RefusesWithOneReasonLineAndStatusOne) {
    struct Case { const char* what; std::string input; bool endInput; Lines env; std::string line; };
    const Case cases[] = {
        {"wrong token", "qzWek_3185 -i x\n", false, {"ORVAL_FFMPEG=" + fake()},
         "orval.so: missing or wrong token on standard input\n"},
        {"no token", "-i x\n", false, {"ORVAL_FFMPEG=" + fake()},
         "orval.so: missing or wrong token on standard input\n"},
        {"input ends early", "qzWek_3184 -i x", true, {"ORVAL_FFMPEG=" + fake()},
         "orval.so: standard input ended before the end of the command line\n"},
        {"ORVAL_FFMPEG missing", "qzWek_3184 -i x\n", false, {"ORVAL_FFMPEG=" + (dir_ / "absent").string()},
         "orval.so: cannot run " + (dir_ / "absent").string() + " (No such file or directory)\n"},
        {"ffmpeg not on PATH", "qzWek_3184 -i x\n", false, {"PATH=" + (dir_ / "empty").string()},
         "orval.so: cannot run ffmpeg (No such file or directory)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome run = launch(c.input, c.env, c.endInput);
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << run.status;
        EXPECT_EQ(run.output, c.line);
    }
}

}  // namespace
