// orva_playlist_scan.cpp: the folder scan that fills a playlist, in the order
// the folder listing returns its entries.
#include "orva_playlist.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <utility>

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

DirHandle openListing(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR* dir = fdopendir(fd);
    if (!dir)
        close(fd);
    return DirHandle(dir);
}

bool isDotEntry(std::string_view name) { return name == "." || name == ".."; }

// One pass over a folder tree. Links to folders are followed, so each folder
// is listed once per pass: a link back up the tree would otherwise make the
// pass endless.
class FolderScan {
public:
    FolderScan(CPlayList& playlist, bool recur) : playlist_(playlist), recur_(recur) {}

    // False when the folder cannot be opened.
    bool scan(const std::string& folder) {
        DirHandle dir = openListing(folder);
        if (!dir)
            return false;
        if (!markVisited(dirfd(dir.get())))
            return true;
        while (const dirent* entry = readdir(dir.get())) {
            if (isDotEntry(entry->d_name))
                continue;
            // The listing already knows plain files: no status query for each of them.
            if (entry->d_type == DT_REG)
                playlist_.insertFile(folder, entry->d_name);
            else
                scanEntry(folder, entry->d_name);
        }
        return true;
    }

private:
    bool markVisited(int fd) {
        struct stat st;
        if (fstat(fd, &st) != 0)
            return true;
        return visited_.insert({st.st_dev, st.st_ino}).second;
    }

    void scanEntry(const std::string& folder, const char* name) {
        std::string path = folder + "/" + name;
        struct stat st;
        // Anything that is not a folder plays, broken links and devices included.
        if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            playlist_.insertFile(folder, name);
            return;
        }
        if (recur_)
            scan(path);
    }

    CPlayList& playlist_;
    bool recur_;
    std::set<std::pair<dev_t, ino_t>> visited_;
};

}  // namespace

int CPlayList::populate(const char* folder, int) {
    FolderScan scan(*this, m_nRecur != 0);
    if (!folder || !scan.scan(folder)) {
        m_scan = Scan::Unreadable;
        return 0;
    }
    m_scan = GetCount() == 0 ? Scan::FoundEmpty : Scan::FoundFiles;
    return GetCount();
}
