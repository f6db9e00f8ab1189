// orva_playlist_file.cpp: the playlist file, "current <path>" first when a
// file is playing, then one path per line in playing order.
#include "orva_playlist.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "config/orva_atomic_file.h"

namespace {

constexpr std::string_view kCurrentPrefix = "current ";

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

// One line at a time, of any length: a path is never split across entries.
class LineReader {
public:
    explicit LineReader(FILE* file) : file_(file) {}
    ~LineReader() { free(data_); }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool next(std::string_view& line) {
        ssize_t length = getline(&data_, &size_, file_);
        if (length < 0)
            return false;
        line = std::string_view(data_, static_cast<size_t>(length));
        return true;
    }

private:
    FILE* file_;
    char* data_ = nullptr;
    size_t size_ = 0;
};

bool isCurrentLine(std::string_view line) {
    return line.size() >= kCurrentPrefix.size() &&
           strncasecmp(line.data(), kCurrentPrefix.data(), kCurrentPrefix.size()) == 0;
}

std::string_view stripTrailing(std::string_view line) {
    size_t keep = line.find_last_not_of(" \t\r\n");
    return keep == std::string_view::npos ? std::string_view() : line.substr(0, keep + 1);
}

// The path of the current line ends as an entry's does, so a name with a
// carriage return inside it still finds its entry after a restart.
std::string_view currentPath(std::string_view line) {
    return stripTrailing(line.substr(kCurrentPrefix.size()));
}

}  // namespace

void CPlayList::Load() {
    if (m_strPlsFile.empty())
        return;
    std::unique_ptr<FILE, FileCloser> file(fopen(m_strPlsFile.c_str(), "re"));
    if (!file)
        return;
    std::string current;
    bool hasCurrent = false;
    LineReader reader(file.get());
    std::string_view line;
    while (reader.next(line)) {
        // No file name holds a NUL: such a line is damage, not a path.
        if (line.find('\0') != std::string_view::npos)
            continue;
        if (isCurrentLine(line)) {
            current = currentPath(line);
            hasCurrent = true;
            continue;
        }
        std::string_view path = stripTrailing(line);
        // Blank lines of a hand-edited file name no file.
        if (!path.empty() && !holds(path))
            insertEntry(m_lstFiles.end(), std::string(path));
    }
    m_itCur = hasCurrent ? findEntry(current) : m_lstFiles.begin();
}

void CPlayList::Save() const {
    if (m_strPlsFile.empty())
        return;
    if (m_lstFiles.empty()) {
        if (m_scan == Scan::FoundEmpty)
            unlink(m_strPlsFile.c_str());  // nothing is left in the folder to resume
        return;
    }
    // Not built in this run: the file already holds what was loaded from it.
    if (m_scan != Scan::None)
        writeFile();
}

void CPlayList::rewrite() const {
    if (m_strPlsFile.empty())
        return;
    if (m_lstFiles.empty())
        unlink(m_strPlsFile.c_str());
    else
        writeFile();
}

void CPlayList::writeFile() const {
    AtomicFile file(m_strPlsFile.c_str());
    FILE* out = file.stream();
    if (!out)
        return;
    if (m_itCur != m_lstFiles.end())
        fprintf(out, "current %s\n", m_itCur->c_str());
    for (const std::string& path : m_lstFiles)
        fprintf(out, "%s\n", path.c_str());
    // When the file cannot be written whole, the old one stays as it was.
    file.commit();
}
