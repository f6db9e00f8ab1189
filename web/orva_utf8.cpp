// orva_utf8.cpp: recognises well-formed UTF-8 sequences.
#include "orva_utf8.h"

namespace {

struct LeadRule {
    size_t length;
    unsigned char secondLow;   // the second byte's range narrows for some leads,
    unsigned char secondHigh;  // which shuts out overlong forms and surrogates
};

// The rule of a lead byte; length 0 for a byte that leads no sequence.
LeadRule ruleOf(unsigned char lead) {
    if (lead < 0x80)
        return {1, 0, 0};
    if (lead >= 0xC2 && lead <= 0xDF)
        return {2, 0x80, 0xBF};
    if (lead == 0xE0)
        return {3, 0xA0, 0xBF};
    if (lead == 0xED)
        return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF)
        return {3, 0x80, 0xBF};
    if (lead == 0xF0)
        return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3)
        return {4, 0x80, 0xBF};
    if (lead == 0xF4)
        return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

bool inRange(char c, unsigned char low, unsigned char high) {
    auto byte = static_cast<unsigned char>(c);
    return byte >= low && byte <= high;
}

}  // namespace

size_t orvaUtf8SequenceLength(std::string_view text) {
    if (text.empty())
        return 0;
    LeadRule rule = ruleOf(static_cast<unsigned char>(text[0]));
    if (rule.length <= 1)
        return rule.length;
    if (text.size() < rule.length || !inRange(text[1], rule.secondLow, rule.secondHigh))
        return 0;
    for (size_t i = 2; i < rule.length; i++) {
        if (!inRange(text[i], 0x80, 0xBF))
            return 0;
    }
    return rule.length;
}

bool orvaIsValidUtf8(std::string_view text) {
    while (!text.empty()) {
        size_t n = orvaUtf8SequenceLength(text);
        if (n == 0)
            return false;
        text.remove_prefix(n);
    }
    return true;
}
