// orva_history.cpp: writes a channel's run records and alarms, and the
// alarms of all channels, as JSON for the page.
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

void appendAlarmEvent(std::string& out, const OrvaAlarmEvent& event) {
    out.append("{\"time\":");
    orvaJsonNumber(out, event.time);
    appendText(out, "kind", orvaAlarmKindName(event.kind));
    if (event.target != 0) {
        appendField(out, "target");
        orvaJsonNumber(out, event.target);
    }
    appendText(out, "event", event.raised ? "raised" : "cleared");
    out += '}';
}

template <typename Item>
void appendArray(std::string& out, const std::vector<Item>& items,
                 void (*appendItem)(std::string&, const Item&)) {
    out += '[';
    for (size_t i = 0; i < items.size(); i++) {
        if (i > 0)
            out += ',';
        appendItem(out, items[i]);
    }
    out += ']';
}

}  // namespace

std::string orvaComposeHistory(int channelNumber, const std::vector<OrvaRun>& runs,
                               const std::vector<OrvaAlarmEvent>& alarms) {
    std::string out = "{\"channel\":";
    orvaJsonNumber(out, channelNumber);
    out.append(",\"runs\":");
    appendArray(out, runs, appendRun);
    out.append(",\"alarms\":");
    appendArray(out, alarms, appendAlarmEvent);
    out += '}';
    return out;
}

namespace {

// {"channel":N,"kind":"…","since":S}, a target's with "target":K after its kind.
void appendActiveAlarm(std::string& out, size_t channel, OrvaAlarmKind kind, int target,
                       time_t since) {
    out.append(out.back() == '[' ? "{\"channel\":" : ",{\"channel\":");
    orvaJsonNumber(out, static_cast<int64_t>(channel) + 1);
    appendText(out, "kind", orvaAlarmKindName(kind));
    if (target != 0) {
        appendField(out, "target");
        orvaJsonNumber(out, target);
    }
    appendField(out, "since");
    orvaJsonNumber(out, since);
    out += '}';
}

}  // namespace

std::string orvaComposeAlarms(const std::vector<OrvaChannelAlarms>& channels) {
    std::string out = "{\"alarms\":[";
    for (size_t channel = 0; channel < channels.size(); channel++) {
        const OrvaChannelAlarms& alarms = channels[channel];
        for (size_t k = 0; k < kOrvaAlarmKindCount; k++) {
            if (alarms.since[k] != 0)
                appendActiveAlarm(out, channel, static_cast<OrvaAlarmKind>(k), 0, alarms.since[k]);
        }
        for (int target = 1; target <= kOrvaAlarmTargetCount; target++) {
            time_t since = alarms.targetSince[static_cast<size_t>(target - 1)];
            if (since != 0)
                appendActiveAlarm(out, channel, OrvaAlarmKind::TargetDown, target, since);
        }
    }
    out.append("]}");
    return out;
}

int orvaCGIAlarms(MHD_Connection* connection) {
    std::vector<OrvaChannelAlarms> channels;
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++)
            channels.push_back(orvaChannelAlarms(channel));
    }
    std::string text = orvaComposeAlarms(channels);
    return orvaReplyText(connection, text.data(), text.size(), "application/json", true);
}

int orvaCGIHistory(int channel, MHD_Connection* connection) {
    if (channel < 1 || channel > ORVA_CHANNEL_COUNT)
        return orvaReplyEmpty(connection, ORVA_HTTP_NOT_FOUND);
    std::vector<OrvaRun> runs;
    std::vector<OrvaAlarmEvent> alarms;
    bool configured;
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        configured = isChannelValid(channel - 1) != 0;
        if (configured) {
            runs = orvaSlotRuns(channel - 1);
            alarms = orvaChannelAlarmEvents(channel - 1);
        }
    }
    if (!configured)
        return orvaReplyEmpty(connection, ORVA_HTTP_NOT_FOUND);
    std::string text = orvaComposeHistory(channel, runs, alarms);
    return orvaReplyText(connection, text.data(), text.size(), "application/json", true);
}
