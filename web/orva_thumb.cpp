// orva_thumb.cpp: serves the channels' live thumbnails from the work folder.
//
// The transcoder replaces each picture by renaming a finished file over the
// old one, so one open gives a whole picture, old or new.
#include "orva_thumb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "engine/orva.h"
#include "engine/orva_text.h"
#include "orva_web.h"
#include "service/orva_paths.h"

namespace {


struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            close(fd);
    }
};

bool thumbPath(char (&path)[1100], int channel) {
    TextCursor t(path, sizeof path);
    appendf(t, "%s/thumb/orva_%03d.jpg", orvaPath(OrvaPath::WorkDir), channel);
    return !t.truncated;
}

bool isRecent(const struct stat& st) {
    return difftime(time(nullptr), st.st_mtime) <= kOrvaThumbStaleSeconds;
}

// The whole picture, or "" when there is none worth showing.
std::string readPicture(const char* path) {
    FdCloser file{open(path, O_RDONLY | O_CLOEXEC)};
    struct stat st;
    if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return "";
    if (st.st_size <= 0 || st.st_size > ORVA_WEB_FILE_MAX || !isRecent(st))
        return "";
    std::string picture(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < picture.size()) {
        ssize_t n = read(file.fd, picture.data() + got, picture.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    picture.resize(got);
    return picture;
}

}  // namespace

int orvaCGIThumb(int channel, MHD_Connection* connection) {
    char path[1100];
    if (channel < 1 || channel > ORVA_CHANNEL_COUNT || !thumbPath(path, channel))
        return orvaReplyEmpty(connection, ORVA_HTTP_NOT_FOUND);
    std::string picture = readPicture(path);
    if (picture.empty())
        return orvaReplyEmpty(connection, ORVA_HTTP_NOT_FOUND);
    return orvaReplyText(connection, picture.data(), picture.size(), "image/jpeg", true);
}
