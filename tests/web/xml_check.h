// xml_check.h: a real XML parser (xmllint, package libxml2-utils) judges
// the documents and reads values back out of them.
#pragma once

#include <optional>
#include <string>

bool xmlWellFormed(const std::string& document);
// The string value of an XPath expression over the document, as the parser
// reads it (entities and character references resolved); none when the
// document does not parse.
std::optional<std::string> xmlString(const std::string& document, const std::string& xpath);
