// Folder tests and creation of nested folders.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "service/orva_folders.h"
#include "test_support.h"

TEST(Folders, IsDirectoryFollowsLinksAndRejectsEverythingElse) {
    TempDir dir;
    mkdir((dir / "sub").c_str(), 0755);
    writeFile(dir / "file", "x");
    ASSERT_EQ(0, symlink((dir / "sub").c_str(), (dir / "link").c_str()));
    EXPECT_EQ(1, isDirectory(dir.path().c_str()));
    EXPECT_EQ(1, isDirectory((dir / "link").c_str()));
    EXPECT_EQ(0, isDirectory((dir / "file").c_str()));
    EXPECT_EQ(0, isDirectory((dir / "missing").c_str()));
    EXPECT_EQ(0, isDirectory(nullptr));
}

TEST(Folders, CreateFolderMakesMissingAncestorsFromTheTopDown) {
    TempDir dir;
    std::string deep = dir / "a/b/c/d";
    EXPECT_EQ(0, CreateFolder(deep.c_str()));
    EXPECT_EQ(1, isDirectory(deep.c_str()));
    EXPECT_EQ(0, CreateFolder(deep.c_str()));  // already usable
    writeFile(dir / "plain", "x");
    EXPECT_EQ(-1, CreateFolder((dir / "plain/sub").c_str()));
}
