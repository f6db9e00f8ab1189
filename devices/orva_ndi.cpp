// orva_ndi.cpp: searches the network for NDI sources through the NDI runtime,
// which is opened by name at run time rather than linked.
//
// DESIGN: the runtime library is opened and its five functions looked up once
// per process (a function-local static, so concurrent first calls are safe).
// Every search then initialises the runtime, makes its own finder, waits
// until a full timeout passes without a change to the list, copies what it
// sees, and shuts both down again; searches share nothing else.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "devices/orva_devices.h"
#include "devices/orva_ndi_api.h"
#include "orva_text.h"

namespace {

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

template <typename Func>
void lookUp(void* library, const char* name, Func& target) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        const char* error = dlerror();
        fprintf(stderr, "%s\n", error ? error : name);
        return;
    }
    target = reinterpret_cast<Func>(symbol);
}

NdiRuntime openRuntime() {
    NdiRuntime runtime;
    void* library = dlopen("libndi.so.3", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = dlerror();
        fprintf(stderr, "%s\n", error ? error : "libndi.so.3 cannot be opened");
        return runtime;
    }
    lookUp(library, "NDIlib_v3_load", runtime.load);
    lookUp(library, "NDIlib_find_create_v2", runtime.findCreate);
    lookUp(library, "NDIlib_find_wait_for_sources", runtime.findWait);
    lookUp(library, "NDIlib_find_get_current_sources", runtime.findSources);
    lookUp(library, "NDIlib_find_destroy", runtime.findDestroy);
    return runtime;
}

// The runtime, or none when the library or any of its functions is missing.
const NdiRuntime* ndiRuntime() {
    static const NdiRuntime runtime = openRuntime();
    return runtime.complete() ? &runtime : nullptr;
}

// Seconds to the runtime's milliseconds, held to its 32-bit range rather
// than wrapped: a huge timeout stays huge, a negative one means no wait.
uint32_t waitMilliseconds(int timeoutSeconds) {
    int64_t ms = static_cast<int64_t>(timeoutSeconds) * 1000;
    return static_cast<uint32_t>(
        std::clamp<int64_t>(ms, 0, std::numeric_limits<uint32_t>::max()));
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
    const NdiRuntime* runtime = ndiRuntime();
    if (runtime == nullptr)
        return -1;
    const NDIlib_v3* table = runtime->load();
    if (table == nullptr || table->NDIlib_initialize == nullptr || !table->NDIlib_initialize())
        return -1;
    NDIlib_find_create_t settings{true, nullptr, nullptr};
    NDIlib_find_instance_t finder = runtime->findCreate(&settings);
    if (finder == nullptr) {
        if (table->NDIlib_destroy != nullptr)
            table->NDIlib_destroy();
        return -1;
    }
    uint32_t waitMs = waitMilliseconds(timeoutSeconds);
    while (runtime->findWait(finder, waitMs)) {
        // Each change to the list earns the search another full timeout.
    }
    uint32_t found = 0;
    const NDIlib_source_t* sources = runtime->findSources(finder, &found);
    copySources(sources, found, *result);
    runtime->findDestroy(finder);
    if (table->NDIlib_destroy != nullptr)
        table->NDIlib_destroy();
    return 0;
}
