// json_check.cpp: runs python3's json module on a document written to a
// temporary file.
#include "web/json_check.h"

#include <cstdio>
#include <memory>

#include "test_support.h"

namespace {

struct PipeCloser {
    void operator()(FILE* f) const { pclose(f); }
};

// The command's standard output, or none when it did not exit with 0.
std::optional<std::string> run(const std::string& command) {
    std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "re"));
    if (!pipe)
        return std::nullopt;
    std::string output;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;)
        output.append(chunk, n);
    if (pclose(pipe.release()) != 0)
        return std::nullopt;
    return output;
}

// Strict: the document must be UTF-8 and may not hold NaN and the like.
constexpr const char* kLoad =
    "import json,sys\n"
    "def bad(x): raise ValueError(x)\n"
    "doc = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'), parse_constant=bad)\n";

std::optional<std::string> python(const std::string& document, const std::string& script) {
    TempDir dir;
    writeFile(dir / "doc.json", document);
    writeFile(dir / "check.py", script);
    return run("python3 " + (dir / "check.py") + " " + (dir / "doc.json") + " 2>/dev/null");
}

}  // namespace

bool jsonValid(const std::string& document) {
    return python(document, kLoad).has_value();
}

std::optional<std::string> jsonValue(const std::string& document, const std::string& path) {
    return python(document, std::string(kLoad) +
                                "v = doc" + path + "\n"
                                "out = v if isinstance(v, str) else json.dumps(v, separators=(',', ':'))\n"
                                "sys.stdout.buffer.write(out.encode('utf-8'))\n");
}
