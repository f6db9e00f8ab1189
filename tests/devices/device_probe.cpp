// device_probe.cpp: runs one device discovery and prints what it found, so
// the tests can run discovery in a process whose loader path and fake driver
// description they choose (the loader reads its path once, at start).
//
//     orval_device_probe bmd <output> [<calls>]   orvaEnumBMD, <calls> times
//     orval_device_probe ndi <timeout seconds> [<searches> [<cancel after ms>]]
//                  orvaEnumNDI <searches> times at once (1 unless given), and
//                  orvaCancelDeviceSearches that many milliseconds in
//
// Output, one fact a line: "result <n>" for each call, then "count <n>", the
// cards ("card <name>", then "mode <fmtcode> <width> <height> <numFrame>
// <denFrame> <interlaced>" for each of its modes) or the sources ("name
// <name>", "addr <address>"), and the fake driver's counts when one is loaded.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "devices/orva_devices.h"
#include "orva_text.h"

namespace {

void printDeckLinkCounts() {
    void* fake = dlopen("libDeckLinkAPI.so", RTLD_NOW | RTLD_NOLOAD);
    if (fake == nullptr)
        return;
    using Counts = void (*)(long*, long*, long*);
    if (auto counts = reinterpret_cast<Counts>(dlsym(fake, "orvalFakeDeckLinkCounts"))) {
        long made = 0, released = 0, extra = 0;
        counts(&made, &released, &extra);
        printf("objects made %ld released %ld extra %ld\n", made, released, extra);
    }
    dlclose(fake);
}

int probeDeckLink(int output, int calls) {
    auto cards = std::make_unique<ORVA_DECKLINKS>();
    for (int i = 0; i < calls; i++) {
        *cards = ORVA_DECKLINKS{};
        printf("result %d\n", orvaEnumBMD(output, cards.get()));
    }
    printf("count %u\n", cards->count);
    for (uint32_t c = 0; c < cards->count && c < kOrvaMaxDeckLinkCards; c++) {
        const ORVA_DECKLINK_CARD& card = cards->cards[c];
        printf("card %.*s\n", static_cast<int>(fieldText(card.name).size()), card.name);
        for (int32_t m = 0; m < card.numModes && m < kOrvaMaxDeckLinkModes; m++) {
            const ORVA_DECKLINK_MODE& mode = card.modes[m];
            printf("mode %d %d %d %d %d %d\n", mode.fmtcode, mode.width, mode.height, mode.numFrame,
                   mode.denFrame, mode.interlaced);
        }
    }
    printf("present %d\n", IsDeckLinkAPIPresent() ? 1 : 0);
    printDeckLinkCounts();
    return 0;
}

void printNdiCounts() {
    void* fake = dlopen("libndi.so.3", RTLD_NOW | RTLD_NOLOAD);
    if (fake == nullptr)
        return;
    using Counts = void (*)(char*, size_t);
    if (auto counts = reinterpret_cast<Counts>(dlsym(fake, "orvalFakeNdiCounts"))) {
        char line[256];
        counts(line, sizeof line);
        printf("fake %s", line);
    }
    dlclose(fake);
}

// The sources printed are those of the first search.
int probeNdi(int timeoutSeconds, int searches, int cancelAfterMs) {
    std::vector<std::unique_ptr<ORVA_NDI>> found;
    std::vector<int> results(static_cast<size_t>(searches));
    std::vector<std::thread> threads;
    auto start = std::chrono::steady_clock::now();
    // Every result is made before any search starts: a search must not read
    // the list while it grows.
    for (int i = 0; i < searches; i++)
        found.push_back(std::make_unique<ORVA_NDI>());
    for (int i = 0; i < searches; i++) {
        ORVA_NDI* into = found[i].get();
        int* result = &results[i];
        threads.emplace_back([into, result, timeoutSeconds] { *result = orvaEnumNDI(into, timeoutSeconds); });
    }
    if (cancelAfterMs >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(cancelAfterMs));
        orvaCancelDeviceSearches(true);
    }
    for (std::thread& thread : threads)
        thread.join();
    auto elapsed = std::chrono::steady_clock::now() - start;
    const ORVA_NDI* sources = found.front().get();
    for (int result : results)
        printf("result %d\n", result);
    printf("elapsed_ms %lld\n",
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    printf("count %u\n", sources->count);
    for (uint32_t i = 0; i < sources->count && i < kOrvaMaxNdiSources; i++) {
        printf("name %.*s\n", static_cast<int>(fieldText(sources->names[i]).size()), sources->names[i]);
        printf("addr %.*s\n", static_cast<int>(fieldText(sources->addresses[i]).size()),
               sources->addresses[i]);
    }
    printNdiCounts();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "bmd") == 0)
        return probeDeckLink(atoi(argv[2]), argc >= 4 ? atoi(argv[3]) : 1);
    if (argc >= 3 && strcmp(argv[1], "ndi") == 0)
        return probeNdi(atoi(argv[2]), argc >= 4 ? std::max(1, atoi(argv[3])) : 1, argc >= 5 ? atoi(argv[4]) : -1);
    fprintf(stderr, "usage: %s bmd <output> [<calls>] | ndi <timeout seconds> [<searches> [<cancel after ms>]]\n",
            argv[0]);
    return 2;
}
