// orva_decklink_load.cpp: opens the DeckLink driver library by name at run
// time and exports its factories under their plain names.
//
// DESIGN: the library is looked for the first time anything asks for it and,
// while it is missing, again at most once per retry interval, so a driver
// installed while the service runs is found without a restart. Once opened
// it stays open and its factory pointers never change. Until then and on
// machines without it every factory pointer stays empty and the entry points
// answer none. gDeckLinkLock serialises the attempts and orders the
// pointers' writes before every read, which happens under it too.
#include <dlfcn.h>

#include <cstdio>
#include <mutex>

#include "devices/orva_decklink_api.h"
#include "devices/orva_device_retry.h"
#include "devices/orva_devices.h"
#include "orva_service_log.h"

namespace {

std::mutex gDeckLinkLock;  // guards everything below
OrvaRetryGate gDeckLinkGate;
OrvaRetryGate gPreviewGate;
bool gLoadedDeckLinkAPI = false;
bool gLoadedPreviewAPI = false;
CreateIteratorFunc gCreateIteratorFunc = nullptr;
CreateAPIInformationFunc gCreateAPIInformationFunc = nullptr;
CreateVideoConversionFunc gCreateVideoConversionFunc = nullptr;
CreateDeckLinkDiscoveryFunc gCreateDeckLinkDiscoveryFunc = nullptr;
CreateOpenGLScreenPreviewHelperFunc gCreateOpenGLPreviewFunc = nullptr;

void printLoaderError() {
    const char* error = dlerror();
    fprintf(stderr, "%s\n", error ? error : "unknown dynamic loader error");
}

// The loader's message goes to standard error and, with what comes next, to
// the service log: one line per attempt.
void* openLibrary(const char* name) {
    void* library = dlopen(name, RTLD_NOW | RTLD_GLOBAL);
    if (library != nullptr) {
        orvaServiceLog("DeckLink library %s opened", name);
        return library;
    }
    const char* error = dlerror();
    fprintf(stderr, "%s\n", error ? error : name);
    orvaServiceLog("DeckLink library %s cannot be opened (%s); looking again in %d s", name,
                   error ? error : "no reason given", orvaDeviceRetrySeconds());
    return nullptr;
}

// Looks a factory up; a missing one is reported and the others still load.
template <typename Func>
void resolve(void* library, const char* name, Func& target) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        printLoaderError();
        return;
    }
    target = reinterpret_cast<Func>(symbol);
}

// Looks for the driver library when none was opened and an attempt is due.
// Caller holds gDeckLinkLock.
void loadDeckLink() {
    if (!gLoadedDeckLinkAPI && gDeckLinkGate.due())
        InitDeckLinkAPI();
}

void loadPreview() {
    loadDeckLink();
    if (!gLoadedPreviewAPI && gPreviewGate.due())
        InitDeckLinkPreviewAPI();
}

// The factory, read under the lock once the library was looked for, and the
// object it makes, made outside the lock.
template <typename Object>
Object* make(Object* (*&factory)(), void (*load)()) {
    Object* (*resolved)() = nullptr;
    {
        std::lock_guard<std::mutex> lock(gDeckLinkLock);
        load();
        resolved = factory;
    }
    return resolved != nullptr ? resolved() : nullptr;
}

}  // namespace

extern "C" {

void InitDeckLinkAPI(void) {
    void* library = openLibrary("libDeckLinkAPI.so");
    if (library == nullptr)
        return;
    gLoadedDeckLinkAPI = true;
    resolve(library, "CreateDeckLinkIteratorInstance_0003", gCreateIteratorFunc);
    resolve(library, "CreateDeckLinkAPIInformationInstance_0001", gCreateAPIInformationFunc);
    resolve(library, "CreateVideoConversionInstance_0001", gCreateVideoConversionFunc);
    resolve(library, "CreateDeckLinkDiscoveryInstance_0002", gCreateDeckLinkDiscoveryFunc);
}

void InitDeckLinkPreviewAPI(void) {
    void* library = openLibrary("libDeckLinkPreviewAPI.so");
    if (library == nullptr)
        return;
    gLoadedPreviewAPI = true;
    resolve(library, "CreateOpenGLScreenPreviewHelper_0001", gCreateOpenGLPreviewFunc);
}

bool IsDeckLinkAPIPresent(void) {
    std::lock_guard<std::mutex> lock(gDeckLinkLock);
    loadDeckLink();
    return gLoadedDeckLinkAPI;
}

IDeckLinkIterator* CreateDeckLinkIteratorInstance(void) {
    return make(gCreateIteratorFunc, loadDeckLink);
}

IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance(void) {
    return make(gCreateAPIInformationFunc, loadDeckLink);
}

IDeckLinkVideoConversion* CreateVideoConversionInstance(void) {
    return make(gCreateVideoConversionFunc, loadDeckLink);
}

IDeckLinkDiscovery* CreateDeckLinkDiscoveryInstance(void) {
    return make(gCreateDeckLinkDiscoveryFunc, loadDeckLink);
}

// The preview helper sits on top of the driver, so both libraries load.
IDeckLinkGLScreenPreviewHelper* CreateOpenGLScreenPreviewHelper(void) {
    return make(gCreateOpenGLPreviewFunc, loadPreview);
}

}  // extern "C"
