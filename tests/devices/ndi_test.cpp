// ndi_test.cpp: NDI source discovery against the fake runtime, and without any.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "devices/probe_run.h"
#include "test_support.h"

namespace {

// The probe must end cleanly: a sanitizer's report ends it with another status.
ProbeRun search(int timeoutSeconds, const std::string& description) {
    ProbeRun run = runProbe({"ndi", std::to_string(timeoutSeconds)}, fakesFolder(),
                            {{"ORVAL_FAKE_NDI", description}});
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(0, run.exitStatus) << run.err;
    return run;
}

// The runtime was shut down once per initialisation and every finder destroyed.
void expectEverythingShutDown(const ProbeRun& run) {
    ASSERT_TRUE(run.fake.count("init")) << run.out;
    EXPECT_EQ(run.fake.at("init"), run.fake.at("destroy"));
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
    EXPECT_EQ("1", noFinder.fake.at("destroy"));  // the runtime is shut down again
    expectEverythingShutDown(noFinder);
}

TEST(NdiDiscovery, OneSecondWithoutSourcesEndsAfterAboutOneSecond) {
    ProbeRun run = search(1, "");
    ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
    EXPECT_EQ(0, run.count);
    EXPECT_GE(run.elapsedMs, 900);
    EXPECT_LT(run.elapsedMs, 3000);
    // The finder shows local sources, with no group filter and no extra addresses.
    EXPECT_EQ("1000", run.fake.at("wait"));
    EXPECT_EQ("1", run.fake.at("local"));
    EXPECT_EQ("none", run.fake.at("groups"));
    EXPECT_EQ("none", run.fake.at("extra"));
    EXPECT_EQ("1", run.fake.at("finders"));
    expectEverythingShutDown(run);
}

TEST(NdiDiscovery, EachSourceAppearingDuringTheWaitExtendsTheSearchByAFullTimeout) {
    ProbeRun run = search(1,
                          "source 500 10.0.0.1:5961 HOST-A (Camera)\n"
                          "source 1200 10.0.0.2:5961 HOST-B (Program)\n");
    ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
    ASSERT_EQ(2, run.count);
    ASSERT_EQ(2u, run.sources.size());
    EXPECT_EQ("HOST-B (Program)", run.sources[1].name);
    EXPECT_EQ("10.0.0.2:5961", run.sources[1].address);
    // The second source came at 1.2 s, so the search ran until 2.2 s.
    EXPECT_GE(run.elapsedMs, 2100);
    EXPECT_LT(run.elapsedMs, 4000);
    expectEverythingShutDown(run);
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
    expectEverythingShutDown(run);
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

TEST(NdiDiscovery, TheWaitInMillisecondsNeverWrapsAround) {
    struct Case {
        int seconds;
        const char* waitMs;
    } cases[] = {{1, "1000"}, {5, "5000"}, {60, "60000"}, {4294967, "4294967000"},
                 {4294968, "4294967295"}, {INT_MAX, "4294967295"}, {0, "0"}, {-3, "0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        ProbeRun run = search(c.seconds, "nowait\nsource 0 10.0.0.1:5961 HOST (A)\n");
        ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
        EXPECT_EQ(1, run.count);
        EXPECT_EQ(c.waitMs, run.fake.at("wait"));
    }
}
