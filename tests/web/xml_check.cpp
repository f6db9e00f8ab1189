// xml_check.cpp: runs xmllint on a document written to a temporary file.
#include "web/xml_check.h"

#include <cstdio>
#include <cstdlib>
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
    int status = pclose(pipe.release());
    if (status != 0)
        return std::nullopt;
    return output;
}

}  // namespace

bool xmlWellFormed(const std::string& document) {
    TempDir dir;
    writeFile(dir / "doc.xml", document);
    return run("xmllint --noout " + (dir / "doc.xml") + " 2>/dev/null").has_value();
}

std::optional<std::string> xmlString(const std::string& document, const std::string& xpath) {
    TempDir dir;
    writeFile(dir / "doc.xml", document);
    // The expression goes in single quotes: the tests' expressions hold none.
    auto output = run("xmllint --xpath 'string(" + xpath + ")' " + (dir / "doc.xml") + " 2>/dev/null");
    if (output && output->ends_with('\n'))
        output->pop_back();  // xmllint ends what it prints with a line end
    return output;
}
