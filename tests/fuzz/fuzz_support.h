// fuzz_support.h: what several harnesses share: a scratch folder of the
// process's own and whole-file reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A fresh folder for this process, on /dev/shm when the machine has it so
// the many small files (and the writer's fsync) cost little. Never removed
// while the process runs; each process makes its own.
const std::string& fuzzScratchFolder();

// Replaces the file at `path` with `bytes`; aborts when it cannot.
void fuzzWriteFile(const std::string& path, std::string_view bytes);
// The whole file, or "" when it cannot be read.
std::string fuzzReadFile(const std::string& path);

// A finding: prints `what` and aborts, so libFuzzer saves the input.
[[noreturn]] void fuzzFail(const char* what);
