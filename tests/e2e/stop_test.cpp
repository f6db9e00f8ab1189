// stop_test.cpp: orderly stops that come right after a start, with the real
// launcher running a watched line (one live UDP source) as its pipeline. The
// engine runs in this process and this process holds a handler of its own for
// the stop signal, as the service does: a child that still ran it when the
// stop came would swallow the stop and be killed only after the grace.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e/live.h"
#include "engine/orva_engine.h"
#include "test_support.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// How long the engine gives an orderly stop before it kills (orvaFree).
constexpr auto kGrace = 3s;
constexpr int kStops = 100;
// A stop comes at once after the start (the fork's window) or, for every
// other one, up to this far into the pipeline's start-up: decoder, canvas,
// encoder. Two slots are stopped side by side, each with a sender of its own.
constexpr int kLanes = 2;
constexpr auto kLatestStop = 1500ms;

volatile sig_atomic_t g_stopSignals;
void countStopSignal(int) { g_stopSignals = g_stopSignals + 1; }

// The service's kind of handler for SIGINT and SIGTERM while it lives.
class ServiceHandlers {
public:
    ServiceHandlers() {
        struct sigaction sa{};
        sa.sa_handler = countStopSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &previous_[0]);
        sigaction(SIGTERM, &sa, &previous_[1]);
    }
    ~ServiceHandlers() {
        sigaction(SIGINT, &previous_[0], nullptr);
        sigaction(SIGTERM, &previous_[1], nullptr);
    }

private:
    struct sigaction previous_[2];
};

// One slot with its live source and its target.
struct Lane {
    int slot;
    DatagramRecorder watch, target;
    std::string source = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    std::string targetAddress = "udp://127.0.0.1:" + std::to_string(target.port()) + "?pkt_size=1316";
    std::optional<LineReader> sender;
    ORVA_INPUT_TAG input{};
    ORVA_OUTPUT_TAG output = encodedTarget(ORVA_FORMAT_UDPTS, targetAddress.c_str());

    explicit Lane(int s) : slot(s) { input.pszAddress = source.c_str(); }
};

// One start and its stop, `delay` after the start.
struct StartStop {
    Lane* lane;
    Clock::duration delay;
    Clock::time_point stopAt{};
    bool stopped = false, ended = false, killed = false;
    int status = 0;
    double seconds = 0;  // from the stop to the reap
};

std::string describeStatus(int status) {
    std::ostringstream text;
    if (WIFSIGNALED(status))
        text << "signal " << WTERMSIG(status);
    else
        text << "exit " << WEXITSTATUS(status);
    return text.str();
}

// Starts each run's slot, stops it at its moment and polls as the service
// does until every one has been reaped; a run still there 3x the grace after
// its stop is killed and marked so.
void startAndStop(std::vector<StartStop>& runs) {
    for (StartStop& run : runs) {
        ASSERT_EQ(0, orvaTranscodeA(run.lane->slot, &run.lane->input, &run.lane->output));
        run.stopAt = Clock::now() + run.delay;
        if (run.delay == Clock::duration::zero()) {
            orvaStop(run.lane->slot, ORVA_STOP_ORDERLY);
            run.stopped = true;
        }
    }
    while (std::any_of(runs.begin(), runs.end(), [](const StartStop& r) { return !r.ended; })) {
        orvaSleep(5);
        orvaPoll();
        Clock::time_point now = Clock::now();
        for (StartStop& run : runs) {
            int slot = run.lane->slot;
            if (!run.stopped && now >= run.stopAt) {
                orvaStop(slot, ORVA_STOP_ORDERLY);
                run.stopped = true;
            } else if (run.stopped && !run.ended && orvaGetState(slot) == ORVA_STATE_IDLE) {
                run.ended = true;
                run.status = g_procChannels[slot].exitStatus;
                run.seconds = secondsBetween(run.stopAt, now);
            } else if (run.stopped && !run.killed && now - run.stopAt > 3 * kGrace) {
                orvaStop(slot, ORVA_STOP_FORCED);
                run.killed = true;
            }
        }
    }
}

class StopAfterStartTest : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        fs::create_directories(dir / "log");
        fs::create_symlink(ORVAL_SO_BINARY, dir / "orval.so");
        ORVA_INIT_TAG init{};
        init.logLevel = 32;
        init.pszEngineDir = dir.path().c_str();
        init.pszWorkDir = dir.path().c_str();
        ASSERT_EQ(0, orvaInitA(&init));
    }

    void TearDown() override { orvaFree(); }
};

}  // namespace

TEST_F(StopAfterStartTest, EveryStopRightAfterAStartEndsTheWatchedPipelineOnItsInterrupt) {
    std::vector<std::unique_ptr<Lane>> lanes;
    for (int i = 0; i < kLanes; i++) {
        lanes.push_back(std::make_unique<Lane>(i * 10));
        Lane& lane = *lanes.back();
        ASSERT_NE(lane.watch.port(), 0);
        ASSERT_NE(lane.target.port(), 0);
        Clock::time_point asked = Clock::now();
        lane.sender.emplace(senderArgs(lane.source + "?pkt_size=1316", lane.watch.port()));
        ASSERT_TRUE(waitUntil([&] { return lane.watch.firstFrom(asked).has_value(); }, 15s));
    }
    ServiceHandlers handlers;
    std::vector<StartStop> done;
    for (int round = 0; round < kStops / kLanes; round++) {
        std::vector<StartStop> runs;
        for (auto& lane : lanes) {
            int k = static_cast<int>(done.size() + runs.size());
            // Every other stop at once; the rest spread over the start-up.
            auto delay = k % 2 == 0 ? 0ms : kLatestStop * ((k / 2) % 25) / 24;
            runs.push_back({lane.get(), delay});
        }
        startAndStop(runs);
        done.insert(done.end(), runs.begin(), runs.end());
    }

    std::map<std::string, int> statuses;
    double slowest = 0;
    int killed = 0;
    for (const StartStop& run : done) {
        statuses[describeStatus(run.status)]++;
        slowest = std::max(slowest, run.seconds);
        killed += run.killed || (WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGKILL);
    }
    std::ostringstream story;
    for (const auto& [status, count] : statuses)
        story << status << ": " << count << "\n";
    RecordProperty("slowest_stop_ms", static_cast<int>(slowest * 1000));
    EXPECT_EQ(kStops, static_cast<int>(done.size()));
    std::string log = readFile(dir / "log/orva_001.log");
    EXPECT_EQ(0, killed) << story.str() << "the slowest stop took " << slowest << " s; the end of slot 1's log:\n"
                         << log.substr(log.size() - std::min<size_t>(log.size(), 3000));
    // The launchers took their pipelines with them: only the senders are left.
    std::set<pid_t> senders;
    for (auto& lane : lanes)
        senders.insert(lane->sender->pid());
    EXPECT_TRUE(waitUntil([&] { return descendantsOf(getpid()) == senders; }, 3 * kGrace));
}
