// orva_config.cpp: the current configuration path, set at start-up.
#include "orva_config.h"

#include "engine/orva_text.h"

namespace {

char g_tszfnConfig[ORVA_TEXT_SIZE];

}  // namespace

void orvaSetConfigFile(const char* path) {
    // A cut path names another file: then there is no path, and neither the
    // reader nor the writer touches anything.
    if (!copyText(g_tszfnConfig, path ? path : ""))
        g_tszfnConfig[0] = '\0';
}

const char* orvaGetConfigFile() { return g_tszfnConfig; }
