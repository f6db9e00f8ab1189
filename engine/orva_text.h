// orva_text.h: one bounded cursor for composing every fixed-size text.
//
// The cursor never writes past its buffer and always leaves it terminated.
// A cut is never silent: `truncated` stays set once anything did not fit, and
// callers that compose a command line, a path or an address refuse the whole
// text when it is set, because a cut one would mean something else.
#pragma once

#include <cstddef>
#include <string_view>

struct TextCursor {
    char* begin;
    char* pos;  // always at the terminating NUL
    char* end;  // one past the last byte of the buffer
    bool truncated;

    TextCursor(char* buffer, size_t size);
    std::string_view view() const { return {begin, static_cast<size_t>(pos - begin)}; }
    size_t length() const { return static_cast<size_t>(pos - begin); }
    bool holds(std::string_view needle) const { return view().find(needle) != std::string_view::npos; }
};

void append(TextCursor& t, std::string_view s);
void appendf(TextCursor& t, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Numbers as printf writes them in the C locale ("%.<decimals>f" and "%g"),
// whatever locale the process runs in: a transcoder reads "12.5", never "12,5".
void appendFixed(TextCursor& t, double value, int decimals);
void appendGeneral(TextCursor& t, double value);

// The text of a fixed record field, which may fill its buffer without a terminator.
template <size_t N>
std::string_view fieldText(const char (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n] != '\0')
        n++;
    return {field, n};
}

// Copies a text into a fixed buffer; returns false (and leaves the cut copy)
// when it did not fit.
bool copyText(char* dst, size_t size, std::string_view src);
template <size_t N>
bool copyText(char (&dst)[N], std::string_view src) { return copyText(dst, N, src); }

// Where the first line of a transcoder's output ends: its carriage return
// (progress) or line feed (messages); npos when the line goes on. A plain
// scan: find_first_of searches the set of two for every byte.
inline size_t lineEnd(std::string_view text) {
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' || text[i] == '\n')
            return i;
    }
    return std::string_view::npos;
}
