// The progress parser on single chunks of transcoder output.
#include <gtest/gtest.h>

#include "engine/orva_engine.h"

namespace {

class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override { orvaInitChannels(); }
    void TearDown() override { orvaSetAppCallback(nullptr); }
};

long g_callbackSlot = -1;
std::string g_callbackChunk;

long recordChunk(unsigned long slot, const char* chunk) {
    g_callbackSlot = static_cast<long>(slot);
    g_callbackChunk = chunk;
    return 77;
}

}  // namespace

TEST_F(ProgressTest, StreamTimeAndBitrateAreReadFromTheirFields) {
    struct Case { const char* chunk; int time, bitrate; };
    const Case cases[] = {
        {"frame= 1 time=01:02:03.04 bitrate=1234.5kbits/s", 3723, 1234},
        {"size=1kB time=00:00:09.99 bitrate=   9.0kbits/s", 9, 9},
        {"size=1kB time=N/A bitrate=N/A speed=N/A", 500, 600},                 // unchanged
        {"size=N/A time=12:00:00 bitrate=25963.4kbits/s", 43200, 25963},
        {"time=00:00:05.00 bitrate=5kbits/s", 500, 5},                         // no blank before time=
        {" time=00:01 bitrate=x", 500, 600},                                   // two numbers are not a time
        {"a time=00:00:01.00 b time=00:00:02.00", 1, 600},                     // only the first counts
        {" bitrate=-12.5kbits/s", 500, -12},
        {" time=596523:14:07.00 bitrate=1kbits/s", 2147483647, 1},             // the largest that fits
        {" time=596523:14:08.00 bitrate=1kbits/s", 500, 1},                    // one second more does not fit
        {" time=2562047788015:12:55.80 bitrate=2kbits/s", 500, 2},             // broken timestamp
        {" time=99999999999999999999:00:00 bitrate=3kbits/s", 500, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chunk);
        g_procChannels[4].streamTime = 500;
        g_procChannels[4].bitrate = 600;
        g_procChannels[4].tmLastOutput = 0;
        orvaParseProgress(4, c.chunk);
        EXPECT_EQ(c.time, orvaGetStreamTime(4));
        EXPECT_EQ(c.bitrate, orvaGetStreamBitrate(4));
        EXPECT_GT(g_procChannels[4].tmLastOutput, 0);
    }
}

TEST_F(ProgressTest, ApplicationCallbackGetsEveryChunkAndItsResultIsPassedOn) {
    EXPECT_EQ(&g_cfg, orvaSetAppCallback(recordChunk));
    EXPECT_EQ(77, orvaParseProgress(9, "hello"));
    EXPECT_EQ(9, g_callbackSlot);
    EXPECT_EQ("hello", g_callbackChunk);
}

TEST_F(ProgressTest, FatalTranscoderMessagesStopOnlyARunningSlot) {
    for (const char* message : {"Number of bands", "channel element", "Queue input is backward in time"}) {
        SCOPED_TRACE(message);
        g_procChannels[1].state = ORVA_STATE_RUNNING;
        g_procChannels[1].pid = 0;  // no process: only the state changes
        orvaParseProgress(1, message);
        EXPECT_EQ(ORVA_STATE_STOPPING, orvaGetState(1));
    }
    g_procChannels[1].state = ORVA_STATE_RUNNING;
    orvaParseProgress(1, "Number of frames");
    EXPECT_EQ(ORVA_STATE_RUNNING, orvaGetState(1));
}
