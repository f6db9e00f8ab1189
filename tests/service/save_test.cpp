// The ordered save of the configuration file: the disk is written without
// the service lock, saves land in the order they were composed, and a change
// whose save fails is never applied.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "config/orva_config.h"
#include "service/orva_save.h"
#include "service/orva_service.h"
#include "test_support.h"

using namespace std::chrono_literals;

namespace {

// Stands in a disk that takes as long as the test wants.
std::mutex g_diskLock;
std::condition_variable g_diskMoved;
bool g_diskFree = false;
std::atomic<int> g_writesBegun{0};

void slowDisk() {
    g_writesBegun++;
    std::unique_lock<std::mutex> lock(g_diskLock);
    g_diskMoved.wait(lock, [] { return g_diskFree; });
}

void freeTheDisk() {
    std::lock_guard<std::mutex> lock(g_diskLock);
    g_diskFree = true;
    g_diskMoved.notify_all();
}

// A change whose file is `text` and whose applying appends it to `applied`.
OrvaChange changeTo(const std::string& text, std::string& applied) {
    return {[text](std::string& out) {
                out = text;
                return 0;
            },
            [text, &applied] { applied += text; }};
}

int save(const OrvaChange& change) {
    std::unique_lock<std::mutex> lock(g_serviceLock);
    return orvaSaveChange(lock, change);
}

class OrderedSave : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir / "orval.conf";
    void SetUp() override { orvaSetConfigFile(path.c_str()); }
    void TearDown() override {
        orvaSetSaveHook(nullptr);
        orvaSetConfigFile("");
    }
};

}  // namespace

TEST_F(OrderedSave, ASlowDiskLeavesTheServiceLockFreeAndALaterSaveLandsAfterTheEarlierOne) {
    orvaSetSaveHook(slowDisk);
    std::string applied;
    std::thread first([&] { EXPECT_EQ(0, save(changeTo("first\n", applied))); });
    ASSERT_TRUE(waitUntil([] { return g_writesBegun.load() == 1; }, 5s));

    // The supervision loop takes the lock every 20 ms; the write must not hold it.
    for (int pass = 0; pass < 10; pass++) {
        std::unique_lock<std::mutex> lock(g_serviceLock, std::defer_lock);
        ASSERT_TRUE(lock.try_lock()) << "the service lock is held during the write";
        EXPECT_EQ("", applied);  // not applied before it is on disk
        lock.unlock();
        std::this_thread::sleep_for(20ms);
    }

    std::thread second([&] { EXPECT_EQ(0, save(changeTo("second\n", applied))); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(1, g_writesBegun.load()) << "a second save began before the first had landed";
    freeTheDisk();
    first.join();
    second.join();
    EXPECT_EQ("first\nsecond\n", applied);
    EXPECT_EQ("second\n", readFile(path));
}

TEST_F(OrderedSave, AChangeWhoseFileCannotBeWrittenIsNotApplied) {
    // A folder with a file in it stands where the file goes: no rename lands.
    std::filesystem::create_directories(path + "/keep");
    std::string applied;
    EXPECT_EQ(ORVA_SAVE_NOT_WRITTEN, save(changeTo("lost\n", applied)));
    EXPECT_EQ("", applied);

    // A refusal from the composer is returned as it is, and nothing is written.
    std::filesystem::remove_all(path);
    OrvaChange refused{[](std::string&) { return -5; }, [&] { applied += "refused"; }};
    EXPECT_EQ(-5, save(refused));
    EXPECT_EQ("", applied);
    EXPECT_FALSE(std::filesystem::exists(path));
}
