// bench_options.cpp: reads the benchmark's options from its command line.
#include "bench_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/orva.h"

namespace {

constexpr const char* kUsage =
    "usage: orva_bench_supervise [--slots N] [--seconds S] [--kills K] [--log 0|32]\n"
    "                            [--settle S] [--engine-dir DIR] [--work-dir DIR]\n"
    "  --slots N        transcoders to supervise, 1..128 (128)\n"
    "  --seconds S      length of the CPU window (60)\n"
    "  --kills K        children killed to time their reaping, 0.5 s apart (20)\n"
    "  --log L          engine log level; 0 writes no log files (32)\n"
    "  --settle S       seconds between the start and the CPU window (5)\n"
    "  --engine-dir DIR folder of the \"orval.so\" to run (the fake transcoder's)\n"
    "  --work-dir DIR   folder for log/ (a fresh temporary one, removed at the end)\n";

bool readInt(const char* text, int low, int high, int& out) {
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high)
        return false;
    out = static_cast<int>(value);
    return true;
}

// Options that take a whole number, with their accepted range.
struct IntOption {
    const char* name;
    int low, high;
    int BenchOptions::*field;
};

constexpr IntOption kIntOptions[] = {
    {"--slots", 1, ORVA_SLOT_COUNT, &BenchOptions::slots},
    {"--seconds", 1, 86400, &BenchOptions::seconds},
    {"--kills", 0, 10000, &BenchOptions::kills},
    {"--log", 0, 1000, &BenchOptions::logLevel},
    {"--settle", 0, 3600, &BenchOptions::settleSeconds},
};

bool applyOption(const char* name, const char* value, BenchOptions& options) {
    for (const IntOption& option : kIntOptions) {
        if (strcmp(name, option.name) == 0)
            return readInt(value, option.low, option.high, options.*option.field);
    }
    if (strcmp(name, "--engine-dir") == 0)
        options.engineDir = value;
    else if (strcmp(name, "--work-dir") == 0)
        options.workDir = value;
    else
        return false;
    return true;
}

}  // namespace

BenchParse parseBenchOptions(int argc, char** argv, BenchOptions& options) {
    for (int i = 1; i < argc; i += 2) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(kUsage, stdout);
            return BenchParse::Help;
        }
        if (i + 1 >= argc || !applyOption(argv[i], argv[i + 1], options)) {
            fprintf(stderr, "orva_bench_supervise: bad option near '%s'\n%s", argv[i], kUsage);
            return BenchParse::Error;
        }
    }
    return BenchParse::Run;
}
