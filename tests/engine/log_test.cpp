// Slot logs: line forms, the log switch and rotation with real files.
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "engine/engine_fixture.h"

namespace {

// The content that marks generation k in these tests.
std::string tag(int k) {
    char text[16];
    snprintf(text, sizeof text, "g%d", k);
    return text;
}

class LogTest : public EngineTest {
protected:
    void SetUp() override { ASSERT_EQ(0, initEngine("exit 0")); }
    std::string path(int generation) const {
        char name[40];
        if (generation == 0)
            snprintf(name, sizeof name, "log/orva_%03d.log", 3);
        else
            snprintf(name, sizeof name, "log/orva_%03d-%d.log", 3, generation);
        return dir / name;
    }
    void fillCurrent(long bytes) { writeFile(path(0), std::string(static_cast<size_t>(bytes), 'c')); }
};

}  // namespace

TEST_F(LogTest, StatusLinesAreStampedAndEndedOnceRawOutputIsWrittenAsItIs) {
    EXPECT_EQ(0, orvaLog(2, 1, "stop transcoding"));
    EXPECT_EQ(0, orvaLog(2, 1, "already ended\n"));
    EXPECT_EQ(0, orvaLog(2, 0, "frame=1 time=00:00:01.00\r"));
    EXPECT_EQ(0, orvaLog(2, 0, "partial"));
    std::string text = readFile(path(0));
    std::regex form(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] stop transcoding\n)"
                    R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] already ended\n)"
                    "frame=1 time=00:00:01.00\rpartial");
    EXPECT_TRUE(std::regex_match(text, form)) << text;
    EXPECT_EQ(0644, [&] { struct stat st; stat(path(0).c_str(), &st); return st.st_mode & 0777; }());
}

TEST_F(LogTest, NothingIsWrittenWhenLoggingIsOffOrTheEngineIsReleased) {
    orvaSetLog(0);
    EXPECT_EQ(0, orvaLog(2, 1, "quiet"));
    EXPECT_FALSE(fileExists(path(0)));
    orvaSetLog(32);
    orvaFree();
    EXPECT_EQ(-1, orvaLog(2, 1, "after release"));
    EXPECT_FALSE(fileExists(path(0)));
}

TEST_F(LogTest, UnwritableLogFolderFailsTheLineAndTheStart) {
    rmdir((dir / "log").c_str());
    EXPECT_EQ(-1, orvaLog(2, 1, "nowhere"));
    EXPECT_EQ(ORVA_ERR_LOG, startSlot(2));
    EXPECT_EQ(ORVA_STATE_IDLE, orvaGetState(2));
}

TEST_F(LogTest, RotatesOnlyAboveFiveMillionBytes) {
    fillCurrent(5000000);
    orvaLog(2, 0, "x");
    EXPECT_EQ(5000001, fileSize(path(0)));
    EXPECT_FALSE(fileExists(path(1)));
    orvaLog(2, 0, "y");
    EXPECT_EQ(5000001, fileSize(path(1)));
    EXPECT_EQ("y", readFile(path(0)));
    fillCurrent(5000001);
    orvaLog(2, 0, "z");
    EXPECT_EQ(5000001, fileSize(path(2)));
    EXPECT_EQ("z", readFile(path(0)));
}

TEST_F(LogTest, WithNineGenerationsTheOldestIsDroppedAndTheRestMoveDown) {
    for (int k = 1; k <= 9; k++)
        writeFile(path(k), tag(k));
    fillCurrent(5000001);
    orvaLog(2, 0, "new");
    for (int k = 1; k <= 8; k++)
        EXPECT_EQ(tag(k + 1), readFile(path(k))) << "generation " << k;
    EXPECT_EQ(5000001, fileSize(path(9)));
    EXPECT_FALSE(fileExists(path(10)));
    EXPECT_EQ("new", readFile(path(0)));
}

TEST_F(LogTest, TwelveGenerationsOfAnOlderSchemeAreFoldedIntoNine) {
    for (int k = 1; k <= 12; k++)
        writeFile(path(k), tag(k));
    fillCurrent(5000001);
    orvaLog(2, 0, "new");
    for (int k = 1; k <= 8; k++)
        EXPECT_EQ(tag(k + 3), readFile(path(k))) << "generation " << k;
    EXPECT_EQ(5000001, fileSize(path(9)));
    EXPECT_FALSE(fileExists(path(10)));
    EXPECT_FALSE(fileExists(path(11)));
    EXPECT_EQ("g12", readFile(path(12)));  // beyond the search: left as it is
    EXPECT_EQ("new", readFile(path(0)));
}

// The log stays open between lines, yet follows its name: a log the operator
// deleted is started afresh at the next line, one moved away is followed by a
// new one within a second or so (the lines in between land in the moved one),
// and an explicit rotation sends the next line to a new current log.
TEST_F(LogTest, ALogDeletedMovedOrRotatedIsFollowedByANewOneAndNoLineIsLost) {
    using namespace std::chrono_literals;
    EXPECT_EQ(0, orvaLog(2, 0, "a"));
    ASSERT_EQ(0, unlink(path(0).c_str()));
    EXPECT_EQ(0, orvaLog(2, 0, "b"));
    EXPECT_EQ("b", readFile(path(0)));

    std::string moved = dir / "log/moved.log";
    ASSERT_EQ(0, rename(path(0).c_str(), moved.c_str()));
    std::string written = "b";
    bool followed = waitUntil([&] {
        std::string line = "c" + std::to_string(written.size());
        orvaLog(2, 0, line.c_str());
        written += line;
        return fileExists(path(0));
    }, 3s);
    ASSERT_TRUE(followed);
    EXPECT_EQ(written, readFile(moved) + readFile(path(0)));

    ASSERT_EQ(0, cleanLogFiles(2));
    EXPECT_EQ(0, orvaLog(2, 0, "d"));
    EXPECT_EQ("d", readFile(path(0)));
    EXPECT_TRUE(fileExists(path(1)));
}
