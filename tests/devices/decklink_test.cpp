// decklink_test.cpp: DeckLink card discovery against the fake driver library,
// and without any.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "devices/orva_decklink_api.h"
#include "devices/probe_run.h"
#include "test_support.h"

namespace {

constexpr int kHi59 = 0x48693539;  // 'Hi59'
constexpr int kHp25 = 0x48703235;  // 'Hp25'
constexpr int kHp30 = 0x48703330;  // 'Hp30'
constexpr int kNtsc = 0x6E747363;  // 'ntsc'

// The probe must end cleanly: a sanitizer's report ends it with another status.
ProbeRun enumerate(int output, const std::string& description, int calls = 1) {
    ProbeRun run = runProbe({"bmd", std::to_string(output), std::to_string(calls)}, fakesFolder(),
                            {{"ORVAL_FAKE_DECKLINK", description}});
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(0, run.exitStatus) << run.err;
    return run;
}

// Every object the driver handed out came back through Release exactly once.
void expectEveryObjectReleasedOnce(const ProbeRun& run) {
    ASSERT_TRUE(run.fake.count("made")) << run.out;
    EXPECT_NE("0", run.fake.at("made"));
    EXPECT_EQ(run.fake.at("made"), run.fake.at("released"));
    EXPECT_EQ("0", run.fake.at("extra"));
}

void expectMode(const ProbeMode& m, int code, int width, int height, int num, int den, int interlaced) {
    EXPECT_EQ(code, m.fmtcode);
    EXPECT_EQ(width, m.width);
    EXPECT_EQ(height, m.height);
    EXPECT_EQ(num, m.numFrame);
    EXPECT_EQ(den, m.denFrame);
    EXPECT_EQ(interlaced, m.interlaced);
}

const char* const kTwoCards =
    "# a card with both sides, and a capture-only card\n"
    "card DeckLink Duo (1)\n"
    "input Hi59 1920 1080 30000 1001 lowr\n"
    "input Hp25 1920 1080 25000 1000 prog\n"
    "output Hp30 1920 1080 30000 1001 prog\n"
    "\n"
    "card DeckLink Mini Recorder\n"
    "input ntsc 720 486 30000 1001 uppr\n";

}  // namespace

TEST(DeckLinkDiscovery, WithoutTheDriverLibraryFailsAndSaysSoOnceOnStandardError) {
    TempDir noLibraries;
    ProbeRun run = runProbe({"bmd", "0", "2"}, noLibraries.path());
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ((std::vector<int>{-1, -1}), run.results);
    EXPECT_EQ(0, run.count);
    EXPECT_EQ(0, run.present);
    // The loader's own message and a line break, once for the whole process.
    ASSERT_FALSE(run.err.empty());
    EXPECT_NE(std::string::npos, run.err.find("libDeckLinkAPI.so")) << run.err;
    EXPECT_EQ(run.err.find("libDeckLinkAPI.so"), run.err.rfind("libDeckLinkAPI.so")) << run.err;
    EXPECT_EQ(run.err.size() - 1, run.err.find('\n')) << run.err;
}

TEST(DeckLinkDiscovery, ALibraryMissingSomeFactoriesNamesEachOnceAndStillLists) {
    ProbeRun run = runProbe({"bmd", "0", "2"}, fakesFolder() + "/iterator-only",
                            {{"ORVAL_FAKE_DECKLINK", kTwoCards}});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0, run.exitStatus) << run.err;
    EXPECT_EQ((std::vector<int>{0, 0}), run.results);
    EXPECT_EQ(2, run.count);
    EXPECT_EQ(1, run.present);
    // One loader message a line for each missing factory, in the order they are looked up.
    size_t information = run.err.find("CreateDeckLinkAPIInformationInstance_0001");
    size_t conversion = run.err.find("CreateVideoConversionInstance_0001");
    size_t discovery = run.err.find("CreateDeckLinkDiscoveryInstance_0002");
    ASSERT_NE(std::string::npos, information) << run.err;
    EXPECT_LT(information, conversion) << run.err;
    EXPECT_LT(conversion, discovery) << run.err;
    EXPECT_NE(std::string::npos, discovery) << run.err;
    EXPECT_EQ(std::string::npos, run.err.find("CreateDeckLinkIteratorInstance")) << run.err;
    EXPECT_EQ(3, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
}

