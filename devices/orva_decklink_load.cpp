// orva_decklink_load.cpp: opens the DeckLink driver library by name at run
// time and exports its factories under their plain names.
//
// DESIGN: the library is opened at most once per process, under a run-once
// guard, the first time anything asks for it; until then and on machines
// without it every factory pointer stays empty and the entry points answer
// none. The guard also orders the pointers' writes before every later read,
// so the pointers need no lock of their own.
#include <dlfcn.h>
#include <pthread.h>

#include <cstdio>

#include "devices/orva_decklink_api.h"
#include "devices/orva_devices.h"

namespace {

pthread_once_t gDeckLinkOnceControl = PTHREAD_ONCE_INIT;
pthread_once_t gPreviewOnceControl = PTHREAD_ONCE_INIT;
bool gLoadedDeckLinkAPI = false;
CreateIteratorFunc gCreateIteratorFunc = nullptr;
CreateAPIInformationFunc gCreateAPIInformationFunc = nullptr;
CreateVideoConversionFunc gCreateVideoConversionFunc = nullptr;
CreateDeckLinkDiscoveryFunc gCreateDeckLinkDiscoveryFunc = nullptr;
CreateOpenGLScreenPreviewHelperFunc gCreateOpenGLPreviewFunc = nullptr;

void printLoaderError() {
    const char* error = dlerror();
    fprintf(stderr, "%s\n", error ? error : "unknown dynamic loader error");
}

void* openLibrary(const char* name) {
    void* library = dlopen(name, RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr)
        printLoaderError();
    return library;
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

template <typename Object>
Object* make(Object* (*factory)()) {
    return factory != nullptr ? factory() : nullptr;
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
    resolve(library, "CreateOpenGLScreenPreviewHelper_0001", gCreateOpenGLPreviewFunc);
}

bool IsDeckLinkAPIPresent(void) {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return gLoadedDeckLinkAPI;
}

IDeckLinkIterator* CreateDeckLinkIteratorInstance(void) {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return make(gCreateIteratorFunc);
}

IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance(void) {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return make(gCreateAPIInformationFunc);
}

IDeckLinkVideoConversion* CreateVideoConversionInstance(void) {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return make(gCreateVideoConversionFunc);
}

IDeckLinkDiscovery* CreateDeckLinkDiscoveryInstance(void) {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    return make(gCreateDeckLinkDiscoveryFunc);
}

// The preview helper sits on top of the driver, so both libraries load.
IDeckLinkGLScreenPreviewHelper* CreateOpenGLScreenPreviewHelper(void) {
    pthread_once(&gDeckLinkOnceControl, InitDeckLinkAPI);
    pthread_once(&gPreviewOnceControl, InitDeckLinkPreviewAPI);
    return make(gCreateOpenGLPreviewFunc);
}

}  // extern "C"
