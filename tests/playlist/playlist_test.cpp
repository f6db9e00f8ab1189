// Folder playlists on real folders: order, moves, the saved file, recursion.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "playlist/orva_playlist.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

// The full paths in the order the folder's own listing returns them.
Lines listingOrder(const std::string& folder) {
    Lines paths;
    DIR* dir = opendir(folder.c_str());
    while (const dirent* entry = dir ? readdir(dir) : nullptr) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            paths.push_back(folder + "/" + name);
    }
    if (dir)
        closedir(dir);
    return paths;
}

// A folder "clips" holding the given files, and a playlist saved beside it.
struct Clips {
    explicit Clips(const Lines& names) {
        mkdir(folder.c_str(), 0755);
        for (const std::string& name : names)
            writeFile(folder + "/" + name, "x");
        order = listingOrder(folder);
        playlist.init(pls.c_str());
    }
    int build(int recur = 0, int shuffle = 0, int clear = 1) {
        return playlist.build(folder.c_str(), recur, shuffle, clear);
    }
    TempDir dir;
    std::string folder = dir / "clips";
    std::string pls = dir / "orva_001.pls";
    Lines order;
    CPlayList playlist;
};

Lines linesOf(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

Lines savedEntries(const std::string& pls) {
    Lines lines = linesOf(readFile(pls));
    if (!lines.empty() && lines[0].starts_with("current "))
        lines.erase(lines.begin());
    return lines;
}

// The entries from the current one to the last.
Lines walk(CPlayList& playlist) {
    Lines paths;
    for (const char* path = playlist.GetCurFile(); path; path = playlist.MoveNext(0))
        paths.push_back(path);
    return paths;
}

}  // namespace

TEST(Playlist, BuildsInListingOrderAndStoresTheFolderWithoutItsTrailingSlash) {
    Clips clips({"b.ts", "c.ts", "a.ts", "d.ts"});
    ASSERT_EQ(4, clips.playlist.build((clips.folder + "/").c_str(), 0, 0, 1));
    EXPECT_EQ("current " + clips.order[0], linesOf(readFile(clips.pls))[0]);
    EXPECT_EQ(clips.order, savedEntries(clips.pls));
    // The file is replaced whole: no temporary file is left beside it.
    Lines beside = listingOrder(clips.dir.path());
    std::sort(beside.begin(), beside.end());
    EXPECT_EQ(Lines({clips.folder, clips.pls}), beside);
}

TEST(Playlist, MovesStopAtTheEndUnlessTheyWrap) {
    Clips clips({"1.ts", "2.ts", "3.ts"});
    const Lines& order = clips.order;
    ASSERT_EQ(3, clips.build());
    EXPECT_EQ(order, walk(clips.playlist));  // first, second, third, then none
    unlink(clips.pls.c_str());
    EXPECT_EQ(nullptr, clips.playlist.MoveNext(0));
    EXPECT_FALSE(fileExists(clips.pls)) << "a move that changes nothing saves nothing";
    EXPECT_STREQ(order[2].c_str(), clips.playlist.GetCurFile());
    EXPECT_STREQ(order[0].c_str(), clips.playlist.MoveNext(1));
    EXPECT_EQ(nullptr, clips.playlist.MovePrev(0));
    EXPECT_STREQ(order[2].c_str(), clips.playlist.MovePrev(1));
    EXPECT_STREQ(order[1].c_str(), clips.playlist.MovePrev(0));
    EXPECT_EQ("current " + order[1], linesOf(readFile(clips.pls))[0]);
}

TEST(Playlist, RemovedFilesGoAtTheNextBuildAndNewOnesAreReachedAfterRefresh) {
    Clips clips({"1.ts", "2.ts", "3.ts"});
    const Lines& order = clips.order;
    ASSERT_EQ(3, clips.build());
    clips.playlist.MoveNext(0);
    unlink(order[2].c_str());
    EXPECT_STREQ(order[2].c_str(), clips.playlist.MoveNext(0));
    EXPECT_EQ(2, clips.build());
    EXPECT_STREQ(order[0].c_str(), clips.playlist.GetCurFile());

    clips.playlist.MoveNext(0);
    writeFile(clips.folder + "/4.ts", "x");
    EXPECT_EQ(3, clips.playlist.refresh());
    EXPECT_STREQ((clips.folder + "/4.ts").c_str(), clips.playlist.MoveNext(0));
}

TEST(Playlist, RecursesIntoSubfoldersOnlyWhenAskedAndListsEachFolderOnce) {
    Clips clips({"top.ts"});
    mkdir((clips.folder + "/sub").c_str(), 0755);
    writeFile(clips.folder + "/sub/x", "x");
    ASSERT_EQ(0, symlink("..", (clips.folder + "/sub/loop").c_str()));
    ASSERT_EQ(2, clips.build(1));
    Lines entries = savedEntries(clips.pls);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(Lines({clips.folder + "/sub/x", clips.folder + "/top.ts"}), entries);
    EXPECT_EQ(1, clips.build(0));
    EXPECT_EQ(Lines({clips.folder + "/top.ts"}), savedEntries(clips.pls));
}

TEST(Playlist, ARestartResumesWithTheFileThatWasPlaying) {
    Clips clips({"1.ts", "2.ts", "3.ts"});
    clips.build();
    clips.playlist.MoveNext(0);
    EXPECT_EQ("current " + clips.order[1], linesOf(readFile(clips.pls))[0]);
    CPlayList restarted;
    restarted.init(clips.pls.c_str());
    EXPECT_STREQ(clips.order[1].c_str(), restarted.GetCurFile());
    EXPECT_EQ(3, restarted.build(clips.folder.c_str(), 0, 0, 1));
    EXPECT_STREQ(clips.order[1].c_str(), restarted.GetCurFile());
}

