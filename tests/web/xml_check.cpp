// xml_check.cpp: runs xmllint on a document written to a temporary file.
#include "web/xml_check.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "test_support.h"

namespace {

}  // namespace

bool xmlWellFormed(const std::string& document) {
    TempDir dir;
    writeFile(dir / "doc.xml", document);
    return commandOutput("xmllint --noout " + (dir / "doc.xml") + " 2>/dev/null").has_value();
}

std::optional<std::string> xmlString(const std::string& document, const std::string& xpath) {
    TempDir dir;
    writeFile(dir / "doc.xml", document);
    // The expression goes in single quotes: the tests' expressions hold none.
    auto output = commandOutput("xmllint --xpath 'string(" + xpath + ")' " + (dir / "doc.xml") + " 2>/dev/null");
    if (output && output->ends_with('\n'))
        output->pop_back();  // xmllint ends what it prints with a line end
    return output;
}
