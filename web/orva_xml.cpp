// orva_xml.cpp: escapes texts for the XML documents.
#include "orva_xml.h"

#include <cstring>

#include "orva_channel_ops.h"
#include "orva_utf8.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr size_t kEscapeMark = 1000;

// What stands for one byte; empty when the byte stands for itself.
std::string_view referenceOf(unsigned char byte) {
    switch (byte) {
    case '"': return "&quot;";
    case '&': return "&amp;";
    case '\'': return "&apos;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '\t': return "&#9;";
    case '\n': return "&#10;";
    case '\r': return "&#13;";
    default: break;
    }
    if (byte < 0x20 || byte == 0x7F)
        return kReplacement;  // no XML document may hold it
    return {};
}

// U+FFFE and U+FFFF are well-formed UTF-8 but no XML character.
bool isNonCharacter(std::string_view sequence) {
    return sequence == "\xEF\xBF\xBE" || sequence == "\xEF\xBF\xBF";
}

// Writes what stands for the character that begins `rest`; returns the
// number of bytes it took (at least 1). Writes at most 6 characters.
size_t escapeOne(TextCursor& out, std::string_view rest) {
    std::string_view reference = referenceOf(static_cast<unsigned char>(rest[0]));
    if (!reference.empty()) {
        append(out, reference);
        return 1;
    }
    size_t length = orvaUtf8SequenceLength(rest);
    if (length == 0) {
        append(out, kReplacement);  // one for each stray byte
        return 1;
    }
    std::string_view sequence = rest.substr(0, length);
    append(out, isNonCharacter(sequence) ? kReplacement : sequence);
    return length;
}

}  // namespace

void orvaXmlEscape(TextCursor& out, std::string_view text) {
    while (!text.empty() && !out.truncated)
        text.remove_prefix(escapeOne(out, text));
}

void _xmlEscape(char* text) {
    char work[ORVA_XML_ESCAPED_SIZE];
    TextCursor out(work, sizeof work);
    std::string_view rest(text);
    while (!rest.empty() && out.length() < kEscapeMark)
        rest.remove_prefix(escapeOne(out, rest));
    memcpy(text, work, out.length() + 1);
}
