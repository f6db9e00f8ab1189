// orva_channel_api.cpp: the "/status" and "/channel" endpoints: each runs
// its part of orva_channel_ops.h and replies. The router holds the service
// lock while they run.
#include "orva_channel_api.h"

#include <memory>

#include "engine/orva.h"
#include "orva_channel_ops.h"
#include "orva_web.h"

namespace {

constexpr unsigned kOk = 200;
constexpr unsigned kInternalError = 500;

// The work buffer of one reply; too large for a connection thread's stack.
struct Reply {
    std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(ORVA_WEB_WORK_SIZE);
    TextCursor text{buffer.get(), ORVA_WEB_WORK_SIZE};
};

int replyXml(MHD_Connection* connection, const TextCursor& text) {
    return orvaReplyText(connection, text.begin, text.length(), "text/xml", true);
}

}  // namespace

// A page polls the status every second and most polls find it as it was:
// each server thread composes it into a buffer of its own and sends the
// response of the last poll again while the text has not changed.
int orvaCGIStatus(MHD_Connection* connection, std::unique_lock<std::mutex>& serviceLock) {
    thread_local const std::unique_ptr<char[]> buffer =
        std::make_unique_for_overwrite<char[]>(ORVA_WEB_WORK_SIZE);
    thread_local OrvaRepeatedReply lastReply("text/xml");
    TextCursor text(buffer.get(), ORVA_WEB_WORK_SIZE);
    bool composed = orvaComposeStatus(text);
    serviceLock.unlock();
    if (!composed)
        return orvaReplyEmpty(connection, kInternalError);
    return lastReply.send(connection, text.view());
}

int orvaCGIGetChannel(int index, MHD_Connection* connection) {
    Reply reply;
    int rc = orvaComposeChannel(index, reply.text);
    if (rc == ORVA_WEB_NOT_CONFIGURED)
        return orvaReplyEmpty(connection, ORVA_HTTP_NOT_FOUND);
    if (rc != 0)
        return orvaReplyEmpty(connection, kInternalError);
    return replyXml(connection, reply.text);
}

int orvaCGIChannel(int channel, const char* arguments, const char* body,
                   MHD_Connection* connection, std::unique_lock<std::mutex>& serviceLock) {
    if (channel < 1 || channel > ORVA_CHANNEL_COUNT)
        return orvaReplyEmpty(connection, ORVA_HTTP_NOT_FOUND);
    int index = channel - 1;
    // A body sent along with an action is ignored.
    if (arguments && arguments[0]) {
        int rc = orvaRunChannelAction(index, arguments, serviceLock);
        return orvaReplyEmpty(connection, rc == 0 ? kOk : kInternalError);
    }
    if (!body || !body[0])
        return orvaCGIGetChannel(index, connection);
    int rc = orvaEditChannel(index, body, serviceLock);
    if (rc == ORVA_WEB_TOO_LARGE)
        return orvaReplyEmpty(connection, ORVA_HTTP_TOO_LARGE);
    if (rc == ORVA_WEB_BAD_VALUE)
        return orvaReplyEmpty(connection, ORVA_HTTP_BAD_REQUEST);
    if (rc == ORVA_WEB_NOT_SAVED)
        return orvaReplyEmpty(connection, kInternalError);
    return orvaReplyEmpty(connection, kOk);
}
