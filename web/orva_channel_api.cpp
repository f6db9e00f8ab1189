// orva_channel_api.cpp: the "/status" and "/channel" endpoints: each runs
// its part of orva_channel_ops.h and replies. The router holds the service
// lock while they run.
#include "orva_channel_api.h"

#include <strings.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "config/orva_channel.h"
#include "engine/orva.h"
#include "orva_channel_ops.h"
#include "orva_form.h"
#include "orva_revision.h"
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

std::string channelName(int index) { return "Channel " + std::to_string(index + 1); }

int refuse(MHD_Connection* connection, unsigned status, const std::string& reason) {
    return orvaReplyReason(connection, status, reason.c_str());
}

int refuseStale(MHD_Connection* connection, int index) {
    return refuse(connection, ORVA_HTTP_CONFLICT,
                  channelName(index) + " was changed meanwhile (edited, removed, renumbered or "
                                       "imported); nothing was done");
}

// The argument text without its "rev=R" fields: "start&rev=3" gives "start".
std::string withoutRevision(std::string_view arguments) {
    std::string rest;
    while (!arguments.empty()) {
        size_t end = arguments.find('&');
        std::string_view field = arguments.substr(0, end);
        arguments.remove_prefix(end == arguments.npos ? arguments.size() : end + 1);
        if (field.starts_with("rev="))
            continue;
        if (!rest.empty())
            rest += '&';
        rest += field;
    }
    return rest;
}

// The revision a request names ("rev=R"): `given` is null when it names none.
struct NamedRevision {
    uint32_t number = 0;
    const uint32_t* given = nullptr;
    bool malformed = false;

    explicit NamedRevision(std::string_view form) {
        OrvaRevisionSent sent = orvaReadRevision(form, number);
        malformed = sent == OrvaRevisionSent::Malformed;
        if (sent == OrvaRevisionSent::Number)
            given = &number;
    }
    NamedRevision(const NamedRevision&) = delete;
    NamedRevision& operator=(const NamedRevision&) = delete;
};

int refuseMalformed(MHD_Connection* connection) {
    return refuse(connection, ORVA_HTTP_BAD_REQUEST, "rev must be a whole number");
}

int answerAction(int index, const char* arguments, MHD_Connection* connection,
                 std::unique_lock<std::mutex>& serviceLock) {
    NamedRevision revision(arguments);
    if (revision.malformed)
        return refuseMalformed(connection);
    std::string action = withoutRevision(arguments);
    bool start = strcasecmp(action.c_str(), "start") == 0;
    if (start && !isChannelValid(index) && !orvaIsStale(index, revision.given))
        return refuse(connection, ORVA_HTTP_BAD_REQUEST,
                      channelName(index) + " is not configured: there is nothing to start");
    int rc = orvaRunChannelAction(index, action.c_str(), serviceLock, revision.given);
    if (rc == ORVA_WEB_STALE)
        return refuseStale(connection, index);
    if (rc != 0)
        return refuse(connection, kInternalError,
                      "The configuration file could not be saved: " + channelName(index) +
                          " stays as it was");
    return orvaReplyEmpty(connection, kOk);
}

int answerEdit(int index, const char* body, MHD_Connection* connection,
               std::unique_lock<std::mutex>& serviceLock) {
    NamedRevision revision(body);
    if (revision.malformed)
        return refuseMalformed(connection);
    std::string reason;
    int rc = orvaEditChannel(index, body, serviceLock, &reason, revision.given);
    if (rc == ORVA_WEB_STALE)
        return refuseStale(connection, index);
    if (rc == ORVA_WEB_TOO_LARGE)
        return refuse(connection, ORVA_HTTP_TOO_LARGE, reason);
    if (rc == ORVA_WEB_BAD_VALUE)
        return refuse(connection, ORVA_HTTP_BAD_REQUEST, reason);
    if (rc == ORVA_WEB_NOT_SAVED)
        return refuse(connection, kInternalError,
                      "The configuration file could not be saved: nothing was changed");
    return orvaReplyEmpty(connection, kOk);
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
    if (arguments && arguments[0])
        return answerAction(index, arguments, connection, serviceLock);
    if (!body || !body[0])
        return orvaCGIGetChannel(index, connection);
    return answerEdit(index, body, connection, serviceLock);
}
