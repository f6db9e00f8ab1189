// ndi_test.cpp: NDI source discovery against the fake runtime, and without any.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <string>

#include "devices/probe_run.h"
#include "test_support.h"

namespace {

// The probe must end cleanly: a sanitizer's report ends it with another status.
// `extra`: how many searches at once, and when to cancel them.
ProbeRun search(int timeoutSeconds, const std::string& description,
                const std::vector<std::string>& extra = {}, const std::string& folder = fakesFolder()) {
    std::vector<std::string> args = {"ndi", std::to_string(timeoutSeconds)};
    args.insert(args.end(), extra.begin(), extra.end());
    ProbeRun run = runProbe(args, folder, {{"ORVAL_FAKE_NDI", description}});
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(0, run.exitStatus) << run.err;
    return run;
}

// The runtime was initialised once for the whole process and never shut
// down under a finder; every finder was destroyed.
void expectOneRuntimeAndEveryFinderDestroyed(const ProbeRun& run) {
    ASSERT_TRUE(run.fake.count("init")) << run.out;
    EXPECT_EQ("1", run.fake.at("init"));
    EXPECT_EQ("0", run.fake.at("destroy"));
    EXPECT_EQ(run.fake.at("finders"), run.fake.at("destroyed"));
}

}  // namespace

TEST(NdiDiscovery, WithoutTheRuntimeFails) {
    TempDir noLibraries;
    ProbeRun run = runProbe({"ndi", "1"}, noLibraries.path());
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(std::vector<int>{-1}, run.results);
    EXPECT_EQ(0, run.count);
    EXPECT_LT(run.elapsedMs, 500);  // no search without a runtime
}

TEST(NdiDiscovery, FailsWhenTheRuntimeCannotStartOrMakesNoFinder) {
    ProbeRun noInit = search(1, "init fail\n");
    EXPECT_EQ(std::vector<int>{-1}, noInit.results) << noInit.err;
    EXPECT_EQ(0, noInit.count);
    EXPECT_EQ("1", noInit.fake.at("init"));
    EXPECT_EQ("0", noInit.fake.at("finders"));

    ProbeRun noFinder = search(1, "finder fail\nsource 0 10.0.0.1:5961 HOST (A)\n");
    EXPECT_EQ(std::vector<int>{-1}, noFinder.results) << noFinder.err;
    EXPECT_EQ(0, noFinder.count);
    expectOneRuntimeAndEveryFinderDestroyed(noFinder);
}

TEST(NdiDiscovery, OneSecondWithoutSourcesEndsAfterAboutOneSecond) {
    ProbeRun run = search(1, "");
    ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
    EXPECT_EQ(0, run.count);
    EXPECT_GE(run.elapsedMs, 900);
    EXPECT_LT(run.elapsedMs, 3000);
    // The finder shows local sources, with no group filter and no extra addresses.
    EXPECT_EQ("100", run.fake.at("longest"));  // in slices, so a cancel is seen at once
    EXPECT_EQ("1", run.fake.at("local"));
    EXPECT_EQ("none", run.fake.at("groups"));
    EXPECT_EQ("none", run.fake.at("extra"));
    EXPECT_EQ("1", run.fake.at("finders"));
    expectOneRuntimeAndEveryFinderDestroyed(run);
}

// Sources that keep appearing must not keep the request, and the service's
// stop, waiting: the search ends at its timeout with what it saw by then.
TEST(NdiDiscovery, ASearchEndsAtItsTimeoutWhileSourcesKeepAppearing) {
    std::string description;
    for (int i = 1; i <= 10; i++)
        description += "source " + std::to_string(900 * i) + " 10.0.0." + std::to_string(i) + ":5961 HOST-" +
                       std::to_string(i) + " (Out)\n";
    ProbeRun run = search(2, description);
    ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
    EXPECT_GE(run.elapsedMs, 1950);
    EXPECT_LT(run.elapsedMs, 2500);
    ASSERT_EQ(2u, run.sources.size());  // those of 0.9 s and 1.8 s
    EXPECT_EQ("HOST-2 (Out)", run.sources[1].name);
    EXPECT_EQ("10.0.0.2:5961", run.sources[1].address);
    expectOneRuntimeAndEveryFinderDestroyed(run);
}

