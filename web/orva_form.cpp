// orva_form.cpp: splits forms into fields and decodes their values once.
#include "orva_form.h"

#include <algorithm>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The byte of a "%XX" escape at the start of `text`, or -1 when there is none.
int escapedByte(std::string_view text) {
    if (text.size() < 3 || text[0] != '%')
        return -1;
    int high = hexValue(text[1]);
    int low = hexValue(text[2]);
    if (high < 0 || low < 0)
        return -1;
    return high * 16 + low;
}

}  // namespace

bool OrvaFormReader::next(OrvaFormField& field) {
    while (!rest_.empty()) {
        size_t end = rest_.find('&');
        std::string_view piece = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        if (piece.empty())
            continue;
        size_t equals = piece.find('=');
        field.name = piece.substr(0, equals);
        field.hasValue = equals != std::string_view::npos;
        field.value = field.hasValue ? piece.substr(equals + 1) : std::string_view{};
        return true;
    }
    return false;
}

void orvaFormDecode(TextCursor& out, std::string_view encoded) {
    while (!encoded.empty() && !out.truncated) {
        int byte = escapedByte(encoded);
        if (byte >= 0) {
            char c = static_cast<char>(byte);
            append(out, {&c, 1});
            encoded.remove_prefix(3);
            continue;
        }
        if (encoded[0] == '+') {
            append(out, " ");
            encoded.remove_prefix(1);
            continue;
        }
        // Plain text up to the next "%" or "+" goes in as one piece; a "%"
        // that begins no escape is plain text itself.
        size_t plain = std::min(encoded.find_first_of("%+", 1), encoded.size());
        append(out, encoded.substr(0, plain));
        encoded.remove_prefix(plain);
    }
}

bool orvaFormField(std::string_view form, std::string_view name, OrvaFormField& found) {
    OrvaFormReader reader(form);
    for (OrvaFormField field; reader.next(field);) {
        if (field.name == name) {
            found = field;
            return true;
        }
    }
    return false;
}

int orvaFormValue(std::string_view form, std::string_view name, TextCursor& out) {
    OrvaFormField field;
    if (!orvaFormField(form, name, field))
        return ORVA_FORM_MISSING;
    orvaFormDecode(out, field.value);
    return out.truncated ? ORVA_FORM_TOO_LONG : ORVA_FORM_FOUND;
}

size_t orvaFormDecodedLength(std::string_view form) {
    size_t length = 0;
    while (!form.empty()) {
        form.remove_prefix(escapedByte(form) >= 0 ? 3 : 1);
        length++;
    }
    return length;
}
