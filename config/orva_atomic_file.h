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
    bool openUnnamed();
    bool openNamed();
    bool giveName();

    std::string path_;
    std::string tempPath_;  // empty while the temporary file has no name
    FILE* stream_ = nullptr;
};

// Removes the temporary files that AtomicFile leaves beside `path` when the
// process is killed in the short moment before the rename (or, where the
// folder takes no unnamed files, during the whole write): regular files named
// like `path` followed by "." and six letters or digits. Returns the number
// removed. Call it at start-up, before anything writes `path`.
int orvaRemoveStaleTempFiles(const char* path);
