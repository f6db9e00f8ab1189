// orva_config.cpp: the configuration file path and its reader and writer.
//
// The file format is not read or written yet: the reader takes no channel and
// the writer reports that it could not write, so nothing on disk is touched.
#include "orva_config.h"

#include "engine/orva_text.h"

namespace {

char g_tszfnConfig[1000];

}  // namespace

void orvaSetConfigFile(const char* path) { copyText(g_tszfnConfig, path ? path : ""); }

const char* orvaGetConfigFile() { return g_tszfnConfig; }

int orvaImportConfig() { return 0; }

int orvaExportConfig(const char* path) {
    const char* target = path ? path : g_tszfnConfig;
    return target[0] == '\0' ? 0 : -1;
}
