// orva_decklink_api.h: the DeckLink driver interfaces that card discovery
// calls, declared with the binary layout of the driver's public Linux SDK.
//
// The layout is that of the DeckLink SDK 10.x generation (the generation whose
// factory entry points carry the suffixes _0003, _0001, _0001 and _0002 and
// whose IDeckLinkInput and IDeckLinkOutput identifiers are the ones below).
// The driver calls through these vtables, so the order of every virtual
// method is binding: each interface starts with IUnknown's three entries,
// then its own methods in the SDK's order, then the protected destructor
// (two entries under the Itanium C++ ABI) where the SDK declares one.
// Methods discovery never calls are still declared, in their places, so the
// slots of the ones it calls are exact. Texts come back as `const char*`
// that the caller frees with free().
#pragma once

#include <cstdint>

using HRESULT = int32_t;
using ULONG = uint32_t;

// The interface identifier travels by value as a 16-byte record.
struct REFIID {
    uint8_t bytes[16];
};

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80000008u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80000004u);

using BMDDisplayMode = uint32_t;
using BMDFieldDominance = uint32_t;
using BMDPixelFormat = uint32_t;
using BMDDisplayModeFlags = uint32_t;
using BMDDisplayModeSupport = uint32_t;
using BMDVideoInputFlags = uint32_t;
using BMDVideoOutputFlags = uint32_t;
using BMDFrameFlags = uint32_t;
using BMDAudioSampleRate = uint32_t;
using BMDAudioSampleType = uint32_t;
using BMDAudioOutputStreamType = uint32_t;
using BMDReferenceStatus = uint32_t;
using BMDTimeValue = int64_t;
using BMDTimeScale = int64_t;

constexpr BMDFieldDominance bmdLowerFieldFirst = 0x6C6F7772;    // 'lowr'
constexpr BMDFieldDominance bmdUpperFieldFirst = 0x75707072;    // 'uppr'
constexpr BMDFieldDominance bmdProgressiveFrame = 0x70726F67;   // 'prog'

// AF22762B-DFAC-4846-AA79-FA8883560995
constexpr REFIID IID_IDeckLinkInput = {{0xAF, 0x22, 0x76, 0x2B, 0xDF, 0xAC, 0x48, 0x46,
                                        0xAA, 0x79, 0xFA, 0x88, 0x83, 0x56, 0x09, 0x95}};
// CC5C8A6E-3F2F-4B3A-87EA-FD78AF300564
constexpr REFIID IID_IDeckLinkOutput = {{0xCC, 0x5C, 0x8A, 0x6E, 0x3F, 0x2F, 0x4B, 0x3A,
                                         0x87, 0xEA, 0xFD, 0x78, 0xAF, 0x30, 0x05, 0x64}};

// Objects discovery only passes along or never touches.
class IDeckLinkMemoryAllocator;
class IDeckLinkScreenPreviewCallback;
class IDeckLinkInputCallback;
class IDeckLinkVideoFrame;
class IDeckLinkMutableVideoFrame;
class IDeckLinkVideoFrameAncillary;
class IDeckLinkVideoOutputCallback;
class IDeckLinkAudioOutputCallback;
class IDeckLinkAPIInformation;
class IDeckLinkVideoConversion;
class IDeckLinkDiscovery;
class IDeckLinkGLScreenPreviewHelper;

class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;  // slot 0
    virtual ULONG AddRef() = 0;                                      // slot 1
    virtual ULONG Release() = 0;                                     // slot 2
};

class IDeckLinkDisplayMode : public IUnknown {
public:
    virtual HRESULT GetName(const char** name) = 0;                                 // 3
    virtual BMDDisplayMode GetDisplayMode() = 0;                                    // 4
    virtual long GetWidth() = 0;                                                    // 5
    virtual long GetHeight() = 0;                                                   // 6
    virtual HRESULT GetFrameRate(BMDTimeValue* frameDuration, BMDTimeScale* timeScale) = 0;  // 7
    virtual BMDFieldDominance GetFieldDominance() = 0;                              // 8
    virtual BMDDisplayModeFlags GetFlags() = 0;                                     // 9

protected:
    virtual ~IDeckLinkDisplayMode() {}
};

class IDeckLinkDisplayModeIterator : public IUnknown {
public:
    virtual HRESULT Next(IDeckLinkDisplayMode** mode) = 0;  // 3

protected:
    virtual ~IDeckLinkDisplayModeIterator() {}
};

class IDeckLink : public IUnknown {
public:
    virtual HRESULT GetModelName(const char** modelName) = 0;      // 3
    virtual HRESULT GetDisplayName(const char** displayName) = 0;  // 4

protected:
    virtual ~IDeckLink() {}
};

// The SDK declares no destructor for the card iterator.
class IDeckLinkIterator : public IUnknown {
public:
    virtual HRESULT Next(IDeckLink** card) = 0;  // 3
};

