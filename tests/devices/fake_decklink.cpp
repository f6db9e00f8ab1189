// fake_decklink.cpp: a stand-in for the DeckLink driver library, built as
// "libDeckLinkAPI.so" into the build's fakes folder. A program finds it the
// way it finds the real one, by name through the loader path:
//
//     LD_LIBRARY_PATH=<build>/fakes ORVAL_FAKE_DECKLINK=cards.txt ./orval
//
// ORVAL_FAKE_DECKLINK holds the description, or names a file that holds it;
// it is read again each time a card iterator is made. Unset: no cards.
// One statement per line; blank lines and lines starting with '#' are skipped:
//
//     card <display name>   a new card; the name is the rest of the line
//     noname                the card's GetDisplayName fails
//     nomodes               the card's GetDisplayModeIterator fails (either side)
//     input                 the card has a capture side (a mode line implies it)
//     output                the card has a playback side (a mode line implies it)
//     input  <mode> <width> <height> <timescale> <duration> <dominance>
//     output <mode> <width> <height> <timescale> <duration> <dominance>
//                           a display mode of that side, in the driver's order
//
// <mode> and <dominance> are four-character codes that do not begin with a
// digit ("Hi59", "lowr", "uppr", "prog"), or numbers (decimal or 0x
// hexadecimal, for codes such as "psf " or "2vuy").
// Widths and times are 64-bit numbers, as the driver reports them. A card
// with no input line is playback-only, and so on. Example, a 1080i59.94
// capture card and a playback-only card:
//
//     card DeckLink Mini Recorder
//     input Hi59 1920 1080 30000 1001 lowr
//     input Hp25 1920 1080 25000 1000 prog
//     card DeckLink Mini Monitor
//     output Hp30 1920 1080 30000 1001 prog
//
// Counting: every object handed out (iterators, cards, sides, mode iterators,
// modes) starts with one reference. orvalFakeDeckLinkCounts (exported, for
// dlsym) answers how many were made, how many Release calls came, and how
// many of those came for an object already released; when
// ORVAL_FAKE_DECKLINK_COUNTS names a file, the fake rewrites it as
// "made <n> released <n> extra <n>\n" after every change. Released objects
// are kept (never freed), so a second Release is counted, not a crash.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "devices/orva_decklink_api.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Mode {
    uint32_t code = 0;
    int64_t width = 0;
    int64_t height = 0;
    int64_t timeScale = 0;
    int64_t duration = 0;
    uint32_t dominance = 0;
};

struct Side {
    bool present = false;
    std::vector<Mode> modes;
};

struct Card {
    std::string name;
    bool nameFails = false;
    bool modesFail = false;
    Side input;
    Side output;
};

using Description = std::vector<Card>;

std::atomic<long> g_made{0};
std::atomic<long> g_released{0};
std::atomic<long> g_extra{0};
std::mutex g_registryLock;  // guards g_registry and the counts file

// Every object made, kept to the end so a late Release still finds it.
class FakeObject {
public:
    virtual ~FakeObject() = default;
};
std::vector<std::unique_ptr<FakeObject>> g_registry;

void writeCounts() {
    const char* path = getenv("ORVAL_FAKE_DECKLINK_COUNTS");
    if (path == nullptr || *path == '\0')
        return;
    FILE* file = fopen(path, "we");
    if (file == nullptr)
        return;
    fprintf(file, "made %ld released %ld extra %ld\n", g_made.load(), g_released.load(),
            g_extra.load());
    fclose(file);
}

