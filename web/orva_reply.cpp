// orva_reply.cpp: the few reply shapes every handler uses.
#include "orva_web.h"

#include <microhttpd.h>

#include <memory>
#include <string>
#include <string_view>

namespace {

struct ResponseDeleter {
    void operator()(MHD_Response* r) const { MHD_destroy_response(r); }
};
using Response = std::unique_ptr<MHD_Response, ResponseDeleter>;

int queue(MHD_Connection* connection, unsigned status, const Response& response) {
    if (!response)
        return 0;
    return MHD_queue_response(connection, status, response.get()) == MHD_YES ? 1 : 0;
}

bool addHeader(const Response& response, const char* name, const char* value) {
    return MHD_add_response_header(response.get(), name, value) == MHD_YES;
}

constexpr const char* kFarExpiry = "Mon, 31 Dec 2029 12:12:12";

int queueData(MHD_Connection* connection, const Response& response, const char* contentType,
              bool expires) {
    if (!response || !addHeader(response, "Content-Type", contentType))
        return 0;
    if (expires && !addHeader(response, "Expires", kFarExpiry))
        return 0;
    return queue(connection, MHD_HTTP_OK, response);
}

Response emptyResponse() {
    return Response(MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT));
}

// A copy of `text` with its headers; null when the library refuses one.
Response textResponse(const char* text, size_t length, const char* contentType, bool noCache) {
    Response response(MHD_create_response_from_buffer(length, const_cast<char*>(text),
                                                      MHD_RESPMEM_MUST_COPY));
    if (!response)
        return nullptr;
    if (noCache && (!addHeader(response, "Pragma", "no-cache") ||
                    !addHeader(response, "Cache-Control", "no-cache")))
        return nullptr;
    if (!addHeader(response, "Content-Type", contentType))
        return nullptr;
    return response;
}

}  // namespace

int orvaReplyEmpty(MHD_Connection* connection, unsigned status) {
    return queue(connection, status, emptyResponse());
}

int orvaReplyText(MHD_Connection* connection, const char* text, size_t length,
                  const char* contentType, bool noCache) {
    return queue(connection, MHD_HTTP_OK, textResponse(text, length, contentType, noCache));
}

int orvaReplyReason(MHD_Connection* connection, unsigned status, const char* reason) {
    std::string_view text(reason ? reason : "");
    return queue(connection, status,
                 textResponse(text.data(), text.size(), "text/plain; charset=utf-8", true));
}

int orvaReplyRetryLater(MHD_Connection* connection, unsigned seconds, const char* reason) {
    std::string_view text(reason);
    Response response = textResponse(text.data(), text.size(), "text/plain; charset=utf-8", true);
    if (!response || !addHeader(response, "Retry-After", std::to_string(seconds).c_str()))
        return 0;
    return queue(connection, ORVA_HTTP_TOO_MANY, response);
}

OrvaRepeatedReply::~OrvaRepeatedReply() {
    // Connections still sending it hold references of their own.
    if (response_)
        MHD_destroy_response(response_);
}

int OrvaRepeatedReply::send(MHD_Connection* connection, std::string_view text) {
    if (!response_ || text != text_) {
        Response fresh = textResponse(text.data(), text.size(), contentType_, true);
        if (!fresh)
            return 0;
        if (response_)
            MHD_destroy_response(response_);
        response_ = fresh.release();
        text_.assign(text);
    }
    return MHD_queue_response(connection, MHD_HTTP_OK, response_) == MHD_YES ? 1 : 0;
}

int orvaReplyCookie(MHD_Connection* connection, const char* cookie) {
    Response response = emptyResponse();
    if (!response || !addHeader(response, "Set-cookie", cookie))
        return 0;
    return queue(connection, MHD_HTTP_OK, response);
}

int orvaReplyRedirect(MHD_Connection* connection, const char* cookie) {
    Response response = emptyResponse();
    if (!response || !addHeader(response, "Location", "/"))
        return 0;
    if (cookie && cookie[0] && !addHeader(response, "Set-Cookie", cookie))
        return 0;
    return queue(connection, MHD_HTTP_MOVED_PERMANENTLY, response);
}

int orvaReplyImage(MHD_Connection* connection, const unsigned char* data, size_t size) {
    Response response(MHD_create_response_from_buffer(
        size, const_cast<unsigned char*>(data), MHD_RESPMEM_PERSISTENT));
    return queueData(connection, response, "image/png", true);
}

int orvaReplyBlock(MHD_Connection* connection, OrvaHeapBlock block, size_t size,
                   const char* contentType, bool expires) {
    Response response(MHD_create_response_from_buffer(size, block.get(), MHD_RESPMEM_MUST_FREE));
    if (response)
        block.release();  // the reply frees it now, sent or not
    return queueData(connection, response, contentType, expires);
}
