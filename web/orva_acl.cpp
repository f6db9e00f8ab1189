// orva_acl.cpp: reads the access list afresh for each request, so an edit
// takes effect with the next one.
//
// Malformed lines are skipped and an unknown keyword allows, as documented;
// so that a typo does not go unseen, each such line is written to the service
// log once whenever the file has changed (another inode, size or time).
#include "orva_acl.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "engine/orva_service_log.h"
#include "engine/orva_text.h"

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

bool isKeyword(std::string_view word, std::string_view keyword) {
    return word.size() == keyword.size() && strncasecmp(word.data(), keyword.data(), word.size()) == 0;
}

// The line as the log shows it: control characters (a tab) as \xHH.
void visibleLine(std::string_view line, char (&out)[4 * kLineSize]) {
    TextCursor t(out, sizeof out);
    for (unsigned char c : line) {
        if (c < 0x20 || c == 0x7f)
            appendf(t, "\\x%02x", c);
        else
            append(t, std::string_view(reinterpret_cast<const char*>(&c), 1));
    }
}

// A blank line is no typo; one word, an entry that does not parse or a
// keyword other than allow and deny is.
void reportLine(const char* path, int number, std::string_view line) {
    std::string_view rest = line;
    std::string_view keyword = nextWord(rest);
    if (keyword.empty())
        return;
    char shown[4 * kLineSize];
    visibleLine(line, shown);
    if (!parseEntry(nextWord(rest))) {
        orvaServiceLog("access list %s line %d skipped (no keyword and address): \"%s\"", path,
                       number, shown);
        return;
    }
    if (!isKeyword(keyword, "allow") && !isKeyword(keyword, "deny"))
        orvaServiceLog("access list %s line %d: \"%.*s\" is neither allow nor deny, so it allows: \"%s\"",
                       path, number, static_cast<int>(keyword.size()), keyword.data(), shown);
}

void reportTypos(const char* path, FILE* list) {
    char line[kLineSize];
    for (int number = 1; fgets(line, sizeof line, list); number++)
        reportLine(path, number, withoutLineEnd(line));
    rewind(list);
}

struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    bool operator==(const FileStamp& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

// Connection threads check the list at once; one of them reports a change.
std::mutex g_stampLock;
FileStamp g_reportedStamp;

void reportTyposOnce(const char* path, FILE* list) {
    struct stat st;
    if (fstat(fileno(list), &st) != 0)
        return;
    FileStamp stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    std::lock_guard<std::mutex> lock(g_stampLock);
    if (stamp == g_reportedStamp)
        return;
    g_reportedStamp = stamp;
    reportTypos(path, list);
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
    // Most services run without a list: opening the descriptor first spares
    // every request the stream's allocation and stdio's global list lock.
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return 1;
    std::unique_ptr<FILE, FileCloser> list(fdopen(descriptor, "r"));
    if (!list) {
        close(descriptor);
        return 1;
    }
    reportTyposOnce(path, list.get());
    return orvaAclAllows(list.get(), address);
}
