// orva_devices.h: discovery of DeckLink cards with their display modes and of
// NDI sources on the network, for the device endpoints of the management
// server. Both driver libraries are loaded by name at run time, so the
// service runs on machines that have neither.
#pragma once

#include <cstdint>

constexpr int kOrvaMaxDeckLinkCards = 10;
constexpr int kOrvaMaxDeckLinkModes = 50;
constexpr int kOrvaMaxNdiSources = 20;
constexpr int kOrvaDeviceTextSize = 1000;

struct ORVA_DECKLINK_MODE {
    int32_t fmtcode;     // the driver's four-character display-mode code
    int32_t width;
    int32_t height;
    int32_t numFrame;    // time scale: ticks per second
    int32_t denFrame;    // frame duration in those ticks
    int32_t interlaced;  // 1 for lower or upper field first
};

struct ORVA_DECKLINK_CARD {
    char name[kOrvaDeviceTextSize];
    int32_t numModes;
    ORVA_DECKLINK_MODE modes[kOrvaMaxDeckLinkModes];
};

struct ORVA_DECKLINKS {
    uint32_t count;
    ORVA_DECKLINK_CARD cards[kOrvaMaxDeckLinkCards];
};

struct ORVA_NDI {
    uint32_t count;
    char names[kOrvaMaxNdiSources][kOrvaDeviceTextSize];
    char addresses[kOrvaMaxNdiSources][kOrvaDeviceTextSize];
};

// Result records: their layouts are fixed.
static_assert(sizeof(ORVA_DECKLINK_MODE) == 24);
static_assert(sizeof(ORVA_DECKLINK_CARD) == 2204);
static_assert(sizeof(ORVA_DECKLINKS) == 22044);
static_assert(sizeof(ORVA_NDI) == 40004);

// Lists the cards and, for each, the display modes of its capture side
// (`output` 0) or its playback side. The caller clears `result` first.
// 0 after a complete enumeration; -1 without the driver library or its card
// iterator. Safe to call from several threads at once.
int orvaEnumBMD(int output, ORVA_DECKLINKS* result);

// The longest NDI search; a longer timeout is taken as this.
constexpr int kOrvaLongestNdiSeconds = 60;
// What a search answers when it was cancelled.
constexpr int kOrvaSearchCancelled = -2;

// Searches the network for NDI sources for `timeoutSeconds` (0 to 60; beyond
// are held to the range), whatever the sources do meanwhile. The caller clears
// `result` first. 0 after a search, even one that found nothing; -1 when no
// NDI runtime can be found (looked for again at most once per retry
// interval) or initialised, or no finder can be made; kOrvaSearchCancelled
// when orvaCancelDeviceSearches ended it, with nothing stored. Searches run
// side by side on one runtime, initialised by the first.
int orvaEnumNDI(ORVA_NDI* result, int timeoutSeconds);

// Whether an NDI runtime library has been found with every function the
// search needs. Looks for none itself.
bool orvaNDIRuntimeFound();

// With `cancel` set, every NDI search under way ends within a tenth of a
// second and every later one at once, until it is cleared again: the service
// stops without waiting for a search.
void orvaCancelDeviceSearches(bool cancel);

class IDeckLinkIterator;
class IDeckLinkAPIInformation;
class IDeckLinkVideoConversion;
class IDeckLinkDiscovery;
class IDeckLinkGLScreenPreviewHelper;

extern "C" {
// Whether the DeckLink driver library was opened (looking for it first when
// no look was made yet, or the last one failed over a retry interval ago).
__attribute__((visibility("default"))) bool IsDeckLinkAPIPresent(void);

// The driver library's factories under their plain names, exported from the
// program. Each looks for the library as IsDeckLinkAPIPresent does and
// answers the object its factory makes, or none when the library or the
// factory is missing.
__attribute__((visibility("default"))) IDeckLinkIterator* CreateDeckLinkIteratorInstance(void);
__attribute__((visibility("default"))) IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance(void);
__attribute__((visibility("default"))) IDeckLinkVideoConversion* CreateVideoConversionInstance(void);
__attribute__((visibility("default"))) IDeckLinkDiscovery* CreateDeckLinkDiscoveryInstance(void);
// Also loads the preview library once.
__attribute__((visibility("default"))) IDeckLinkGLScreenPreviewHelper* CreateOpenGLScreenPreviewHelper(void);

// The loaders of the driver library ("libDeckLinkAPI.so") and of its preview
// library ("libDeckLinkPreviewAPI.so"): one attempt each. Callers go through
// the entry points above, which pace the attempts and serialise them.
void InitDeckLinkAPI(void);
void InitDeckLinkPreviewAPI(void);
}
