// orva_playlist.cpp: the 64 folder playlists, their rebuild and the moves
// from file to file.
#include "orva_playlist.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <utility>

CPlayList g_orvaPlaylists[64];

CPlayList::CPlayList() : m_nRecur(0), m_nShuffle(0), m_itCur(m_lstFiles.end()), m_scan(Scan::None) {}

CPlayList::~CPlayList() { Save(); }

void CPlayList::init(const char* plsFile) {
    m_strPlsFile = plsFile ? plsFile : "";
    Load();
}

int CPlayList::build(const char* folder, int recur, int shuffle, int clear) {
    std::string remembered;
    bool hadCurrent = m_itCur != m_lstFiles.end();
    if (hadCurrent)
        remembered = *m_itCur;
    if (clear)
        clearEntries();
    m_strFolder = folder ? folder : "";
    m_nRecur = recur;
    m_nShuffle = shuffle;
    if (!m_strFolder.empty() && m_strFolder.back() == '/')
        m_strFolder.pop_back();
    if (populate(m_strFolder.c_str(), 1) == 0)
        return 0;
    m_itCur = hadCurrent ? findEntry(remembered) : m_lstFiles.end();
    // A current file that has gone from the folder hands over to the first.
    if (m_itCur == m_lstFiles.end())
        m_itCur = m_lstFiles.begin();
    Save();
    return GetCount();
}

int CPlayList::refresh() {
    // build() assigns the folder text, so it must not read from it.
    std::string folder = m_strFolder;
    return build(folder.c_str(), m_nRecur, m_nShuffle, 0);
}

void CPlayList::insertFile(std::string_view folder, std::string_view name) {
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    path.append(folder).append("/").append(name);
    if (holds(path))
        return;
    if (m_nShuffle == 0 || m_lstFiles.empty()) {
        insertEntry(m_lstFiles.end(), std::move(path));
        return;
    }
    // Never seeded: every run of the service draws the same order. Index 0
    // is twice as likely as the others, and the end is never chosen.
    int r = rand() % GetCount();
    insertEntry(std::next(m_lstFiles.begin(), std::max(r - 1, 0)), std::move(path));
}

void CPlayList::takeOver(CPlayList& other) {
    if (&other == this)
        return;
    bool hasCurrent = other.m_itCur != other.m_lstFiles.end();
    clearEntries();
    m_strFolder = std::move(other.m_strFolder);
    other.m_strFolder.clear();
    m_nRecur = other.m_nRecur;
    m_nShuffle = other.m_nShuffle;
    // Spliced nodes stay where they are: the current position and the
    // addresses handed out by GetCurFile stay valid.
    m_lstFiles.splice(m_lstFiles.end(), other.m_lstFiles);
    m_index.swap(other.m_index);
    m_itCur = hasCurrent ? other.m_itCur : m_lstFiles.end();
    other.m_itCur = other.m_lstFiles.end();
    m_scan = other.m_scan;
    other.m_scan = Scan::None;
    // The files follow the lists, built in this run or only loaded.
    rewrite();
    other.rewrite();
}

int CPlayList::GetCount() const { return static_cast<int>(m_lstFiles.size()); }

const char* CPlayList::GetCurFile() const {
    return m_itCur == m_lstFiles.end() ? nullptr : m_itCur->c_str();
}

const char* CPlayList::MoveNext(int wrap) {
    auto next = m_itCur == m_lstFiles.end() ? m_lstFiles.begin() : std::next(m_itCur);
    if (next == m_lstFiles.end()) {
        if (!wrap)
            return nullptr;
        next = m_lstFiles.begin();
    }
    m_itCur = next;
    Save();
    return GetCurFile();
}

const char* CPlayList::MovePrev(int wrap) {
    // There is no last entry to step back to in an empty list.
    if (m_lstFiles.empty())
        return nullptr;
    if (m_itCur == m_lstFiles.begin()) {
        if (!wrap)
            return nullptr;
        m_itCur = m_lstFiles.end();
    }
    m_itCur = std::prev(m_itCur);
    Save();
    return GetCurFile();
}

void CPlayList::insertEntry(std::list<std::string>::iterator position, std::string path) {
    auto entry = m_lstFiles.insert(position, std::move(path));
    m_index.insert(*entry);
}

void CPlayList::clearEntries() {
    m_index.clear();
    m_lstFiles.clear();
    m_itCur = m_lstFiles.end();
}

std::list<std::string>::iterator CPlayList::findEntry(std::string_view path) {
    return std::find(m_lstFiles.begin(), m_lstFiles.end(), path);
}