TEST(DeckLinkDiscovery, ListsTheModesOfTheAskedSideAndACardWithoutItEmpty) {
    ProbeRun capture = enumerate(0, kTwoCards);
    ASSERT_EQ(std::vector<int>{0}, capture.results) << capture.err;
    ASSERT_EQ(2, capture.count);
    EXPECT_EQ(1, capture.present);
    ASSERT_EQ(2u, capture.cards.size());
    EXPECT_EQ("DeckLink Duo (1)", capture.cards[0].name);
    ASSERT_EQ(2u, capture.cards[0].modes.size());
    expectMode(capture.cards[0].modes[0], kHi59, 1920, 1080, 30000, 1001, 1);  // lower field first
    expectMode(capture.cards[0].modes[1], kHp25, 1920, 1080, 25000, 1000, 0);  // progressive
    EXPECT_EQ("DeckLink Mini Recorder", capture.cards[1].name);
    ASSERT_EQ(1u, capture.cards[1].modes.size());
    expectMode(capture.cards[1].modes[0], kNtsc, 720, 486, 30000, 1001, 1);  // upper field first
    expectEveryObjectReleasedOnce(capture);

    ProbeRun playback = enumerate(7, kTwoCards);  // any non-zero value asks for the playback side
    ASSERT_EQ(std::vector<int>{0}, playback.results) << playback.err;
    ASSERT_EQ(2, playback.count);
    ASSERT_EQ(2u, playback.cards.size());
    ASSERT_EQ(1u, playback.cards[0].modes.size());
    expectMode(playback.cards[0].modes[0], kHp30, 1920, 1080, 30000, 1001, 0);
    EXPECT_EQ("DeckLink Mini Recorder", playback.cards[1].name);
    EXPECT_TRUE(playback.cards[1].modes.empty());
    expectEveryObjectReleasedOnce(playback);
}

TEST(DeckLinkDiscovery, KeepsTheFirstFiftyModesAndTheFirstTenCards) {
    std::string description;
    for (int c = 1; c <= 11; c++) {
        description += "card Card " + std::to_string(c) + "\n";
        for (int m = 1; m <= 60; m++)
            description += "input " + std::to_string(m) + " 1280 720 50000 1000 prog\n";
    }
    ProbeRun run = enumerate(0, description);
    ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
    ASSERT_EQ(10, run.count);
    ASSERT_EQ(10u, run.cards.size());
    for (int c = 0; c < 10; c++) {
        SCOPED_TRACE(c);
        EXPECT_EQ("Card " + std::to_string(c + 1), run.cards[c].name);
        ASSERT_EQ(50u, run.cards[c].modes.size());
        EXPECT_EQ(1, run.cards[c].modes.front().fmtcode);
        EXPECT_EQ(50, run.cards[c].modes.back().fmtcode);
    }
    expectEveryObjectReleasedOnce(run);
}

TEST(DeckLinkDiscovery, SkipsCardsWhoseNameOrModeIteratorFails) {
    const char* description =
        "card First\n"
        "input Hp25 1920 1080 25000 1000 prog\n"
        "card Nameless\n"
        "noname\n"
        "input Hp25 1920 1080 25000 1000 prog\n"
        "card Broken\n"
        "nomodes\n"
        "input Hp25 1920 1080 25000 1000 prog\n"
        "output Hp25 1920 1080 25000 1000 prog\n"
        "card Last\n"
        "input Hi59 1920 1080 30000 1001 lowr\n";
    for (int output : {0, 1}) {
        SCOPED_TRACE(output);
        ProbeRun run = enumerate(output, description);
        ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
        ASSERT_EQ(2, run.count);
        ASSERT_EQ(2u, run.cards.size());
        EXPECT_EQ("First", run.cards[0].name);
        EXPECT_EQ("Last", run.cards[1].name);  // written over the broken card's name
        EXPECT_EQ(output == 0 ? 1u : 0u, run.cards[1].modes.size());
        expectEveryObjectReleasedOnce(run);
    }
}

TEST(DeckLinkDiscovery, CutsTheDriversWideValuesTo32BitsAndLongNamesTo999Characters) {
    std::string longName(1500, 'n');
    std::string description = "card " + longName +
                              "\n"
                              "input 0xFFFFFFFF 4294967297 4294968376 4294997296 4294968297 0x75707072\n";
    ProbeRun run = enumerate(0, description);
    ASSERT_EQ(std::vector<int>{0}, run.results) << run.err;
    ASSERT_EQ(1u, run.cards.size());
    EXPECT_EQ(longName.substr(0, 999), run.cards[0].name);
    ASSERT_EQ(1u, run.cards[0].modes.size());
    // 2^32 + 1, 2^32 + 1080, 2^32 + 30000 and 2^32 + 1001 keep their low 32 bits.
    expectMode(run.cards[0].modes[0], -1, 1, 1080, 30000, 1001, 1);
    expectEveryObjectReleasedOnce(run);
}