TEST(NdiDiscovery, SearchesSideBySideShareOneRuntime) {
    ProbeRun run = search(1, "source 200 10.0.0.1:5961 HOST (A)\n", {"3"});
    ASSERT_EQ((std::vector<int>{0, 0, 0}), run.results) << run.err;
    EXPECT_EQ(1, run.count);
    EXPECT_LT(run.elapsedMs, 3000);  // side by side, not one after the other
    EXPECT_EQ("3", run.fake.at("finders"));
    expectOneRuntimeAndEveryFinderDestroyed(run);
}

// The service's stop cancels the searches under way; each ends within a
// tenth of a second, stores nothing and destroys its finder. A timeout beyond
// a minute is held to a minute, so these would otherwise still run.
TEST(NdiDiscovery, ACancelEndsEverySearchAtOnceWhateverItsTimeout) {
    for (int seconds : {60, 4294968, INT_MAX}) {
        SCOPED_TRACE(seconds);
        ProbeRun run = search(seconds, "source 0 10.0.0.1:5961 HOST (A)\n", {"2", "1200"});
        ASSERT_EQ((std::vector<int>{-2, -2}), run.results) << run.err;
        EXPECT_EQ(0, run.count);
        EXPECT_GE(run.elapsedMs, 1200);
        EXPECT_LT(run.elapsedMs, 1500);
        EXPECT_EQ("100", run.fake.at("longest"));  // never a wrapped or huge wait
        expectOneRuntimeAndEveryFinderDestroyed(run);
    }
}

// The later runtimes keep the version-3 loader under their own names.
TEST(NdiDiscovery, FindsARuntimeUnderTheNewerNames) {
    for (const char* name : {"libndi.so.4", "libndi.so.5", "libndi.so.6"}) {
        SCOPED_TRACE(name);
        TempDir folder;
        ASSERT_EQ(0, symlink((fakesFolder() + "/libndi.so.3").c_str(), (folder / name).c_str()));
        ProbeRun run = search(1, "source 0 10.0.0.1:5961 HOST (A)\n", {}, folder.path());
        ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
        EXPECT_EQ(1, run.count);
    }
}

TEST(NdiDiscovery, ReportsTheFirstTwentySourcesInTheRuntimesOrder) {
    std::string description;
    for (int i = 1; i <= 25; i++)
        description += "source 0 10.0.0." + std::to_string(i) + ":5961 HOST-" + std::to_string(i) + " (Out)\n";
    ProbeRun run = search(1, description);
    ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
    ASSERT_EQ(20, run.count);
    ASSERT_EQ(20u, run.sources.size());
    for (int i = 0; i < 20; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ("HOST-" + std::to_string(i + 1) + " (Out)", run.sources[i].name);
        EXPECT_EQ("10.0.0." + std::to_string(i + 1) + ":5961", run.sources[i].address);
    }
    expectOneRuntimeAndEveryFinderDestroyed(run);
}

TEST(NdiDiscovery, CopiesNamesExactlyAndCutsLongTextsAt999Characters) {
    std::string odd = R"(STUDIO "A" \\share\ (Cam "1"))";
    std::string longName = "L" + std::string(1400, 'x');
    std::string longAddress = std::string(1200, '9');
    ProbeRun run = search(1, "source 0 10.0.0.1:5961 " + odd + "\nsource 0 " + longAddress + " " + longName + "\n");
    ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
    ASSERT_EQ(2u, run.sources.size());
    EXPECT_EQ(odd, run.sources[0].name);
    EXPECT_EQ(longName.substr(0, 999), run.sources[1].name);
    EXPECT_EQ(longAddress.substr(0, 999), run.sources[1].address);
}

// No time at all: the sources the runtime already sees, without a wait.
TEST(NdiDiscovery, AZeroOrNegativeTimeoutListsAtOnceWithoutWaiting) {
    for (int seconds : {0, -3, INT_MIN}) {
        SCOPED_TRACE(seconds);
        ProbeRun run = search(seconds, "source 0 10.0.0.1:5961 HOST (A)\n");
        ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
        EXPECT_EQ(1, run.count);
        EXPECT_LT(run.elapsedMs, 500);
        EXPECT_EQ("-1", run.fake.at("wait"));
    }
}
