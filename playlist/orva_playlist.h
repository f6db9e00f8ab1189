// orva_playlist.h: the saved playlist of a channel whose source is a folder.
//
// DESIGN: the list holds full paths in playing order, never the same path
// twice, and `m_itCur` marks the file being played (end = none). Every change
// of position is written to the playlist file at once, so a restart of the
// service resumes with the file that was playing. The file is deleted only
// once the folder has been scanned and found empty: a playlist not built in
// this run (a disabled channel, a service that failed to start) or whose
// folder could not be read keeps the position it had. Callers hold the
// service lock; the playlist takes none of its own.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_set>

class CPlayList {
public:
    CPlayList();
    virtual ~CPlayList();
    // The iterator points into the object's own list, and every object
    // saves itself when it goes: a copy would be both wrong and saved twice.
    CPlayList(const CPlayList&) = delete;
    CPlayList& operator=(const CPlayList&) = delete;

    void init(const char* plsFile);
    void Load();
    void Save() const;

    // Rebuild from `folder`; returns the number of entries, 0 when the folder
    // is missing, unreadable or holds no file.
    int build(const char* folder, int recur, int shuffle, int clear);
    // Adds the files that appeared in the stored folder since the last scan.
    int refresh();
    // Scans `folder` into the list; the number of entries, 0 when it cannot
    // be opened. The int has no effect.
    int populate(const char* folder, int);
    void insertFile(std::string_view folder, std::string_view name);

    // Takes over the folder, the list and the position of `other`, which is
    // left empty; each keeps its own playlist file, and both files are
    // written anew. A channel that gets another number keeps playing on.
    void takeOver(CPlayList& other);

    int GetCount() const;
    // Valid until the list changes.
    const char* GetCurFile() const;
    const char* MoveNext(int wrap);
    const char* MovePrev(int wrap);

private:
    // The first entry equal to `path`, or the end.
    std::list<std::string>::iterator findEntry(std::string_view path);
    bool holds(std::string_view path) const { return m_index.count(path) != 0; }
    // Adds a path that the list does not hold yet, before `position`.
    void insertEntry(std::list<std::string>::iterator position, std::string path);
    void clearEntries();
    // Writes the list, or deletes the file when the list is empty.
    void rewrite() const;
    void writeFile() const;

    // What the last scan of the folder in this run found.
    enum class Scan { None, Unreadable, FoundEmpty, FoundFiles };

    std::string m_strPlsFile;
    std::string m_strFolder;
    int32_t m_nRecur;
    int32_t m_nShuffle;
    std::list<std::string> m_lstFiles;
    std::list<std::string>::iterator m_itCur;
    // The paths of the list, so a rescan of a large folder asks for each file
    // once instead of walking the whole list. The views point into the list.
    std::unordered_set<std::string_view> m_index;
    Scan m_scan;
};

extern CPlayList g_orvaPlaylists[64];
