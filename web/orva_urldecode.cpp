// orva_urldecode.cpp: the percent decoder of the login cookie (forms are read with orva_form.h).
#include "orva_web.h"

#include <cctype>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

void _urlDecode(const char* src, char* dst, int bDecodeAmp) {
    while (*src) {
        if (src[0] == '%' && isHex(src[1]) && isHex(src[2])) {
            if (!bDecodeAmp && src[1] == '2' && src[2] == '6') {
                *dst++ = *src++;  // the "%" only; "26" follows as plain text
                continue;
            }
            *dst++ = static_cast<char>(hexValue(src[1]) * 16 + hexValue(src[2]));
            src += 3;
            continue;
        }
        *dst++ = *src == '+' ? ' ' : *src;
        src++;
    }
    *dst = '\0';
}