// The IUnknown part every fake object shares. The interface is the first
// base, so the object's address is the interface pointer the caller holds.
template <typename Interface>
class Fake : public Interface, public FakeObject {
public:
    HRESULT QueryInterface(REFIID, void** object) override {
        if (object != nullptr)
            *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG Release() override {
        int left = --refs_;
        g_released++;
        if (left < 0)
            g_extra++;
        std::lock_guard<std::mutex> hold(g_registryLock);
        writeCounts();
        return static_cast<ULONG>(left < 0 ? 0 : left);
    }

private:
    std::atomic<int> refs_{1};
};

template <typename T, typename... Args>
T* make(Args&&... args) {
    auto object = std::make_unique<T>(std::forward<Args>(args)...);
    T* raw = object.get();
    g_made++;
    std::lock_guard<std::mutex> hold(g_registryLock);
    g_registry.push_back(std::move(object));
    writeCounts();
    return raw;
}

class FakeMode final : public Fake<IDeckLinkDisplayMode> {
public:
    explicit FakeMode(const Mode& mode) : mode_(mode) {}
    HRESULT GetName(const char** name) override {
        *name = strdup("fake mode");
        return S_OK;
    }
    BMDDisplayMode GetDisplayMode() override { return mode_.code; }
    long GetWidth() override { return static_cast<long>(mode_.width); }
    long GetHeight() override { return static_cast<long>(mode_.height); }
    HRESULT GetFrameRate(BMDTimeValue* duration, BMDTimeScale* scale) override {
        *duration = mode_.duration;
        *scale = mode_.timeScale;
        return S_OK;
    }
    BMDFieldDominance GetFieldDominance() override { return mode_.dominance; }
    BMDDisplayModeFlags GetFlags() override { return 0; }

private:
    Mode mode_;
};

class FakeModeIterator final : public Fake<IDeckLinkDisplayModeIterator> {
public:
    explicit FakeModeIterator(std::vector<Mode> modes) : modes_(std::move(modes)) {}
    HRESULT Next(IDeckLinkDisplayMode** mode) override {
        if (next_ >= modes_.size()) {
            *mode = nullptr;
            return S_FALSE;
        }
        *mode = make<FakeMode>(modes_[next_++]);
        return S_OK;
    }

private:
    std::vector<Mode> modes_;
    size_t next_ = 0;
};

HRESULT makeModeIterator(const Card& card, const Side& side, IDeckLinkDisplayModeIterator** out) {
    if (card.modesFail) {
        *out = nullptr;
        return E_FAIL;
    }
    *out = make<FakeModeIterator>(side.modes);
    return S_OK;
}

// The sides answer only what discovery asks; everything else is not there.
class FakeInput final : public Fake<IDeckLinkInput> {
public:
    explicit FakeInput(Card card) : card_(std::move(card)) {}
    HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** iterator) override {
        return makeModeIterator(card_, card_.input, iterator);
    }
    HRESULT DoesSupportVideoMode(BMDDisplayMode, BMDPixelFormat, BMDVideoInputFlags,
                                 BMDDisplayModeSupport*, IDeckLinkDisplayMode**) override { return E_FAIL; }
    HRESULT SetScreenPreviewCallback(IDeckLinkScreenPreviewCallback*) override { return E_FAIL; }
    HRESULT EnableVideoInput(BMDDisplayMode, BMDPixelFormat, BMDVideoInputFlags) override { return E_FAIL; }
    HRESULT DisableVideoInput() override { return E_FAIL; }
    HRESULT GetAvailableVideoFrameCount(uint32_t*) override { return E_FAIL; }
    HRESULT SetVideoInputFrameMemoryAllocator(IDeckLinkMemoryAllocator*) override { return E_FAIL; }
    HRESULT EnableAudioInput(BMDAudioSampleRate, BMDAudioSampleType, uint32_t) override { return E_FAIL; }
    HRESULT DisableAudioInput() override { return E_FAIL; }
    HRESULT GetAvailableAudioSampleFrameCount(uint32_t*) override { return E_FAIL; }
    HRESULT StartStreams() override { return E_FAIL; }
    HRESULT StopStreams() override { return E_FAIL; }
    HRESULT PauseStreams() override { return E_FAIL; }
    HRESULT FlushStreams() override { return E_FAIL; }
    HRESULT SetCallback(IDeckLinkInputCallback*) override { return E_FAIL; }
    HRESULT GetHardwareReferenceClock(BMDTimeScale, BMDTimeValue*, BMDTimeValue*,
                                      BMDTimeValue*) override { return E_FAIL; }

private:
    Card card_;
};

