// orva_playlist.cpp: the 64 folder playlists, one per channel.
#include "orva_playlist.h"

CPlayList g_orvaPlaylists[64];

int CPlayList::build(const char*, int, int, int) { return 0; }

const char* CPlayList::MoveNext(int) { return nullptr; }
