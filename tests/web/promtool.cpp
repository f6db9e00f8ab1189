// promtool.cpp: runs promtool on a metrics text kept in a file of its own.
#include "web/promtool.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "test_support.h"

namespace {

const std::string kPromtool = std::string(ORVAL_PROMTOOL_DIR) + "/usr/bin/promtool";
const std::string kPrometheus = std::string(ORVAL_PROMTOOL_DIR) + "/usr/bin/prometheus";

bool fetched() {
    if (fileExists(kPromtool) && fileExists(kPrometheus))
        return true;
    std::string fetch = std::string(ORVAL_FETCH_PROMTOOL) + " '" + ORVAL_PROMTOOL_DIR + "' >&2";
    return std::system(fetch.c_str()) == 0 && fileExists(kPromtool);
}

PromtoolCheck runCommand(const std::string& command) {
    PromtoolCheck check;
    check.available = true;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return check;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        check.output.append(buffer, n);
    int status = pclose(pipe);
    check.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return check;
}

}  // namespace

PromtoolCheck promtoolCheckMetrics(const std::string& text) {
    if (!fetched())
        return {};
    TempDir dir;
    writeFile(dir / "metrics.txt", text);
    return runCommand("'" + kPromtool + "' check metrics < '" + dir / "metrics.txt" + "' 2>&1");
}

PromtoolCheck promtoolRun(const std::string& folder, const std::string& arguments) {
    if (!fetched())
        return {};
    return runCommand("cd '" + folder + "' && '" + kPromtool + "' " + arguments + " 2>&1");
}

std::string prometheusServer() { return fetched() && fileExists(kPrometheus) ? kPrometheus : ""; }
