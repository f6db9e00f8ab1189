// orva_atomic_file.h: files that are replaced whole or not at all.
//
// The text is written to a temporary file beside the old one, flushed to disk
// and then renamed over it, so a crash or a full disk never leaves an operator
// with half a configuration or half a playlist.
#pragma once

#include <cstdio>
#include <string>

class AtomicFile {
public:
    explicit AtomicFile(const char* path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Null when the temporary file could not be created.
    FILE* stream() const { return stream_; }
    // Returns 0 once the path holds everything written; -1 leaves the old file as it was.
    int commit();

private:
    std::string path_;
    std::string tempPath_;
    FILE* stream_ = nullptr;
};
