// Saving whole files: a save killed part-way leaves nothing behind, and the
// temporary files of older saves are removed by their exact name pattern.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <string>

#include "config/orva_atomic_file.h"
#include "test_support.h"

namespace {

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

}  // namespace

TEST(AtomicFile, ASaveKilledWhileWritingLeavesOnlyTheOldFile) {
    TempDir dir;
    const std::string path = dir / "orval.conf";
    writeFile(path, "old\n");
    for (int trial = 0; trial < 3; trial++) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            AtomicFile file(path.c_str());
            if (!file.stream())
                _exit(1);
            fputs("half a configuration\n", file.stream());
            fflush(file.stream());
            raise(SIGKILL);  // no destructor runs, as when the service is killed
            _exit(2);
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child could not open its file";
    }
    EXPECT_EQ(std::set<std::string>{"orval.conf"}, namesIn(dir.path()));
    EXPECT_EQ("old\n", readFile(path));
}

TEST(AtomicFile, CommitReplacesTheFileAndKeepsItsPermissions) {
    TempDir dir;
    const std::string path = dir / "orval.conf";
    writeFile(path, "old\n");
    chmod(path.c_str(), 0640);
    {
        AtomicFile file(path.c_str());
        ASSERT_NE(nullptr, file.stream());
        fputs("new\n", file.stream());
        EXPECT_EQ(0, file.commit());
    }
    EXPECT_EQ("new\n", readFile(path));
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(std::set<std::string>{"orval.conf"}, namesIn(dir.path()));

    {
        AtomicFile abandoned(path.c_str());  // never committed
        fputs("lost\n", abandoned.stream());
    }
    EXPECT_EQ("new\n", readFile(path));
    EXPECT_EQ(std::set<std::string>{"orval.conf"}, namesIn(dir.path()));
}

TEST(AtomicFile, StaleTemporaryFilesAreRemovedByTheirExactPattern) {
    TempDir dir;
    const std::string path = dir / "orval.conf";
    const std::set<std::string> stale = {"orval.conf.saving-Ab12Zx", "orval.conf.saving-zzzzzz",
                                         "orval.conf.saving-012345"};
    const std::set<std::string> kept = {
        "orval.conf",           "orval.conf.saving-Ab12Z", "orval.conf.saving-Ab12Zx7",
        "orval.conf.saving-Ab-2Zx", "orval.conf.saving-Ab12Z\xc3\xa9", "orval.confsaving-Ab12Zx",
        "other.conf.saving-Ab12Zx", "orval.conf.bak",       "orval.conf.backup",
        "orval.conf.Ab12Zx",    "xorval.conf.saving-Ab12Zx", "orval.conf.saving-Dir123",
        "orval.conf.saving-Lnk123"};
    for (const std::string& name : stale)
        writeFile(dir / name, "stale\n");
    for (const std::string& name : kept) {
        if (name == "orval.conf.saving-Dir123")
            mkdir((dir / name).c_str(), 0755);
        else if (name == "orval.conf.saving-Lnk123")
            ASSERT_EQ(0, symlink("orval.conf", (dir / name).c_str()));
        else
            writeFile(dir / name, "kept\n");
    }
    TempDir elsewhere;
    writeFile(elsewhere / "orval.conf.saving-Ab12Zx", "another folder's\n");

    EXPECT_EQ(3, orvaRemoveStaleTempFiles(path.c_str()));
    EXPECT_EQ(kept, namesIn(dir.path()));
    EXPECT_TRUE(fileExists(elsewhere / "orval.conf.saving-Ab12Zx"));
    EXPECT_EQ(0, orvaRemoveStaleTempFiles(path.c_str()));
    EXPECT_EQ(0, orvaRemoveStaleTempFiles((dir / "missing/orval.conf").c_str()));
    EXPECT_EQ(0, orvaRemoveStaleTempFiles(""));
}