class IDeckLinkInput : public IUnknown {
public:
    virtual HRESULT DoesSupportVideoMode(BMDDisplayMode mode, BMDPixelFormat pixelFormat,
                                         BMDVideoInputFlags flags, BMDDisplayModeSupport* result,
                                         IDeckLinkDisplayMode** resultMode) = 0;         // 3
    virtual HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** iterator) = 0;  // 4
    virtual HRESULT SetScreenPreviewCallback(IDeckLinkScreenPreviewCallback* callback) = 0;
    virtual HRESULT EnableVideoInput(BMDDisplayMode mode, BMDPixelFormat pixelFormat,
                                     BMDVideoInputFlags flags) = 0;
    virtual HRESULT DisableVideoInput() = 0;
    virtual HRESULT GetAvailableVideoFrameCount(uint32_t* count) = 0;
    virtual HRESULT SetVideoInputFrameMemoryAllocator(IDeckLinkMemoryAllocator* allocator) = 0;
    virtual HRESULT EnableAudioInput(BMDAudioSampleRate rate, BMDAudioSampleType type,
                                     uint32_t channels) = 0;
    virtual HRESULT DisableAudioInput() = 0;
    virtual HRESULT GetAvailableAudioSampleFrameCount(uint32_t* count) = 0;
    virtual HRESULT StartStreams() = 0;
    virtual HRESULT StopStreams() = 0;
    virtual HRESULT PauseStreams() = 0;
    virtual HRESULT FlushStreams() = 0;
    virtual HRESULT SetCallback(IDeckLinkInputCallback* callback) = 0;
    virtual HRESULT GetHardwareReferenceClock(BMDTimeScale scale, BMDTimeValue* hardwareTime,
                                              BMDTimeValue* timeInFrame,
                                              BMDTimeValue* ticksPerFrame) = 0;  // 18

protected:
    virtual ~IDeckLinkInput() {}
};

class IDeckLinkOutput : public IUnknown {
public:
    virtual HRESULT DoesSupportVideoMode(BMDDisplayMode mode, BMDPixelFormat pixelFormat,
                                         BMDVideoOutputFlags flags, BMDDisplayModeSupport* result,
                                         IDeckLinkDisplayMode** resultMode) = 0;         // 3
    virtual HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** iterator) = 0;  // 4
    virtual HRESULT SetScreenPreviewCallback(IDeckLinkScreenPreviewCallback* callback) = 0;
    virtual HRESULT EnableVideoOutput(BMDDisplayMode mode, BMDVideoOutputFlags flags) = 0;
    virtual HRESULT DisableVideoOutput() = 0;
    virtual HRESULT SetVideoOutputFrameMemoryAllocator(IDeckLinkMemoryAllocator* allocator) = 0;
    virtual HRESULT CreateVideoFrame(int32_t width, int32_t height, int32_t rowBytes,
                                     BMDPixelFormat pixelFormat, BMDFrameFlags flags,
                                     IDeckLinkMutableVideoFrame** frame) = 0;
    virtual HRESULT CreateAncillaryData(BMDPixelFormat pixelFormat,
                                        IDeckLinkVideoFrameAncillary** buffer) = 0;
    virtual HRESULT DisplayVideoFrameSync(IDeckLinkVideoFrame* frame) = 0;
    virtual HRESULT ScheduleVideoFrame(IDeckLinkVideoFrame* frame, BMDTimeValue displayTime,
                                       BMDTimeValue displayDuration, BMDTimeScale scale) = 0;
    virtual HRESULT SetScheduledFrameCompletionCallback(IDeckLinkVideoOutputCallback* callback) = 0;
    virtual HRESULT GetBufferedVideoFrameCount(uint32_t* count) = 0;
    virtual HRESULT EnableAudioOutput(BMDAudioSampleRate rate, BMDAudioSampleType type,
                                      uint32_t channels, BMDAudioOutputStreamType streamType) = 0;
    virtual HRESULT DisableAudioOutput() = 0;
    virtual HRESULT WriteAudioSamplesSync(void* buffer, uint32_t frames, uint32_t* written) = 0;
    virtual HRESULT BeginAudioPreroll() = 0;
    virtual HRESULT EndAudioPreroll() = 0;
    virtual HRESULT ScheduleAudioSamples(void* buffer, uint32_t frames, BMDTimeValue streamTime,
                                         BMDTimeScale scale, uint32_t* written) = 0;
    virtual HRESULT GetBufferedAudioSampleFrameCount(uint32_t* count) = 0;
    virtual HRESULT FlushBufferedAudioSamples() = 0;
    virtual HRESULT SetAudioCallback(IDeckLinkAudioOutputCallback* callback) = 0;
    virtual HRESULT StartScheduledPlayback(BMDTimeValue startTime, BMDTimeScale scale,
                                           double speed) = 0;
    virtual HRESULT StopScheduledPlayback(BMDTimeValue stopAt, BMDTimeValue* actualStop,
                                          BMDTimeScale scale) = 0;
    virtual HRESULT IsScheduledPlaybackRunning(bool* active) = 0;
    virtual HRESULT GetScheduledStreamTime(BMDTimeScale scale, BMDTimeValue* streamTime,
                                           double* speed) = 0;
    virtual HRESULT GetReferenceStatus(BMDReferenceStatus* status) = 0;
    virtual HRESULT GetHardwareReferenceClock(BMDTimeScale scale, BMDTimeValue* hardwareTime,
                                              BMDTimeValue* timeInFrame,
                                              BMDTimeValue* ticksPerFrame) = 0;
    virtual HRESULT GetFrameCompletionReferenceTimestamp(IDeckLinkVideoFrame* frame,
                                                         BMDTimeScale scale,
                                                         BMDTimeValue* timestamp) = 0;  // 30

protected:
    virtual ~IDeckLinkOutput() {}
};

// The driver library's factory entry points, as resolved by name.
using CreateIteratorFunc = IDeckLinkIterator* (*)();
using CreateAPIInformationFunc = IDeckLinkAPIInformation* (*)();
using CreateVideoConversionFunc = IDeckLinkVideoConversion* (*)();
using CreateDeckLinkDiscoveryFunc = IDeckLinkDiscovery* (*)();
using CreateOpenGLScreenPreviewHelperFunc = IDeckLinkGLScreenPreviewHelper* (*)();
