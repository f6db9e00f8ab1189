// orva_atomic_file.cpp: temporary file, flush to disk, rename.
#include "orva_atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// The new file keeps the old one's permissions; a first file gets what
// creating it directly would have given it.
mode_t modeFor(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return st.st_mode & 07777;
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

AtomicFile::AtomicFile(const char* path) : path_(path ? path : "") {
    if (path_.empty())
        return;
    tempPath_ = path_ + ".XXXXXX";
    int fd = mkostemp(tempPath_.data(), O_CLOEXEC);
    if (fd < 0) {
        tempPath_.clear();
        return;
    }
    fchmod(fd, modeFor(path_));
    stream_ = fdopen(fd, "w");
    if (!stream_) {
        close(fd);
        unlink(tempPath_.c_str());
        tempPath_.clear();
    }
}

AtomicFile::~AtomicFile() {
    if (stream_)
        fclose(stream_);
    if (!tempPath_.empty())
        unlink(tempPath_.c_str());
}

int AtomicFile::commit() {
    if (!stream_)
        return -1;
    bool written = fflush(stream_) == 0 && !ferror(stream_) && fsync(fileno(stream_)) == 0;
    written = fclose(stream_) == 0 && written;
    stream_ = nullptr;
    if (!written || rename(tempPath_.c_str(), path_.c_str()) != 0)
        return -1;  // the destructor removes the temporary file
    tempPath_.clear();
    return 0;
}
