// fake_ndi.cpp: a stand-in for the NDI runtime, built as "libndi.so.3" into
// the build's fakes folder. A program finds it the way it finds the real one,
// by name through the loader path:
//
//     LD_LIBRARY_PATH=<build>/fakes ORVAL_FAKE_NDI=sources.txt ./orval
//
// ORVAL_FAKE_NDI holds the description, or names a file that holds it; it is
// read again at every initialize and every finder made, so a test can change
// the network while one runtime stays up. Unset: a network without sources.
// One statement per line; blank lines and lines starting with '#' are skipped:
//
//     init fail             initialize answers false
//     finder fail           NDIlib_find_create_v2 makes no finder
//     nowait                every wait answers "no change" at once
//     source <delay ms> <address> <name>
//                           a source that appears <delay ms> after its finder
//                           was made; the name is the rest of the line, taken
//                           as it is (quotes, backslashes and all)
//
// Like the runtime, NDIlib_find_wait_for_sources returns true as soon as the
// set of visible sources differs from what the last wait reported, and false
// once its timeout passes without a change; NDIlib_find_get_current_sources
// lists the sources visible at that moment, in description order. Example:
//
//     source 0 192.168.1.20:5961 STUDIO-PC (Camera 1)
//     source 700 192.168.1.21:5961 EDIT-PC (Program "Live")
//
// Counting: orvalFakeNdiCounts (exported, for dlsym) writes
// "init <n> destroy <n> finders <n> destroyed <n> wait <last timeout ms>
// longest <longest timeout ms> local <0|1> groups <set|none> extra <set|none>\n"
// into a buffer: the calls so far and the last finder settings seen. When ORVAL_FAKE_NDI_COUNTS names
// a file, the fake rewrites it with the same line after every call.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/orva_ndi_api.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;

struct Source {
    std::chrono::milliseconds delay{0};
    std::string address;
    std::string name;
};

struct Description {
    bool initFails = false;
    bool finderFails = false;
    bool noWait = false;
    std::vector<Source> sources;
};

struct Finder {
    Description description;
    Clock::time_point made;
    size_t reported = 0;                  // visible sources at the last wait's answer
    std::vector<NDIlib_source_t> listed;  // points into description
};

std::mutex g_lock;  // guards everything below
Description g_description;
long g_inits = 0, g_destroys = 0, g_findersMade = 0, g_findersDestroyed = 0;
long g_lastWaitMs = -1, g_longestWaitMs = -1;
bool g_showLocal = false, g_groupsSet = false, g_extraSet = false;

void formatCounts(char* buffer, size_t size) {
    snprintf(buffer, size,
             "init %ld destroy %ld finders %ld destroyed %ld wait %ld longest %ld local %d groups %s extra %s\n",
             g_inits, g_destroys, g_findersMade, g_findersDestroyed, g_lastWaitMs, g_longestWaitMs, g_showLocal ? 1 : 0,
             g_groupsSet ? "set" : "none", g_extraSet ? "set" : "none");
}

// Caller holds g_lock.
void writeCounts() {
    const char* path = getenv("ORVAL_FAKE_NDI_COUNTS");
    if (path == nullptr || *path == '\0')
        return;
    char line[256];
    formatCounts(line, sizeof line);
    if (FILE* file = fopen(path, "we")) {
        fputs(line, file);
        fclose(file);
    }
}

void parseLine(const std::string& line, Description& description) {
    std::istringstream words(line);
    std::string keyword, second;
    if (!(words >> keyword) || keyword[0] == '#')
        return;
    if (keyword == "nowait") {
        description.noWait = true;
        return;
    }
    if (keyword == "source") {
        Source source;
        long delay = 0;
        if (!(words >> delay >> source.address))
            return;
        source.delay = std::chrono::milliseconds(delay);
        std::getline(words >> std::ws, source.name);
        description.sources.push_back(source);
        return;
    }
    words >> second;
    if (keyword == "init" && second == "fail")
        description.initFails = true;
    if (keyword == "finder" && second == "fail")
        description.finderFails = true;
}

Description readDescription() {
    Description description;
    const char* value = getenv("ORVAL_FAKE_NDI");
    if (value == nullptr)
        return description;
    std::string text = value;
    if (std::ifstream file(value); file) {
        std::ostringstream content;
        content << file.rdbuf();
        text = content.str();
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        parseLine(line, description);
    return description;
}

size_t visibleAt(const Finder& finder, Clock::time_point now) {
    auto elapsed = now - finder.made;
    return static_cast<size_t>(std::count_if(finder.description.sources.begin(), finder.description.sources.end(),
                                             [&](const Source& s) { return s.delay <= elapsed; }));
}

// When the next source appears, or `limit` when none appears before it.
Clock::time_point nextAppearance(const Finder& finder, Clock::time_point now, Clock::time_point limit) {
    Clock::time_point next = limit;
    for (const Source& source : finder.description.sources) {
        Clock::time_point at = finder.made + source.delay;
        if (at > now && at < next)
            next = at;
    }
    return next;
}

bool initialize() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_description = readDescription();
    g_inits++;
    writeCounts();
    return !g_description.initFails;
}

void destroy() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_destroys++;
    writeCounts();
}

const NDIlib_v3 g_table = {initialize, destroy};

}  // namespace

FAKE_EXPORT const NDIlib_v3* NDIlib_v3_load() { return &g_table; }

FAKE_EXPORT NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* settings) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_showLocal = settings == nullptr || settings->show_local_sources;  // none means the defaults
    g_groupsSet = settings != nullptr && settings->p_groups != nullptr;
    g_extraSet = settings != nullptr && settings->p_extra_ips != nullptr;
    g_description = readDescription();
    writeCounts();
    if (g_description.finderFails)
        return nullptr;
    g_findersMade++;
    return new Finder{g_description, Clock::now(), 0, {}};
}

FAKE_EXPORT bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t instance, uint32_t timeoutMs) {
    auto* finder = static_cast<Finder*>(instance);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_lastWaitMs = static_cast<long>(timeoutMs);
        g_longestWaitMs = std::max(g_longestWaitMs, g_lastWaitMs);
        writeCounts();
    }
    if (finder->description.noWait)
        return false;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Clock::time_point now = Clock::now();
        size_t visible = visibleAt(*finder, now);
        if (visible != finder->reported) {
            finder->reported = visible;
            return true;
        }
        if (now >= deadline)
            return false;
        std::this_thread::sleep_until(nextAppearance(*finder, now, deadline));
    }
}

FAKE_EXPORT const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t instance,
                                                                   uint32_t* count) {
    auto* finder = static_cast<Finder*>(instance);
    auto elapsed = Clock::now() - finder->made;
    finder->listed.clear();
    for (const Source& source : finder->description.sources) {
        if (source.delay <= elapsed)
            finder->listed.push_back({source.name.c_str(), source.address.c_str()});
    }
    *count = static_cast<uint32_t>(finder->listed.size());
    return finder->listed.empty() ? nullptr : finder->listed.data();
}

FAKE_EXPORT void NDIlib_find_destroy(NDIlib_find_instance_t instance) {
    delete static_cast<Finder*>(instance);
    std::lock_guard<std::mutex> hold(g_lock);
    g_findersDestroyed++;
    writeCounts();
}

FAKE_EXPORT void orvalFakeNdiCounts(char* buffer, size_t size) {
    std::lock_guard<std::mutex> hold(g_lock);
    formatCounts(buffer, size);
}
