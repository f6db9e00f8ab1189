// json_check.cpp: runs python3's json module on a document written to a
// temporary file.
#include "web/json_check.h"

#include <cstdio>
#include <memory>

#include "test_support.h"

namespace {

// Strict: the document must be UTF-8 and may not hold NaN and the like.
constexpr const char* kLoad =
    "import json,sys\n"
    "def bad(x): raise ValueError(x)\n"
    "doc = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'), parse_constant=bad)\n";

std::optional<std::string> python(const std::string& document, const std::string& script) {
    TempDir dir;
    writeFile(dir / "doc.json", document);
    writeFile(dir / "check.py", script);
    return commandOutput("python3 " + (dir / "check.py") + " " + (dir / "doc.json") + " 2>/dev/null");
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
