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

// Searches the network for NDI sources for at least `timeoutSeconds`; each
// change of the list extends the search by another full timeout. The caller
// clears `result` first. 0 after a search, even one that found nothing; -1
// when the NDI runtime ("libndi.so.3") cannot be loaded or initialised, or no
// finder can be made.
int orvaEnumNDI(ORVA_NDI* result, int timeoutSeconds);

class IDeckLinkIterator;
class IDeckLinkAPIInformation;
class IDeckLinkVideoConversion;
class IDeckLinkDiscovery;
class IDeckLinkGLScreenPreviewHelper;

extern "C" {
// Whether the DeckLink driver library was opened (loading it first if no one
// has asked yet).
__attribute__((visibility("default"))) bool IsDeckLinkAPIPresent(void);

// The driver library's factories under their plain names, exported from the
// program. Each loads the library once and answers the object its factory
// makes, or none when the library or the factory is missing.
__attribute__((visibility("default"))) IDeckLinkIterator* CreateDeckLinkIteratorInstance(void);
__attribute__((visibility("default"))) IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance(void);
__attribute__((visibility("default"))) IDeckLinkVideoConversion* CreateVideoConversionInstance(void);
__attribute__((visibility("default"))) IDeckLinkDiscovery* CreateDeckLinkDiscoveryInstance(void);
// Also loads the preview library once.
__attribute__((visibility("default"))) IDeckLinkGLScreenPreviewHelper* CreateOpenGLScreenPreviewHelper(void);

// The run-once loaders of the driver library ("libDeckLinkAPI.so") and of its
// preview library ("libDeckLinkPreviewAPI.so"); callers go through
// pthread_once, as the entry points above do.
void InitDeckLinkAPI(void);
void InitDeckLinkPreviewAPI(void);
}
