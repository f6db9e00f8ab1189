// orva_folders.cpp: folder tests and creation of folders with their parents.
#include "orva_folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "engine/orva_service_log.h"
#include "engine/orva_text.h"

namespace {

// Cuts `path` at its last "/" into `parent`; false when there is none.
bool parentOf(const char* path, char (&parent)[1000]) {
    if (!copyText(parent, path))
        return false;
    char* slash = strrchr(parent, '/');
    if (!slash)
        return false;
    *slash = '\0';
    return true;
}

bool usable(const char* path) { return access(path, R_OK | W_OK) == 0; }

int makeFolder(const char* path) {
    if (mkdir(path, 0777) == 0)
        return 0;
    char purpose[1100];
    snprintf(purpose, sizeof purpose, "creating folder %s", path);
    orvaLogFailedCall("mkdir", purpose);
    return -1;
}

}  // namespace

int isDirectory(const char* path) {
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return 0;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int CreateFolder(const char* path) {
    if (!path)
        return -1;
    if (usable(path))
        return 0;
    char parent[1000];
    if (parentOf(path, parent) && parent[0] != '\0' && !usable(parent)) {
        char grandparent[1000];
        if (parentOf(parent, grandparent) && grandparent[0] != '\0')
            CreateFolder(grandparent);
        makeFolder(parent);
    }
    return makeFolder(path);
}
