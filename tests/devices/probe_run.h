// probe_run.h: runs the device probe in a process of its own, with the loader
// path and the fake drivers' descriptions a test chooses, and reads back what
// it printed.
#pragma once

#include <map>
#include <string>
#include <vector>

struct ProbeMode {
    int fmtcode, width, height, numFrame, denFrame, interlaced;
};

struct ProbeCard {
    std::string name;
    std::vector<ProbeMode> modes;
};

struct ProbeSource {
    std::string name;
    std::string address;
};

struct ProbeRun {
    bool finished = false;      // ended on its own within the time allowed
    int exitStatus = -1;
    std::string out, err;
    std::vector<int> results;   // one per discovery call
    long count = -1;
    long elapsedMs = -1;
    int present = -1;
    std::vector<ProbeCard> cards;
    std::vector<ProbeSource> sources;
    std::map<std::string, std::string> fake;  // the fake driver's counts, by name
};

// The folder holding the fake driver libraries, and one that holds none.
std::string fakesFolder();

// Runs the probe with `args`; LD_LIBRARY_PATH is `libraryPath` and the
// variables in `env` are set (any other ORVAL_FAKE_* variable is removed).
ProbeRun runProbe(const std::vector<std::string>& args, const std::string& libraryPath,
                  const std::map<std::string, std::string>& env = {}, int limitSeconds = 20);
