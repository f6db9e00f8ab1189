// promtool.h: Prometheus's own checker judges the metrics text.
#pragma once

#include <string>

struct PromtoolCheck {
    bool available = false;  // false when promtool is missing and could not be fetched
    int status = -1;         // its exit status
    std::string output;      // everything it printed, both streams
};

// Runs `promtool check metrics` on `text`. Fetches promtool into the build
// folder first when it is not there (scripts/fetch-promtool.sh).
PromtoolCheck promtoolCheckMetrics(const std::string& text);
// Runs promtool with `arguments` (shell words), in the folder `folder`.
PromtoolCheck promtoolRun(const std::string& folder, const std::string& arguments);
// The Prometheus server from the same package, fetched with promtool; empty
// when it is missing and could not be fetched.
std::string prometheusServer();

// A test that needs promtool (or the server) fails without it on a CI machine (the variable
// CI is set) and is skipped, saying why, anywhere else.
#define ORVAL_REQUIRE_PROMTOOL(check)                                                      \
    do {                                                                                   \
        if (!(check).available) {                                                          \
            if (getenv("CI"))                                                              \
                FAIL() << "promtool is missing and apt could not download it";             \
            GTEST_SKIP() << "promtool is missing and apt could not download Debian's "     \
                            "prometheus package (scripts/fetch-promtool.sh)";              \
        }                                                                                  \
    } while (0)
