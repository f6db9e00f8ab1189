// orva_acl.cpp: reads the access list afresh for each request, so an edit
// takes effect with the next one.
#include "orva_acl.h"

#include <strings.h>

#include <memory>
#include <optional>
#include <string_view>

namespace {

// Lines are read in pieces of at most 99 characters; a longer line is read
// as several lines.
constexpr int kLineSize = 100;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

struct AddressRange {
    uint32_t first;
    uint32_t last;
};

// The next word of `line` at blanks; a tab is part of a word. Empty at the end.
std::string_view nextWord(std::string_view& line) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    size_t end = line.find(' ');
    std::string_view word = line.substr(0, end);
    line.remove_prefix(word.size());
    return word;
}

// A decimal number of 1 to `maxDigits` digits, at most `maxValue`, filling `text`.
std::optional<uint32_t> parseNumber(std::string_view text, size_t maxDigits, uint32_t maxValue) {
    if (text.empty() || text.size() > maxDigits)
        return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > maxValue)
        return std::nullopt;
    return value;
}

std::optional<uint32_t> parseDotted(std::string_view text) {
    uint32_t address = 0;
    for (int octet = 0; octet < 4; octet++) {
        size_t dot = octet < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return std::nullopt;
        std::optional<uint32_t> value = parseNumber(text.substr(0, dot), 3, 255);
        if (!value)
            return std::nullopt;
        address = address << 8 | *value;
        text.remove_prefix(octet < 3 ? dot + 1 : dot);
    }
    return address;
}

// "a.b.c.d" covers that address; "a.b.c.d/n" covers 2^(32-n) addresses
// counted from a.b.c.d itself, which is deliberately not rounded down to a
// network boundary. A prefix length outside 0 to 32 makes the entry invalid.
std::optional<AddressRange> parseEntry(std::string_view entry) {
    size_t slash = entry.find('/');
    std::optional<uint32_t> first = parseDotted(entry.substr(0, slash));
    if (!first)
        return std::nullopt;
    if (slash == std::string_view::npos)
        return AddressRange{*first, *first};
    std::optional<uint32_t> prefix = parseNumber(entry.substr(slash + 1), 2, 32);
    if (!prefix)
        return std::nullopt;
    uint64_t last = uint64_t{*first} + (uint64_t{1} << (32 - *prefix)) - 1;
    return AddressRange{*first, static_cast<uint32_t>(last > UINT32_MAX ? UINT32_MAX : last)};
}

std::string_view withoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

enum class Verdict { NotCovered, Allow, Deny };

Verdict judgeLine(std::string_view line, uint32_t address) {
    std::string_view keyword = nextWord(line);
    std::optional<AddressRange> range = parseEntry(nextWord(line));
    if (keyword.empty() || !range || address < range->first || address > range->last)
        return Verdict::NotCovered;
    bool deny = keyword.size() == 4 && strncasecmp(keyword.data(), "deny", 4) == 0;
    return deny ? Verdict::Deny : Verdict::Allow;
}

}  // namespace

int orvaAclAllows(FILE* list, uint32_t address) {
    char line[kLineSize];
    while (fgets(line, sizeof line, list)) {
        Verdict verdict = judgeLine(withoutLineEnd(line), address);
        if (verdict != Verdict::NotCovered)
            return verdict == Verdict::Allow ? 1 : 0;
    }
    return 1;
}

int orvaAclCheck(const char* path, uint32_t address) {
    if (!path || path[0] == '\0')
        return 1;
    std::unique_ptr<FILE, FileCloser> list(fopen(path, "re"));
    if (!list)
        return 1;
    return orvaAclAllows(list.get(), address);
}
