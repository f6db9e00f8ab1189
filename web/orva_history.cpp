// orva_history.cpp: writes a channel's run records as JSON for the page.
#include "orva_history.h"

#include <mutex>

#include "config/orva_channel.h"
#include "engine/orva_service_log.h"
#include "orva_json.h"
#include "orva_web.h"
#include "service/orva_service.h"

namespace {

void appendField(std::string& out, std::string_view name) {
    out.append(",\"").append(name).append("\":");
}

void appendText(std::string& out, std::string_view name, std::string_view text) {
    appendField(out, name);
    out += '"';
    orvaJsonEscape(out, text);
    out += '"';
}

void appendRun(std::string& out, const OrvaRun& run) {
    out.append("{\"start\":");
    orvaJsonNumber(out, run.start);
    appendField(out, "end");
    orvaJsonNumber(out, run.end);
    appendText(out, "ended", orvaRunEndName(run.how));
    if (run.how == OrvaRunEnd::Refused) {
        appendField(out, "code");
        orvaJsonNumber(out, run.code);
        appendText(out, "reason", orvaStartResultText(run.code));
    } else {
        appendField(out, "status");
        orvaJsonNumber(out, run.code);
    }
    appendText(out, "error", run.lastError);
    out += '}';
}

}  // namespace

std::string orvaComposeHistory(int channelNumber, const std::vector<OrvaRun>& runs) {
    std::string out = "{\"channel\":";
    orvaJsonNumber(out, channelNumber);
    out.append(",\"runs\":[");
    for (size_t i = 0; i < runs.size(); i++) {
        if (i > 0)
            out += ',';
        appendRun(out, runs[i]);
    }
    out.append("]}");
    return out;
}

int orvaCGIHistory(int channel, MHD_Connection* connection) {
    if (channel < 1 || channel > ORVA_CHANNEL_COUNT)
        return orvaReplyEmpty(connection, ORVA_HTTP_NOT_FOUND);
    std::vector<OrvaRun> runs;
    bool configured;
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        configured = isChannelValid(channel - 1) != 0;
        if (configured)
            runs = orvaSlotRuns(channel - 1);
    }
    if (!configured)
        return orvaReplyEmpty(connection, ORVA_HTTP_NOT_FOUND);
    std::string text = orvaComposeHistory(channel, runs);
    return orvaReplyText(connection, text.data(), text.size(), "application/json", true);
}
