// orva_ndi.cpp: searches the network for NDI sources through the NDI runtime,
// which is opened by name at run time rather than linked.
//
// DESIGN: one runtime per process, behind g_ndiLock. The library is looked
// for under each name that offers the version-3 loader until one opens with
// all five functions; a look that finds none is repeated at most once per
// retry interval, so a runtime installed later is found without a restart.
// The runtime is initialised once, by the first search that finds it, and is
// never shut down: searches run side by side, each with a finder of its own,
// and shutting the runtime down would pull it from under a live finder. The
// end of the process releases it.
//
// A search lasts its timeout, at most a minute, whatever the sources do. The
// runtime's wait answers early at every change to the list, so the search
// waits in short slices up to its deadline; between two slices it also sees a
// cancel (the service stopping) and ends within one slice.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "devices/orva_device_retry.h"
#include "devices/orva_devices.h"
#include "devices/orva_ndi_api.h"
#include "orva_service_log.h"
#include "orva_text.h"

namespace {

using Clock = std::chrono::steady_clock;

// The version-3 runtime and the later ones, whose libraries still export
// NDIlib_v3_load and the finder functions under the same names.
constexpr const char* kRuntimeNames[] = {"libndi.so.3", "libndi.so.6", "libndi.so.5", "libndi.so.4"};
constexpr Clock::duration kWaitSlice = std::chrono::milliseconds(100);

struct NdiRuntime {
    NDIlibV3LoadFunc load = nullptr;
    NDIlibFindCreateV2Func findCreate = nullptr;
    NDIlibFindWaitForSourcesFunc findWait = nullptr;
    NDIlibFindGetCurrentSourcesFunc findSources = nullptr;
    NDIlibFindDestroyFunc findDestroy = nullptr;

    bool complete() const {
        return load != nullptr && findCreate != nullptr && findWait != nullptr &&
               findSources != nullptr && findDestroy != nullptr;
    }
};

struct NdiState {
    NdiRuntime runtime;                // complete once a library was found
    const NDIlib_v3* table = nullptr;  // set once the runtime is initialised
    OrvaRetryGate gate;
    bool finderFailureLogged = false;
};

std::mutex g_ndiLock;
NdiState g_ndi;  // under g_ndiLock
std::atomic<bool> g_searchesCancelled{false};

template <typename Func>
void lookUp(void* library, const char* name, Func& target, std::string& missing) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        missing += missing.empty() ? " lacks " : ", ";
        missing += name;
        return;
    }
    target = reinterpret_cast<Func>(symbol);
}

// The runtime's functions in `library`, with the names of any it lacks.
NdiRuntime lookUpAll(void* library, std::string& missing) {
    NdiRuntime runtime;
    lookUp(library, "NDIlib_v3_load", runtime.load, missing);
    lookUp(library, "NDIlib_find_create_v2", runtime.findCreate, missing);
    lookUp(library, "NDIlib_find_wait_for_sources", runtime.findWait, missing);
    lookUp(library, "NDIlib_find_get_current_sources", runtime.findSources, missing);
    lookUp(library, "NDIlib_find_destroy", runtime.findDestroy, missing);
    return runtime;
}

// Opens the first library that offers every function; one log line says
// which, or what each name gave.
bool openRuntime(NdiRuntime& runtime) {
    std::string tried;
    for (const char* name : kRuntimeNames) {
        if (!tried.empty())
            tried += "; ";
        void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* error = dlerror();
            tried += error ? error : name;
            continue;
        }
        std::string missing;
        NdiRuntime found = lookUpAll(library, missing);
        if (found.complete()) {
            runtime = found;
            orvaServiceLog("NDI runtime %s opened", name);
            return true;
        }
        tried += name + missing;
        dlclose(library);
    }
    orvaServiceLog("NDI runtime not found (%s); looking again in %d s", tried.c_str(),
                   orvaDeviceRetrySeconds());
    return false;
}

