// orva_web.h: what the management server's handlers share: replies, the
// form decoder and the text limits.
//
// Every handler queues exactly one reply and returns 1, or returns 0 at once
// when the library refuses a header or the reply (the library then closes
// the connection).
#pragma once

#include <cstddef>

struct MHD_Connection;

enum {
    ORVA_WEB_TEXT_SIZE = 1000,     // argument and cookie texts, one form value
    ORVA_WEB_BODY_SIZE = 100000,   // a POST body and its terminator
    ORVA_WEB_WORK_SIZE = 100000,   // a reply composed per request
    ORVA_WEB_FILE_MAX = 999999,    // the largest file sent whole (logo, download)
};

// Status with an empty body (301 and its Location are orvaReplyRedirect's).
int orvaReplyEmpty(MHD_Connection* connection, unsigned status);
// 200 with a copy of `text` and "Content-Type" `contentType`; `noCache` adds
// "Pragma" and "Cache-Control" "no-cache".
int orvaReplyText(MHD_Connection* connection, const char* text, size_t length,
                  const char* contentType, bool noCache);
// 301 to "/", with "Set-Cookie" when `cookie` is not empty.
int orvaReplyRedirect(MHD_Connection* connection, const char* cookie);

// Form decoding: "+" is a blank, "%XX" a byte. With bDecodeAmp 0 the escape
// "%26" stays as it is, so a decoded body can still be split at its real "&".
// `dst` holds at least strlen(src) + 1 bytes; the result is never longer.
void _urlDecode(const char* src, char* dst, int bDecodeAmp);
