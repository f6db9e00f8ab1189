// orva_json.cpp: escapes texts and composes the device lists as JSON.
#include "orva_json.h"

#include <algorithm>
#include <charconv>

#include "devices/orva_devices.h"
#include "engine/orva_text.h"
#include "orva_utf8.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The two characters a JSON string must escape besides the control characters.
std::string_view shortEscape(char c) {
    switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    default: return {};
    }
}

bool isControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

void appendControl(std::string& out, unsigned char byte) {
    constexpr char kHex[] = "0123456789ABCDEF";
    out += "\\u00";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

// Writes what stands for the character that begins `rest`; returns the
// number of bytes it took (at least 1).
size_t escapeOne(std::string& out, std::string_view rest) {
    std::string_view escape = shortEscape(rest[0]);
    if (!escape.empty()) {
        out += escape;
        return 1;
    }
    auto byte = static_cast<unsigned char>(rest[0]);
    if (isControl(byte)) {
        appendControl(out, byte);
        return 1;
    }
    size_t length = orvaUtf8SequenceLength(rest);
    if (length == 0) {
        out += kReplacement;  // one for each stray byte
        return 1;
    }
    out += rest.substr(0, length);
    return length;
}

void appendString(std::string& out, std::string_view text) {
    out += '"';
    orvaJsonEscape(out, text);
    out += '"';
}

// A record field that may fill its buffer without a terminator.
template <size_t N>
void appendField(std::string& out, const char (&field)[N]) {
    appendString(out, fieldText(field));
}

void appendMode(std::string& out, const ORVA_DECKLINK_MODE& mode) {
    out += "  { \"fmtcode\": ";
    orvaJsonNumber(out, mode.fmtcode);
    out += ", \"width\": ";
    orvaJsonNumber(out, mode.width);
    out += ", \"height\": ";
    orvaJsonNumber(out, mode.height);
    out += ", \"numFrame\": ";
    orvaJsonNumber(out, mode.numFrame);
    out += ", \"denFrame\": ";
    orvaJsonNumber(out, mode.denFrame);
    out += ", \"interlaced\": ";
    orvaJsonNumber(out, mode.interlaced != 0 ? 1 : 0);
    out += " }";
}

void appendCard(std::string& out, const ORVA_DECKLINK_CARD& card) {
    out += "  { \"name\": ";
    appendField(out, card.name);
    out += ",\n  \"formats\": [\n";
    int modes = std::clamp<int32_t>(card.numModes, 0, kOrvaMaxDeckLinkModes);
    for (int i = 0; i < modes; i++) {
        appendMode(out, card.modes[i]);
        out += i + 1 < modes ? ",\n" : "\n";
    }
    out += "  ]\n  }";
}

// Closes a device list and its document, with the reason when there is one.
void closeList(std::string& out, std::string_view error) {
    out += " ]";
    if (!error.empty()) {
        out += ",\n  \"error\": ";
        appendString(out, error);
    }
    out += "\n}\n";
}

}  // namespace

void orvaJsonEscape(std::string& out, std::string_view text) {
    while (!text.empty())
        text.remove_prefix(escapeOne(out, text));
}

void orvaJsonNumber(std::string& out, int64_t value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

std::string orvaComposeDecklinks(const ORVA_DECKLINKS& cards, std::string_view error) {
    std::string out = "{ \"devices\": [\n";
    uint32_t count = std::min<uint32_t>(cards.count, kOrvaMaxDeckLinkCards);
    for (uint32_t i = 0; i < count; i++) {
        appendCard(out, cards.cards[i]);
        out += i + 1 < count ? ",\n" : "\n";
    }
    closeList(out, error);
    return out;
}

std::string orvaComposeNdiSources(const ORVA_NDI& sources, std::string_view error) {
    std::string out = "{ \"sources\": [\n";
    uint32_t count = std::min<uint32_t>(sources.count, kOrvaMaxNdiSources);
    for (uint32_t i = 0; i < count; i++) {
        out += "  { \"name\": ";
        appendField(out, sources.names[i]);
        out += ", \"addr\": ";
        appendField(out, sources.addresses[i]);
        // The line end after each source and the one after its comma.
        out += " }\n";
        out += i + 1 < count ? ",\n" : "\n";
    }
    closeList(out, error);
    return out;
}