class FakeOutput final : public Fake<IDeckLinkOutput> {
public:
    explicit FakeOutput(Card card) : card_(std::move(card)) {}
    HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** iterator) override {
        return makeModeIterator(card_, card_.output, iterator);
    }
    HRESULT DoesSupportVideoMode(BMDDisplayMode, BMDPixelFormat, BMDVideoOutputFlags,
                                 BMDDisplayModeSupport*, IDeckLinkDisplayMode**) override { return E_FAIL; }
    HRESULT SetScreenPreviewCallback(IDeckLinkScreenPreviewCallback*) override { return E_FAIL; }
    HRESULT EnableVideoOutput(BMDDisplayMode, BMDVideoOutputFlags) override { return E_FAIL; }
    HRESULT DisableVideoOutput() override { return E_FAIL; }
    HRESULT SetVideoOutputFrameMemoryAllocator(IDeckLinkMemoryAllocator*) override { return E_FAIL; }
    HRESULT CreateVideoFrame(int32_t, int32_t, int32_t, BMDPixelFormat, BMDFrameFlags,
                             IDeckLinkMutableVideoFrame**) override { return E_FAIL; }
    HRESULT CreateAncillaryData(BMDPixelFormat, IDeckLinkVideoFrameAncillary**) override { return E_FAIL; }
    HRESULT DisplayVideoFrameSync(IDeckLinkVideoFrame*) override { return E_FAIL; }
    HRESULT ScheduleVideoFrame(IDeckLinkVideoFrame*, BMDTimeValue, BMDTimeValue,
                               BMDTimeScale) override { return E_FAIL; }
    HRESULT SetScheduledFrameCompletionCallback(IDeckLinkVideoOutputCallback*) override { return E_FAIL; }
    HRESULT GetBufferedVideoFrameCount(uint32_t*) override { return E_FAIL; }
    HRESULT EnableAudioOutput(BMDAudioSampleRate, BMDAudioSampleType, uint32_t,
                              BMDAudioOutputStreamType) override { return E_FAIL; }
    HRESULT DisableAudioOutput() override { return E_FAIL; }
    HRESULT WriteAudioSamplesSync(void*, uint32_t, uint32_t*) override { return E_FAIL; }
    HRESULT BeginAudioPreroll() override { return E_FAIL; }
    HRESULT EndAudioPreroll() override { return E_FAIL; }
    HRESULT ScheduleAudioSamples(void*, uint32_t, BMDTimeValue, BMDTimeScale,
                                 uint32_t*) override { return E_FAIL; }
    HRESULT GetBufferedAudioSampleFrameCount(uint32_t*) override { return E_FAIL; }
    HRESULT FlushBufferedAudioSamples() override { return E_FAIL; }
    HRESULT SetAudioCallback(IDeckLinkAudioOutputCallback*) override { return E_FAIL; }
    HRESULT StartScheduledPlayback(BMDTimeValue, BMDTimeScale, double) override { return E_FAIL; }
    HRESULT StopScheduledPlayback(BMDTimeValue, BMDTimeValue*, BMDTimeScale) override { return E_FAIL; }
    HRESULT IsScheduledPlaybackRunning(bool*) override { return E_FAIL; }
    HRESULT GetScheduledStreamTime(BMDTimeScale, BMDTimeValue*, double*) override { return E_FAIL; }
    HRESULT GetReferenceStatus(BMDReferenceStatus*) override { return E_FAIL; }
    HRESULT GetHardwareReferenceClock(BMDTimeScale, BMDTimeValue*, BMDTimeValue*,
                                      BMDTimeValue*) override { return E_FAIL; }
    HRESULT GetFrameCompletionReferenceTimestamp(IDeckLinkVideoFrame*, BMDTimeScale,
                                                 BMDTimeValue*) override { return E_FAIL; }

private:
    Card card_;
};

bool sameIid(const REFIID& a, const REFIID& b) { return memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0; }

