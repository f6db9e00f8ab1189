// orva_text.cpp: the bounded text cursor.
#include "orva_text.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>

TextCursor::TextCursor(char* buffer, size_t size)
    : begin(buffer), pos(buffer), end(buffer + size), truncated(size == 0) {
    if (size > 0)
        buffer[0] = '\0';
}

void append(TextCursor& t, std::string_view s) {
    if (t.pos >= t.end)
        return;
    size_t room = static_cast<size_t>(t.end - t.pos) - 1;
    size_t n = s.size() < room ? s.size() : room;
    if (n > 0) {  // an empty view may carry no data pointer at all
        memcpy(t.pos, s.data(), n);
        t.pos += n;
    }
    *t.pos = '\0';
    if (n < s.size())
        t.truncated = true;
}

void appendf(TextCursor& t, const char* fmt, ...) {
    if (t.pos >= t.end)
        return;
    size_t room = static_cast<size_t>(t.end - t.pos);
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(t.pos, room, fmt, ap);
    va_end(ap);
    if (n < 0) {
        *t.pos = '\0';
        t.truncated = true;
        return;
    }
    if (static_cast<size_t>(n) >= room) {
        t.pos += room - 1;
        t.truncated = true;
        return;
    }
    t.pos += n;
}

namespace {

// Room for any double in either notation: sign, 309 digits, point, decimals.
constexpr size_t kNumberRoom = 400;

void appendNumber(TextCursor& t, double value, std::chars_format format, int precision) {
    char text[kNumberRoom];
    std::to_chars_result r = std::to_chars(text, text + sizeof text, value, format, precision);
    if (r.ec != std::errc()) {
        t.truncated = true;  // a number that cannot be written must not go out cut
        return;
    }
    append(t, std::string_view(text, static_cast<size_t>(r.ptr - text)));
}

}  // namespace

void appendFixed(TextCursor& t, double value, int decimals) {
    appendNumber(t, value, std::chars_format::fixed, decimals);
}

void appendGeneral(TextCursor& t, double value) {
    appendNumber(t, value, std::chars_format::general, 6);  // printf's default precision
}

bool copyText(char* dst, size_t size, std::string_view src) {
    TextCursor t(dst, size);
    append(t, src);
    return !t.truncated;
}