TEST(Playlist, LoadsHandEditedFilesLineByLine) {
    std::string longPath = "/" + std::string(1500, 'a');
    struct Case {
        const char* name;
        std::string text;
        std::string current;
        Lines fromCurrent;  // an unknown current: from the entry the next move selects
    } cases[] = {
        {"unknown current", "current /gone\n/a\n/b\n", "", {"/a", "/b"}},
        {"blank lines and CRLF", "\r\n/a \r\n   \r\n\n/b\t\r\n/a\r\n", "/a", {"/a", "/b"}},
        {"last current wins, any case", "current /a\nCURRENT /b\r\n/a\n/b\n", "/b", {"/b"}},
        // The current line is read as an entry is, so a name with a carriage
        // return inside it still finds its entry.
        {"current read as entries are", "current /a\rb.ts \r\n/a\rb.ts\r\n/b\n", "/a\rb.ts",
         {"/a\rb.ts", "/b"}},
        {"a line with a NUL is no path", std::string("current /b\n/a\n/b\0/c\n\0\n/b\n", 25), "/b",
         {"/b"}},
        {"long lines are whole paths", "current " + longPath + "\n" + longPath + "\n/b\n", longPath,
         {longPath, "/b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "orva_001.pls", c.text);
        CPlayList playlist;
        playlist.init((dir / "orva_001.pls").c_str());
        EXPECT_EQ(2, playlist.GetCount());
        const char* current = playlist.GetCurFile();
        EXPECT_EQ(c.current, current ? current : "");
        if (!current)
            playlist.MoveNext(0);
        EXPECT_EQ(c.fromCurrent, walk(playlist));
    }
}

TEST(Playlist, AnEmptyFolderBuildsNothingAndTheNextSaveDeletesTheFile) {
    Clips clips({"1.ts"});
    ASSERT_EQ(1, clips.build());
    unlink(clips.order[0].c_str());
    EXPECT_EQ(0, clips.build());
    EXPECT_TRUE(fileExists(clips.pls));
    clips.playlist.Save();
    EXPECT_FALSE(fileExists(clips.pls));
    EXPECT_EQ(nullptr, clips.playlist.GetCurFile());
    EXPECT_EQ(nullptr, clips.playlist.MoveNext(1));
    EXPECT_EQ(nullptr, clips.playlist.MovePrev(1));
    EXPECT_EQ(0, clips.playlist.build((clips.dir / "missing").c_str(), 0, 0, 1));
}

// The saved position survives every run that does not find the folder empty:
// a disabled channel, a service that failed to start, a folder that cannot
// be read at the moment.
TEST(Playlist, AFileIsKeptUnlessItsFolderWasScannedAndFoundEmpty) {
    struct Case {
        const char* what;
        std::function<void(CPlayList&, const std::string& folder)> run;
        bool kept;
    };
    const Case cases[] = {
        {"not built in this run", [](CPlayList&, const std::string&) {}, true},
        {"moved without a build", [](CPlayList& p, const std::string&) { p.MoveNext(1); }, true},
        {"folder missing", [](CPlayList& p, const std::string& folder) {
             EXPECT_EQ(0, p.build((folder + "/gone").c_str(), 0, 0, 1)); }, true},
        {"folder found empty", [](CPlayList& p, const std::string& folder) {
             mkdir((folder + "/empty").c_str(), 0755);
             EXPECT_EQ(0, p.build((folder + "/empty").c_str(), 0, 0, 1)); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string pls = dir / "orva_001.pls";
        const std::string saved = "current /media/b.ts\n/media/a.ts\n/media/b.ts\n";
        writeFile(pls, saved);
        {
            CPlayList playlist;
            playlist.init(pls.c_str());
            c.run(playlist, dir.path());
            playlist.Save();
        }  // and once more as it goes, as at exit
        EXPECT_EQ(c.kept, fileExists(pls));
        if (c.kept) {
            EXPECT_EQ(saved, readFile(pls));
        }
    }
}

// A renumbered channel takes its playlist file along, built in this run or not.
TEST(Playlist, ATakenOverPlaylistWritesWhatItWasGivenAndTheGiverLosesItsFile) {
    TempDir dir;
    writeFile(dir / "orva_002.pls", "current /media/b.ts\n/media/a.ts\n/media/b.ts\n");
    writeFile(dir / "orva_001.pls", "current /media/x.ts\n/media/x.ts\n");
    {
        CPlayList first, second;
        first.init((dir / "orva_001.pls").c_str());
        second.init((dir / "orva_002.pls").c_str());
        first.takeOver(second);
        EXPECT_EQ("current /media/b.ts\n/media/a.ts\n/media/b.ts\n", readFile(dir / "orva_001.pls"));
        EXPECT_FALSE(fileExists(dir / "orva_002.pls"));
    }
    EXPECT_EQ("current /media/b.ts\n/media/a.ts\n/media/b.ts\n", readFile(dir / "orva_001.pls"));
    EXPECT_FALSE(fileExists(dir / "orva_002.pls"));
}

TEST(Playlist, ShuffledPlaylistsHoldEveryFileOnce) {
    Lines names;
    for (int i = 0; i < 20; i++)
        names.push_back(std::to_string(i) + ".ts");
    Clips clips(names);
    Lines expected = clips.order;
    std::sort(expected.begin(), expected.end());
    for (int clear : {1, 0}) {
        SCOPED_TRACE(clear);
        ASSERT_EQ(20, clips.build(0, 1, clear));
        Lines entries = savedEntries(clips.pls);
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(expected, entries);
    }
}