class FakeCard final : public Fake<IDeckLink> {
public:
    explicit FakeCard(Card card) : card_(std::move(card)) {}
    HRESULT QueryInterface(REFIID iid, void** object) override {
        *object = nullptr;
        if (sameIid(iid, IID_IDeckLinkInput) && card_.input.present)
            *object = static_cast<IDeckLinkInput*>(make<FakeInput>(card_));
        else if (sameIid(iid, IID_IDeckLinkOutput) && card_.output.present)
            *object = static_cast<IDeckLinkOutput*>(make<FakeOutput>(card_));
        return *object != nullptr ? S_OK : E_NOINTERFACE;
    }
    // Differs from the display name, so a call into the wrong slot shows.
    HRESULT GetModelName(const char** name) override {
        *name = strdup(("model of " + card_.name).c_str());
        return S_OK;
    }
    HRESULT GetDisplayName(const char** name) override {
        *name = nullptr;
        if (card_.nameFails)
            return E_FAIL;
        *name = strdup(card_.name.c_str());  // the caller frees it
        return S_OK;
    }

private:
    Card card_;
};

class FakeCardIterator final : public Fake<IDeckLinkIterator> {
public:
    explicit FakeCardIterator(Description cards) : cards_(std::move(cards)) {}
    HRESULT Next(IDeckLink** card) override {
        if (next_ >= cards_.size()) {
            *card = nullptr;
            return S_FALSE;
        }
        *card = make<FakeCard>(cards_[next_++]);
        return S_OK;
    }

private:
    Description cards_;
    size_t next_ = 0;
};

// A four-character code, or a number in any base strtoull reads.
uint32_t parseCode(const std::string& word) {
    if (word.size() == 4 && !(word[0] >= '0' && word[0] <= '9'))
        return static_cast<uint32_t>(static_cast<uint8_t>(word[0])) << 24 |
               static_cast<uint32_t>(static_cast<uint8_t>(word[1])) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(word[2])) << 8 |
               static_cast<uint32_t>(static_cast<uint8_t>(word[3]));
    return static_cast<uint32_t>(strtoull(word.c_str(), nullptr, 0));
}

void parseSide(std::istringstream& words, Side& side) {
    side.present = true;
    std::string code, dominance;
    Mode mode;
    if (!(words >> code >> mode.width >> mode.height >> mode.timeScale >> mode.duration >> dominance))
        return;  // the side alone, or a line too short to be a mode
    mode.code = parseCode(code);
    mode.dominance = parseCode(dominance);
    side.modes.push_back(mode);
}

void parseLine(const std::string& line, Description& cards) {
    std::istringstream words(line);
    std::string keyword;
    if (!(words >> keyword) || keyword[0] == '#')
        return;
    if (keyword == "card") {
        std::string name;
        std::getline(words >> std::ws, name);
        cards.push_back(Card{name, false, false, {}, {}});
        return;
    }
    if (cards.empty())
        return;
    Card& card = cards.back();
    if (keyword == "noname")
        card.nameFails = true;
    else if (keyword == "nomodes")
        card.modesFail = true;
    else if (keyword == "input")
        parseSide(words, card.input);
    else if (keyword == "output")
        parseSide(words, card.output);
}

std::string descriptionText() {
    const char* value = getenv("ORVAL_FAKE_DECKLINK");
    if (value == nullptr)
        return {};
    std::ifstream file(value);
    if (!file)
        return value;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

Description readDescription() {
    Description cards;
    std::istringstream lines(descriptionText());
    for (std::string line; std::getline(lines, line);)
        parseLine(line, cards);
    return cards;
}

}  // namespace

FAKE_EXPORT IDeckLinkIterator* CreateDeckLinkIteratorInstance_0003() {
    return make<FakeCardIterator>(readDescription());
}

// The factories discovery does not use are there, but make nothing. The
// build of the fake without them (FAKE_ITERATOR_ONLY) stands for a driver
// library that lacks some entry points.
#ifndef FAKE_ITERATOR_ONLY
FAKE_EXPORT IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance_0001() { return nullptr; }
FAKE_EXPORT IDeckLinkVideoConversion* CreateVideoConversionInstance_0001() { return nullptr; }
FAKE_EXPORT IDeckLinkDiscovery* CreateDeckLinkDiscoveryInstance_0002() { return nullptr; }
#endif

FAKE_EXPORT void orvalFakeDeckLinkCounts(long* made, long* released, long* extra) {
    *made = g_made.load();
    *released = g_released.load();
    *extra = g_extra.load();
}