// The initialised runtime's table, or none while the runtime is missing or
// will not start. Caller holds g_ndiLock.
const NDIlib_v3* readyRuntime() {
    if (g_ndi.table != nullptr)
        return g_ndi.table;
    if (!g_ndi.gate.due())
        return nullptr;
    if (!g_ndi.runtime.complete() && !openRuntime(g_ndi.runtime))
        return nullptr;
    const NDIlib_v3* table = g_ndi.runtime.load();
    if (table == nullptr || table->NDIlib_initialize == nullptr || !table->NDIlib_initialize()) {
        orvaServiceLog("NDI runtime cannot run on this machine: its initialisation failed");
        return nullptr;
    }
    g_ndi.table = table;
    return table;
}

// A copy of the functions once the runtime runs; false otherwise.
bool startRuntime(NdiRuntime& runtime) {
    std::lock_guard<std::mutex> lock(g_ndiLock);
    if (readyRuntime() == nullptr)
        return false;
    runtime = g_ndi.runtime;
    return true;
}

// A failing finder is logged once, not at every search.
void noteFinder(bool made) {
    std::lock_guard<std::mutex> lock(g_ndiLock);
    if (!made && !g_ndi.finderFailureLogged)
        orvaServiceLog("NDI runtime made no finder");
    g_ndi.finderFailureLogged = !made;
}

Clock::time_point deadlineAfter(int timeoutSeconds) {
    int seconds = std::clamp(timeoutSeconds, 0, kOrvaLongestNdiSeconds);
    return Clock::now() + std::chrono::seconds(seconds);
}

// Waits until the deadline: 0, or kOrvaSearchCancelled on a cancel.
int waitForSources(const NdiRuntime& runtime, NDIlib_find_instance_t finder, Clock::time_point deadline) {
    for (;;) {
        if (g_searchesCancelled.load())
            return kOrvaSearchCancelled;
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            return 0;
        Clock::duration slice = std::min(deadline - now, kWaitSlice);
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(slice).count();
        bool changed = runtime.findWait(finder, static_cast<uint32_t>(ms));
        // A runtime that answers "no change" before its time is up would
        // otherwise turn this loop into a spin.
        if (!changed)
            std::this_thread::sleep_until(now + slice);
    }
}

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

void copySources(const NDIlib_source_t* sources, uint32_t found, ORVA_NDI& result) {
    uint32_t count = sources != nullptr ? std::min<uint32_t>(found, kOrvaMaxNdiSources) : 0;
    for (uint32_t i = 0; i < count; i++) {
        // Names and addresses are display texts here; a cut at 999 characters is allowed.
        copyText(result.names[i], orEmpty(sources[i].p_ndi_name));
        copyText(result.addresses[i], orEmpty(sources[i].p_url_address));
    }
    result.count = count;
}

}  // namespace

int orvaEnumNDI(ORVA_NDI* result, int timeoutSeconds) {
    Clock::time_point deadline = deadlineAfter(timeoutSeconds);
    NdiRuntime runtime;
    if (!startRuntime(runtime))
        return -1;
    NDIlib_find_create_t settings{true, nullptr, nullptr};
    NDIlib_find_instance_t finder = runtime.findCreate(&settings);
    noteFinder(finder != nullptr);
    if (finder == nullptr)
        return -1;
    int rc = waitForSources(runtime, finder, deadline);
    if (rc == 0) {
        uint32_t found = 0;
        const NDIlib_source_t* sources = runtime.findSources(finder, &found);
        copySources(sources, found, *result);
    }
    runtime.findDestroy(finder);
    return rc;
}

bool orvaNDIRuntimeFound() {
    std::lock_guard<std::mutex> lock(g_ndiLock);
    return g_ndi.runtime.complete();
}

void orvaCancelDeviceSearches(bool cancel) { g_searchesCancelled.store(cancel); }