TEST(DeckLinkDiscovery, ADriverWithoutCardsGivesAnEmptyList) {
    ProbeRun run = enumerate(0, "# nothing installed\n", 2);
    EXPECT_EQ((std::vector<int>{0, 0}), run.results) << run.err;
    EXPECT_EQ(0, run.count);
    EXPECT_EQ(1, run.present);
    EXPECT_TRUE(run.err.empty()) << run.err;
    expectEveryObjectReleasedOnce(run);  // both iterators
    EXPECT_EQ("2", run.fake.at("made"));
}

// The interfaces' vtables, as the fake builds them from our declarations, put
// every method discovery calls in the slot the driver's SDK gives it. The
// slots are called raw here, with the identifier passed by value as two
// machine words, independently of the declarations.
TEST(DeckLinkLayout, DiscoveryCallsSitInTheDriversVtableSlots) {
    std::string fake = fakesFolder() + "/libDeckLinkAPI.so";
    void* library = dlopen(fake.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << dlerror();
    setenv("ORVAL_FAKE_DECKLINK", "card Slot Card\noutput Hi59 1920 1080 30000 1001 lowr\n", 1);
    using Factory = void* (*)();
    auto factory = reinterpret_cast<Factory>(dlsym(library, "CreateDeckLinkIteratorInstance_0003"));
    ASSERT_NE(nullptr, factory);

    using Slot = void*;
    auto vtable = [](void* object) { return *static_cast<Slot**>(object); };
    using NextFn = int32_t (*)(void*, void**);
    using QueryFn = int32_t (*)(void*, uint64_t, uint64_t, void**);
    using ReleaseFn = uint32_t (*)(void*);
    using NameFn = int32_t (*)(void*, const char**);
    using CodeFn = uint32_t (*)(void*);
    using LongFn = long (*)(void*);
    using RateFn = int32_t (*)(void*, int64_t*, int64_t*);

    void* iterator = factory();
    void* card = nullptr;
    ASSERT_EQ(0, reinterpret_cast<NextFn>(vtable(iterator)[3])(iterator, &card));
    const char* name = nullptr;
    ASSERT_EQ(0, reinterpret_cast<NameFn>(vtable(card)[4])(card, &name));  // GetDisplayName
    EXPECT_STREQ("Slot Card", name);
    free(const_cast<char*>(name));

    uint64_t words[2];
    memcpy(words, IID_IDeckLinkOutput.bytes, sizeof words);
    void* output = nullptr;
    ASSERT_EQ(0, reinterpret_cast<QueryFn>(vtable(card)[0])(card, words[0], words[1], &output));
    void* modes = nullptr;
    ASSERT_EQ(0, reinterpret_cast<NextFn>(vtable(output)[4])(output, &modes));  // GetDisplayModeIterator
    void* mode = nullptr;
    ASSERT_EQ(0, reinterpret_cast<NextFn>(vtable(modes)[3])(modes, &mode));
    EXPECT_EQ(0x48693539u, reinterpret_cast<CodeFn>(vtable(mode)[4])(mode));  // GetDisplayMode
    EXPECT_EQ(1920, reinterpret_cast<LongFn>(vtable(mode)[5])(mode));         // GetWidth
    EXPECT_EQ(1080, reinterpret_cast<LongFn>(vtable(mode)[6])(mode));         // GetHeight
    int64_t duration = 0, scale = 0;
    EXPECT_EQ(0, reinterpret_cast<RateFn>(vtable(mode)[7])(mode, &duration, &scale));  // GetFrameRate
    EXPECT_EQ(1001, duration);
    EXPECT_EQ(30000, scale);
    EXPECT_EQ(0x6C6F7772u, reinterpret_cast<CodeFn>(vtable(mode)[8])(mode));  // GetFieldDominance

    for (void* object : {mode, modes, output, card, iterator})
        EXPECT_EQ(0u, reinterpret_cast<ReleaseFn>(vtable(object)[2])(object));  // Release
}
