// orva_metrics.cpp: samples the channels and the service and writes them in
// the Prometheus text format for a scraper.
#include "orva_metrics.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <mutex>
#include <string_view>

#include "config/orva_channel.h"
#include "engine/orva.h"
#include "engine/orva_runs.h"
#include "orva_web.h"
#include "service/orva_channel_ctl.h"
#include "service/orva_channel_stats.h"
#include "service/orva_service.h"

namespace {

constexpr const char* kContentType = "text/plain; version=0.0.4";
constexpr int64_t kBitsPerKilobit = 1000;

std::atomic<uint64_t> g_httpRequests;

struct ChannelFamily {
    const char* name;
    const char* type;
    const char* help;
    int64_t (*value)(const OrvaChannelSample&);
};

// Bitrate carries no unit word in its name: the unit is in its help text.
constexpr ChannelFamily kChannelFamilies[] = {
    {"orval_channel_state", "gauge", "Channel state: 0 stopped, 1 running, 2 stopping.",
     [](const OrvaChannelSample& c) -> int64_t { return c.state; }},
    {"orval_channel_enabled", "gauge", "1 when the channel is meant to run (started), else 0.",
     [](const OrvaChannelSample& c) -> int64_t { return c.enabled; }},
    {"orval_channel_stream_time_seconds", "gauge",
     "Stream time the running transcoder reports, in seconds.",
     [](const OrvaChannelSample& c) -> int64_t { return c.streamTime; }},
    {"orval_channel_bitrate", "gauge",
     "Output bitrate the running transcoder reports, in bits per second.",
     [](const OrvaChannelSample& c) -> int64_t { return c.bitrate; }},
    {"orval_channel_starts_total", "counter", "Transcoder processes started for the channel.",
     [](const OrvaChannelSample& c) -> int64_t { return static_cast<int64_t>(c.starts); }},
    {"orval_channel_restarts_total", "counter",
     "Starts made by the supervision loop after the channel ended.",
     [](const OrvaChannelSample& c) -> int64_t { return static_cast<int64_t>(c.restarts); }},
    {"orval_channel_hang_kills_total", "counter",
     "Transcoders killed because they went silent.",
     [](const OrvaChannelSample& c) -> int64_t { return static_cast<int64_t>(c.hangKills); }},
    {"orval_channel_failed_runs_total", "counter",
     "Runs that failed: a non-zero exit, a kill for going silent, a refused start.",
     [](const OrvaChannelSample& c) -> int64_t { return static_cast<int64_t>(c.failedRuns); }},
    {"orval_channel_last_exit_status", "gauge",
     "Exit status of the last transcoder that ended (128 + signal when killed).",
     [](const OrvaChannelSample& c) -> int64_t { return c.lastExitStatus; }},
    {"orval_channel_on_backup", "gauge",
     "What the channel plays: 0 its source, 1 its backup, 2 the slate.",
     [](const OrvaChannelSample& c) -> int64_t { return c.onBackup; }},
    {"orval_channel_source_losses_total", "counter", "Times the channel's source was lost.",
     [](const OrvaChannelSample& c) -> int64_t { return static_cast<int64_t>(c.sourceLosses); }},
};

template <typename Number>
void appendNumber(std::string& out, Number value) {
    char digits[32];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

void appendHeader(std::string& out, std::string_view name, std::string_view type,
                  std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void appendChannelFamily(std::string& out, const ChannelFamily& family,
                         const std::vector<OrvaChannelSample>& channels) {
    appendHeader(out, family.name, family.type, family.help);
    for (const OrvaChannelSample& channel : channels) {
        out.append(family.name).append("{channel=\"");
        appendNumber(out, channel.number);
        out.append("\"} ");
        appendNumber(out, family.value(channel));
        out.append("\n");
    }
}

// One series per channel and kind of alarm.
void appendAlarmFamily(std::string& out, const std::vector<OrvaChannelSample>& channels) {
    constexpr std::string_view name = "orval_channel_alarm";
    appendHeader(out, name, "gauge", "1 while the channel's alarm of the kind is raised, else 0.");
    for (const OrvaChannelSample& channel : channels) {
        for (size_t k = 0; k < kOrvaAlarmKindCount; k++) {
            out.append(name).append("{channel=\"");
            appendNumber(out, channel.number);
            out.append("\",kind=\"").append(orvaAlarmKindName(static_cast<OrvaAlarmKind>(k)));
            out.append("\"} ");
            appendNumber(out, channel.alarms[k]);
            out.append("\n");
        }
    }
}

// One series per configured target: whether it is up, as far as the launcher
// has said; a stopped channel's targets count as up, as its alarms are clear.
void appendTargetFamily(std::string& out, const std::vector<OrvaChannelSample>& channels) {
    constexpr std::string_view name = "orval_channel_target_up";
    appendHeader(out, name, "gauge",
                 "0 while the channel's target has failed and is being retried, else 1.");
    for (const OrvaChannelSample& channel : channels) {
        for (int target = 1; target <= std::min(channel.targets, kOrvaAlarmTargetCount); target++) {
            out.append(name).append("{channel=\"");
            appendNumber(out, channel.number);
            out.append("\",target=\"");
            appendNumber(out, target);
            out.append("\"} ");
            appendNumber(out, channel.targetUp[static_cast<size_t>(target - 1)]);
            out.append("\n");
        }
    }
}

template <typename Number>
void appendServiceValue(std::string& out, std::string_view name, std::string_view type,
                        std::string_view help, Number value) {
    appendHeader(out, name, type, help);
    out.append(name).append(" ");
    appendNumber(out, value);
    out.append("\n");
}

// A label value escapes the backslash, the quotation mark and the line feed.
void appendLabelValue(std::string& out, std::string_view text) {
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
}

OrvaChannelSample sampleChannel(int channel) {
    OrvaChannelSample sample;
    sample.number = channel + 1;
    sample.state = orvaGetChannelState(channel);
    sample.enabled = g_orvaChannels[channel].Enable ? 1 : 0;
    if (orvaGetState(channel) == ORVA_STATE_RUNNING) {
        sample.streamTime = std::max(orvaGetStreamTime(channel), 0);
        sample.bitrate = std::max(orvaGetStreamBitrate(channel), 0) * kBitsPerKilobit;
    }
    OrvaSlotCounters counters = orvaSlotCounters(channel);
    sample.starts = counters.starts;
    sample.hangKills = counters.hangKills;
    sample.lastExitStatus = counters.lastExitStatus;
    sample.failedRuns = counters.failedRuns + orvaSlotCounters(channel + ORVA_CHANNEL_COUNT).failedRuns;
    sample.restarts = orvaRestartCount(channel);
    OrvaChannelAlarms alarms = orvaChannelAlarms(channel);
    for (size_t k = 0; k < kOrvaAlarmKindCount; k++)
        sample.alarms[k] = alarms.raised(static_cast<OrvaAlarmKind>(k)) ? 1 : 0;
    sample.onBackup = alarms.onBackup();
    sample.sourceLosses = alarms.sourceLosses;
    sample.targets = std::clamp(g_orvaChannels[channel].NumOutputs, 0, kOrvaMaxTargets);
    for (int target = 1; target <= kOrvaAlarmTargetCount; target++)
        sample.targetUp[static_cast<size_t>(target - 1)] = alarms.targetDown(target) ? 0 : 1;
    return sample;
}

}  // namespace

void orvaCountHttpRequest() { g_httpRequests.fetch_add(1, std::memory_order_relaxed); }

OrvaMetricsSample orvaSampleMetrics() {
    OrvaMetricsSample sample;
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++) {
        if (isChannelValid(channel))
            sample.channels.push_back(sampleChannel(channel));
    }
    for (int slot = 0; slot < ORVA_SLOT_COUNT; slot++) {
        if (orvaGetState(slot) != ORVA_STATE_IDLE)
            sample.runningSlots++;
    }
    sample.uptimeSeconds = orvaUptimeSeconds();
    sample.httpRequests = g_httpRequests.load(std::memory_order_relaxed);
    sample.version = orvaVersion();
    return sample;
}

std::string orvaComposeMetrics(const OrvaMetricsSample& sample) {
    std::string out;
    for (const ChannelFamily& family : kChannelFamilies)
        appendChannelFamily(out, family, sample.channels);
    appendAlarmFamily(out, sample.channels);
    appendTargetFamily(out, sample.channels);
    appendServiceValue(out, "orval_uptime_seconds", "gauge", "Seconds since the service started.",
                       sample.uptimeSeconds);
    appendServiceValue(out, "orval_running_slots", "gauge",
                       "Transcoder slots running or stopping, time-shift recorders included.",
                       sample.runningSlots);
    appendServiceValue(out, "orval_http_requests_total", "counter",
                       "Requests the management server has routed.", sample.httpRequests);
    appendHeader(out, "orval_build_info", "gauge", "The service's version; always 1.");
    out.append("orval_build_info{version=\"");
    appendLabelValue(out, sample.version);
    out.append("\"} 1\n");
    return out;
}

int orvaCGIMetrics(MHD_Connection* connection) {
    OrvaMetricsSample sample;
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        sample = orvaSampleMetrics();
    }
    std::string text = orvaComposeMetrics(sample);
    return orvaReplyText(connection, text.data(), text.size(), kContentType, true);
}
