// The XML and JSON escapers on any bytes: the result is well-formed UTF-8
// without markup or control characters, and the in-place form stays inside
// its buffer.
#include <cstring>
#include <memory>
#include <string>

#include "engine/orva_text.h"
#include "fuzz_support.h"
#include "web/orva_json.h"
#include "web/orva_xml.h"

namespace {

// Well-formed UTF-8: no stray continuation byte, no overlong form, no
// surrogate, nothing above U+10FFFF.
bool wellFormedUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return false;
        unsigned long code = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length; k++) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        static const unsigned long kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLowest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

void checkXml(std::string_view text) {
    const size_t room = text.size() * 8 + 1;  // "&quot;" and "&#xD;" are the longest
    auto buffer = std::make_unique<char[]>(room);
    TextCursor out(buffer.get(), room);
    orvaXmlEscape(out, text);
    if (out.truncated)
        fuzzFail("the XML escape did not fit eight times its text");
    const std::string_view xml = out.view();
    if (xml.find_first_of("<>\"'") != std::string_view::npos)
        fuzzFail("markup passed the XML escape");
    for (unsigned char c : xml) {
        if (c < 0x20)
            fuzzFail("a control character passed the XML escape");
    }
    if (!wellFormedUtf8(xml) || xml.find("\xEF\xBF\xBE") != std::string_view::npos ||
        xml.find("\xEF\xBF\xBF") != std::string_view::npos)
        fuzzFail("the XML escape gave text that is not XML characters");

    // The in-place form: a 1006-byte buffer, of which it may fill 1005.
    char inPlace[1006 + 1];
    memset(inPlace, 0x5A, sizeof inPlace);
    const std::string_view head = text.substr(0, std::min<size_t>(text.size(), 1005));
    memcpy(inPlace, head.data(), head.size());
    inPlace[head.size()] = '\0';
    _xmlEscape(inPlace);
    if (inPlace[1006] != 0x5A || strlen(inPlace) > 1005)
        fuzzFail("the in-place XML escape wrote past its buffer");
}

void checkJson(std::string_view text) {
    std::string json;
    orvaJsonEscape(json, text);
    for (size_t i = 0; i < json.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(json[i]);
        if (c < 0x20)
            fuzzFail("a control character passed the JSON escape");
        if (c == '"')
            fuzzFail("a quotation mark passed the JSON escape");
        if (c == '\\') {
            if (++i == json.size() || std::string_view("\"\\/bfnrtu").find(json[i]) == std::string_view::npos)
                fuzzFail("the JSON escape wrote an unknown escape");
        }
    }
    if (!wellFormedUtf8(json))
        fuzzFail("the JSON escape gave text that is not UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkXml(text);
    checkJson(text);
    return 0;
}
