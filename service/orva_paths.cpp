// orva_paths.cpp: the service's fixed paths, optionally under $ORVAL_ROOT so
// that an unprivileged operator or a test can run the daemon in a folder of
// its own. The program folder is never moved.
#include "orva_paths.h"

#include <cstdlib>

#include "engine/orva_text.h"

namespace {

constexpr int kPathCount = static_cast<int>(OrvaPath::Count);

constexpr const char* kFixedPaths[kPathCount] = {
    "/var/run/orval.pid", "/etc/orval", "/etc/orval/orval.conf",
    "/etc/orval/orval.acl", "/var/orval", "/var/orval/log",
    "/etc/orval/tls/cert.pem", "/etc/orval/tls/key.pem", "/run/systemd/system", "/usr/bin/systemctl"};

char g_paths[kPathCount][1000];
bool g_rooted;

}  // namespace

int orvaInitPaths() {
    const char* root = getenv("ORVAL_ROOT");
    g_rooted = root && root[0] != '\0';
    for (int i = 0; i < kPathCount; i++) {
        TextCursor t(g_paths[i], sizeof g_paths[i]);
        if (g_rooted)
            append(t, root);
        append(t, kFixedPaths[i]);
        if (t.truncated)
            return -1;
    }
    return 0;
}

const char* orvaPath(OrvaPath which) { return g_paths[static_cast<int>(which)]; }

bool orvaPathsRooted() { return g_rooted; }
