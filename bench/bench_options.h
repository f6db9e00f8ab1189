// bench_options.h: the command line of the supervision benchmark.
#pragma once

#include <string>

struct BenchOptions {
    int slots = 128;
    int seconds = 60;        // length of the CPU window
    int kills = 20;
    int logLevel = 32;
    int settleSeconds = 5;   // children start and their first lines pass before the window
    std::string engineDir;   // holds the "orval.so" to run; empty: the fake's folder
    std::string workDir;     // empty: a fresh temporary folder, removed at the end
};

enum class BenchParse { Run, Help, Error };

// Prints the usage for Help and Error.
BenchParse parseBenchOptions(int argc, char** argv, BenchOptions& options);
