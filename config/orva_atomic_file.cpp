// orva_atomic_file.cpp: temporary file, flush to disk, rename.
//
// DESIGN: the temporary file is opened unnamed in the target's folder
// (O_TMPFILE), so a process killed while writing leaves nothing behind. Only
// once everything is on disk does it get a name, "<path>.saving-XXXXXX", and
// that name is at once renamed over the target. The infix keeps the pattern
// clear of the names operators give their own copies ("orval.conf.backup"). A folder without unnamed files
// gets a named temporary file from the start, as mkostemp makes it. Both use
// the same name pattern, the one orvaRemoveStaleTempFiles looks for.
#include "orva_atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

#include "engine/orva_text.h"

namespace {

constexpr std::string_view kNameLetters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view kTempInfix = ".saving-";
constexpr size_t kSuffixLength = 6;  // as mkostemp's "XXXXXX"
constexpr int kNamingAttempts = 100;

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

std::string folderOf(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

std::string randomSuffix() {
    unsigned char bytes[kSuffixLength];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        unsigned state = static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(getpid());
        for (unsigned char& byte : bytes)
            byte = static_cast<unsigned char>(rand_r(&state));
    }
    std::string suffix;
    for (unsigned char byte : bytes)
        suffix += kNameLetters[byte % kNameLetters.size()];
    return suffix;
}

bool isTempName(std::string_view name, std::string_view base) {
    size_t prefix = base.size() + kTempInfix.size();
    if (name.size() != prefix + kSuffixLength || name.substr(0, base.size()) != base ||
        name.substr(base.size(), kTempInfix.size()) != kTempInfix)
        return false;
    return name.substr(prefix).find_first_not_of(kNameLetters) == std::string_view::npos;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

AtomicFile::AtomicFile(const char* path) : path_(path ? path : "") {
    if (!path_.empty() && !openUnnamed())
        openNamed();
}

// Giving the file its name goes through /proc, which unprivileged processes may use.
bool AtomicFile::openUnnamed() {
    if (access("/proc/self/fd", X_OK) != 0)
        return false;
    int fd = open(folderOf(path_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;  // the file system takes no unnamed files
    fchmod(fd, modeFor(path_));
    stream_ = fdopen(fd, "w");
    if (!stream_)
        close(fd);
    return stream_ != nullptr;
}

bool AtomicFile::openNamed() {
    tempPath_ = path_ + std::string(kTempInfix) + "XXXXXX";
    int fd = mkostemp(tempPath_.data(), O_CLOEXEC);
    if (fd < 0) {
        tempPath_.clear();
        return false;
    }
    fchmod(fd, modeFor(path_));
    stream_ = fdopen(fd, "w");
    if (stream_)
        return true;
    close(fd);
    unlink(tempPath_.c_str());
    tempPath_.clear();
    return false;
}

// Links the unnamed file under a fresh temporary name beside the target.
bool AtomicFile::giveName() {
    if (!tempPath_.empty())
        return true;
    char self[64];
    TextCursor t(self, sizeof self);
    appendf(t, "/proc/self/fd/%d", fileno(stream_));
    for (int attempt = 0; attempt < kNamingAttempts; attempt++) {
        std::string name = path_ + std::string(kTempInfix) + randomSuffix();
        if (linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            tempPath_ = name;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
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
    written = written && giveName();
    written = fclose(stream_) == 0 && written;
    stream_ = nullptr;
    if (!written || rename(tempPath_.c_str(), path_.c_str()) != 0)
        return -1;  // the destructor removes the temporary file
    tempPath_.clear();
    return 0;
}

int orvaRemoveStaleTempFiles(const char* path) {
    std::string_view full(path ? path : "");
    std::string_view base = full.substr(full.rfind('/') + 1);  // npos + 1 is 0
    if (base.empty())
        return 0;
    int folder = open(folderOf(full).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return 0;
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(folder));
    if (!dir) {
        close(folder);
        return 0;
    }
    int removed = 0;
    while (const dirent* entry = readdir(dir.get())) {
        struct stat st;
        if (!isTempName(entry->d_name, base) ||
            fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (unlinkat(folder, entry->d_name, 0) == 0)
            removed++;
    }
    return removed;
}
