// orva_playlist.h: the saved playlist of a channel whose source is a folder.
#pragma once

#include <string>

// Folder playlists are not built yet: every playlist is empty, so a folder
// source has no file to play and its channel start is refused.
class CPlayList {
public:
    virtual ~CPlayList() = default;
    void init(const char* plsFile) { m_strPlsFile = plsFile ? plsFile : ""; }
    int build(const char* folder, int recur, int shuffle, int clear);
    int refresh() { return 0; }
    int GetCount() const { return 0; }
    const char* GetCurFile() const { return nullptr; }
    const char* MoveNext(int wrap);

private:
    std::string m_strPlsFile;
};

extern CPlayList g_orvaPlaylists[64];
