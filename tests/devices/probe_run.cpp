// probe_run.cpp: starts the device probe with a chosen environment and parses
// its report.
#include "devices/probe_run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "test_support.h"

extern char** environ;

namespace {

std::vector<std::string> probeEnvironment(const std::string& libraryPath,
                                          const std::map<std::string, std::string>& env) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; entry++) {
        std::string_view text(*entry);
        if (text.starts_with("LD_LIBRARY_PATH=") || text.starts_with("ORVAL_FAKE_"))
            continue;
        result.emplace_back(text);
    }
    result.push_back("LD_LIBRARY_PATH=" + libraryPath);
    for (const auto& [name, value] : env)
        result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

void parseLine(const std::string& line, ProbeRun& run) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    std::string rest = line.size() > key.size() ? line.substr(key.size() + 1) : "";
    if (key == "result") {
        run.results.push_back(std::stoi(rest));
    } else if (key == "count") {
        run.count = std::stol(rest);
    } else if (key == "elapsed_ms") {
        run.elapsedMs = std::stol(rest);
    } else if (key == "present") {
        run.present = std::stoi(rest);
    } else if (key == "card") {
        run.cards.push_back({rest, {}});
    } else if (key == "mode" && !run.cards.empty()) {
        ProbeMode m{};
        words >> m.fmtcode >> m.width >> m.height >> m.numFrame >> m.denFrame >> m.interlaced;
        run.cards.back().modes.push_back(m);
    } else if (key == "name") {
        run.sources.push_back({rest, {}});
    } else if (key == "addr" && !run.sources.empty()) {
        run.sources.back().address = rest;
    } else if (key == "objects" || key == "fake") {
        for (std::string name, value; words >> name >> value;)
            run.fake[name] = value;
    }
}

}  // namespace

std::string fakesFolder() { return ORVAL_FAKES_DIR; }

ProbeRun runProbe(const std::vector<std::string>& args, const std::string& libraryPath,
                  const std::map<std::string, std::string>& env, int limitSeconds) {
    TempDir dir;
    std::string outPath = dir / "out.txt", errPath = dir / "err.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> argTexts{ORVAL_DEVICE_PROBE};
    argTexts.insert(argTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = probeEnvironment(libraryPath, env);
    std::vector<char*> argv = pointers(argTexts), envp = pointers(envTexts);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, ORVAL_DEVICE_PROBE, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ProbeRun run;
    if (spawned != 0)
        return run;
    int status = 0;
    run.finished = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                             std::chrono::seconds(limitSeconds));
    if (!run.finished) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        parseLine(line, run);
    return run;
}
