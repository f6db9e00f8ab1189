// orva_text.cpp: the bounded text cursor.
#include "orva_text.h"

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
    memcpy(t.pos, s.data(), n);
    t.pos += n;
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

bool copyText(char* dst, size_t size, std::string_view src) {
    TextCursor t(dst, size);
    append(t, src);
    return !t.truncated;
}
