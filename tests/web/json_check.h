// json_check.h: a real JSON parser (python3's json module) judges the
// documents and reads values back out of them.
#pragma once

#include <optional>
#include <string>

bool jsonValid(const std::string& document);
// The value at `path`, a chain of Python subscripts such as
// `["sources"][0]["name"]`, as the parser reads it: a string as its UTF-8
// bytes, anything else in compact JSON; none when the document does not parse
// or has no such value.
std::optional<std::string> jsonValue(const std::string& document, const std::string& path);
