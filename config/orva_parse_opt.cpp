// orva_parse_opt.cpp: name=value lookup in request bodies and query texts.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "engine/orva_text.h"
#include "orva_config.h"

namespace {

// "%<n>s" or "%<n>ls" with n = outSize - 1, so the word and its NUL fit.
std::string_view boundedWordConversion(char (&buffer)[32], size_t outSize, const char* length) {
    TextCursor t(buffer, sizeof buffer);
    appendf(t, "%%%zu%ss", outSize - 1, length);
    return t.view();
}

// Like "%d", but a number outside the int range is not read.
int storeInt(int scanned, long number, int* value) {
    if (scanned != 1)
        return scanned;
    if (number < INT_MIN || number > INT_MAX)
        return 0;
    *value = static_cast<int>(number);
    return 1;
}

}  // namespace

int parseOpt(const char* text, const char* name, char* out, size_t outSize, const char* format) {
    if (!text || !name || !out)
        return 0;
    const char* found = strstr(text, name);
    if (!found)
        return 0;
    const char* value = found + strlen(name);
    if (format)
        return sscanf(value, format, out);
    // One byte holds no more than the NUL: no word fits.
    if (outSize < 2)
        return 0;
    char conversion[32];
    boundedWordConversion(conversion, outSize, "");
    return sscanf(value, conversion, out);
}

int parseOpt(const char* text, const char* name, int* value) {
    if (!text || !name || !value)
        return 0;
    const char* found = strstr(text, name);
    if (!found)
        return 0;
    long number = 0;
    int scanned = sscanf(found + strlen(name), "%ld", &number);
    return storeInt(scanned, number, value);
}

int parseOpt(const wchar_t* text, const wchar_t* name, wchar_t* out, size_t outSize,
             const wchar_t* format) {
    if (!text || !name || !out)
        return 0;
    const wchar_t* found = wcsstr(text, name);
    if (!found)
        return 0;
    const wchar_t* value = found + wcslen(name);
    if (format)
        return swscanf(value, format, out);
    if (outSize < 2)
        return 0;
    char narrow[32];
    std::string_view conversion = boundedWordConversion(narrow, outSize, "l");
    wchar_t wide[32] = {};
    std::copy(conversion.begin(), conversion.end(), wide);  // plain ASCII
    return swscanf(value, wide, out);
}

int parseOpt(const wchar_t* text, const wchar_t* name, int* value) {
    if (!text || !name || !value)
        return 0;
    const wchar_t* found = wcsstr(text, name);
    if (!found)
        return 0;
    long number = 0;
    int scanned = swscanf(found + wcslen(name), L"%ld", &number);
    return storeInt(scanned, number, value);
}
