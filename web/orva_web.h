// orva_web.h: what the management server's handlers share: replies, the
// percent decoder and the text limits.
//
// Every handler queues exactly one reply and returns 1, or returns 0 at once
// when the library refuses a header or the reply (the library then closes
// the connection).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct MHD_Connection;

enum {
    ORVA_WEB_TEXT_SIZE = 1000,     // argument and cookie texts, one form value
    ORVA_WEB_BODY_SIZE = 100000,   // a POST body and its terminator
    ORVA_WEB_WORK_SIZE = 100000,   // a reply composed per request
    ORVA_WEB_FILE_MAX = 999999,    // the largest file sent whole (logo, download)
};

// Status codes of the empty replies.
enum {
    ORVA_HTTP_BAD_REQUEST = 400,   // a form value that cannot be stored as written: refused
    ORVA_HTTP_FORBIDDEN = 403,     // the access list denies the client, or a cross-site change
    ORVA_HTTP_NOT_FOUND = 404,
    ORVA_HTTP_CONFLICT = 409,      // the channel changed since the client read it: refused
    ORVA_HTTP_TOO_MANY = 429,      // a client that guessed passwords waits
    ORVA_HTTP_TOO_LARGE = 413,     // a text or body beyond its limit: refused, never cut
};

// Status with an empty body (301 and its Location are orvaReplyRedirect's).
int orvaReplyEmpty(MHD_Connection* connection, unsigned status);
// A refusal: `status` with `reason`, one short line of UTF-8, as "text/plain".
int orvaReplyReason(MHD_Connection* connection, unsigned status, const char* reason);
// 200 with a copy of `text` and "Content-Type" `contentType`; `noCache` adds
// "Pragma" and "Cache-Control" "no-cache".
int orvaReplyText(MHD_Connection* connection, const char* text, size_t length,
                  const char* contentType, bool noCache);
// A reply one thread sends again and again (the status a page polls): while
// its text stays the same, each request queues the response made for it
// instead of copying the text and its headers anew. Answers as orvaReplyText
// with `noCache`.
class OrvaRepeatedReply {
public:
    // `contentType` lives as long as the program (a literal).
    explicit OrvaRepeatedReply(const char* contentType) : contentType_(contentType) {}
    ~OrvaRepeatedReply();
    OrvaRepeatedReply(const OrvaRepeatedReply&) = delete;
    OrvaRepeatedReply& operator=(const OrvaRepeatedReply&) = delete;
    int send(MHD_Connection* connection, std::string_view text);

private:
    const char* contentType_;
    std::string text_;
    struct MHD_Response* response_ = nullptr;
};
// 429 with "Retry-After" `seconds` and `reason` as "text/plain".
int orvaReplyRetryLater(MHD_Connection* connection, unsigned seconds, const char* reason);
// 200 with an empty body and the header "Set-cookie" (spelled so) `cookie`.
int orvaReplyCookie(MHD_Connection* connection, const char* cookie);
// 301 to "/", with "Set-Cookie" when `cookie` is not empty.
int orvaReplyRedirect(MHD_Connection* connection, const char* cookie);

// A block from malloc, handed to the library with its reply and freed by it
// once sent.
struct OrvaFreeBlock {
    void operator()(char* block) const { free(block); }
};
using OrvaHeapBlock = std::unique_ptr<char, OrvaFreeBlock>;

// 200 with constant PNG bytes that live as long as the program (not copied),
// "Content-Type" "image/png" and the far "Expires" that lets browsers keep them.
int orvaReplyImage(MHD_Connection* connection, const unsigned char* data, size_t size);
// 200 with a heap block of `size` bytes, "Content-Type" `contentType`, and the
// far "Expires" when `expires` is set.
int orvaReplyBlock(MHD_Connection* connection, OrvaHeapBlock block, size_t size,
                   const char* contentType, bool expires);

// Work that takes seconds and composes a JSON reply.
using OrvaLaterJson = std::function<std::string()>;
// Runs `work` on a thread of its own while the connection waits, so the
// server's threads go on serving the other connections, and answers 200 with
// its text as "application/json", "no-cache". Returns 1 once it is under way,
// 0 when the server stops (the connection is then closed). Only from a handler.
int orvaReplyJsonLater(MHD_Connection* connection, OrvaLaterJson work);

// Form decoding: "+" is a blank, "%XX" a byte. With bDecodeAmp 0 the escape
// "%26" stays as it is. Forms are read field by field with orva_form.h.
// `dst` holds at least strlen(src) + 1 bytes; the result is never longer.
void _urlDecode(const char* src, char* dst, int bDecodeAmp);
