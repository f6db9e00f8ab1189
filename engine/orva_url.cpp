// orva_url.cpp: classifies stream addresses as RTMP, RTP, UDP or streamed.
#include <strings.h>
#include <wchar.h>
#include <wctype.h>

#include <cctype>
#include <cstring>
#include <string_view>

#include "orva.h"

namespace {

constexpr const char* kRtmpPrefixes[] = {"rtmp://", "rtmpe://", "rtmps://",
                                         "rtmpt://", "rtmpte://", "rtmpts://"};

bool startsWithNoCase(const void* text, int wide, std::string_view prefix) {
    if (!wide)
        return strncasecmp(static_cast<const char*>(text), prefix.data(), prefix.size()) == 0;
    const wchar_t* w = static_cast<const wchar_t*>(text);
    for (size_t i = 0; i < prefix.size(); i++) {
        if (w[i] == L'\0' || towlower(w[i]) != static_cast<wint_t>(tolower(prefix[i])))
            return false;
    }
    return true;
}

bool containsScheme(const void* text, int wide) {
    if (!wide)
        return strstr(static_cast<const char*>(text), "://") != nullptr;
    return wcsstr(static_cast<const wchar_t*>(text), L"://") != nullptr;
}

bool endsWithSdp(const void* text, int wide) {
    if (!wide) {
        const char* s = static_cast<const char*>(text);
        size_t n = strlen(s);
        return n >= 4 && strcasecmp(s + n - 4, ".sdp") == 0;
    }
    const wchar_t* w = static_cast<const wchar_t*>(text);
    size_t n = wcslen(w);
    return n >= 4 && startsWithNoCase(w + n - 4, 1, ".sdp");
}

}  // namespace

extern "C" {

int _isRtmpUrl(const void* url, int wide) {
    if (!url)
        return 0;
    for (const char* prefix : kRtmpPrefixes) {
        if (startsWithNoCase(url, wide, prefix))
            return 1;
    }
    return 0;
}

int _isRTPUrl(const void* url, int wide) {
    return url && startsWithNoCase(url, wide, "rtp://") ? 1 : 0;
}

int _isUDPUrl(const void* url, int wide) {
    if (!url)
        return 0;
    return _isRTPUrl(url, wide) || startsWithNoCase(url, wide, "udp://") ? 1 : 0;
}

int _isStreamUrl(const void* url, int wide) {
    if (!url)
        return 0;
    if (_isRtmpUrl(url, wide) || _isUDPUrl(url, wide))
        return 1;
    return containsScheme(url, wide) || endsWithSdp(url, wide) ? 1 : 0;
}

int isRtmpUrl(const char* url) { return _isRtmpUrl(url, 0); }
int isStreamUrl(const char* url) { return _isStreamUrl(url, 0); }

}  // extern "C"
