// orva_alarms.cpp: the lines of each slot's output, the alarms the launcher
// reports on them, and the encoder's stop messages.
//
// DESIGN: output arrives in chunks that cut lines anywhere, so each slot
// keeps the unfinished line it has seen so far, up to kLineKept bytes; a
// line that grows beyond that is judged piece by piece and can no longer be
// an alarm line (those are short). A line ends at "\n" or "\r": the
// encoder's progress lines end in "\r", and the launcher's lines may follow
// one. The launcher's own lines begin with "orval-input: " or "orval-alarm: ";
// a stop message inside them is a source's trouble, which the launcher rides
// out, so only the encoder's lines can stop the slot. An alarm is raised once
// and cleared once: a repeated raise or a clear of an alarm that is not
// raised changes nothing. Everything follows the slot when two slots are
// exchanged.
#include "orva_alarms.h"

#include <algorithm>
#include <array>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "orva_engine.h"
#include "orva_service_log.h"

namespace {

constexpr std::string_view kAlarmPrefix = "orval-alarm: ";
constexpr std::string_view kInputPrefix = "orval-input: ";
constexpr size_t kLineKept = 1000;
constexpr std::string_view kStopMessages[] = {"Number of bands", "channel element",
                                              "Queue input is backward in time"};
constexpr const char* kKindNames[kOrvaAlarmKindCount] = {"source_lost", "on_backup", "black",
                                                         "frozen", "silent"};

struct SlotLines {
    std::string line;         // the line so far, from its start
    bool overlong = false;    // its start is gone; `launcherLine` tells whose it was
    bool launcherLine = false;
};

struct SlotAlarms {
    SlotLines lines;
    std::array<time_t, kOrvaAlarmKindCount> since{};
    uint64_t sourceLosses = 0;
    std::deque<OrvaAlarmEvent> events;
};

std::array<SlotAlarms, ORVA_SLOT_COUNT> g_alarms;

bool isLauncherLine(std::string_view line) {
    return line.starts_with(kInputPrefix) || line.starts_with(kAlarmPrefix);
}

std::optional<OrvaAlarmKind> kindNamed(std::string_view name) {
    for (size_t k = 0; k < kOrvaAlarmKindCount; k++) {
        if (name == kKindNames[k])
            return static_cast<OrvaAlarmKind>(k);
    }
    return std::nullopt;
}

void logAlarm(int slot, OrvaAlarmKind kind, bool raised) {
    bool recorder = slot >= ORVA_CHANNEL_COUNT;
    orvaServiceLog("channel %d%s alarm %s: %s", slot % ORVA_CHANNEL_COUNT + 1,
                   recorder ? " recorder" : "", raised ? "raised" : "cleared",
                   orvaAlarmKindName(kind));
}

void setAlarm(int slot, OrvaAlarmKind kind, bool raise) {
    SlotAlarms& alarms = g_alarms[static_cast<size_t>(slot)];
    time_t& since = alarms.since[static_cast<size_t>(kind)];
    if ((since != 0) == raise)
        return;
    time_t now = time(nullptr);
    since = raise ? std::max<time_t>(now, 1) : 0;
    if (raise && kind == OrvaAlarmKind::SourceLost)
        alarms.sourceLosses++;
    alarms.events.push_back({now, kind, raise});
    while (alarms.events.size() > kOrvaAlarmEventsKept)
        alarms.events.pop_front();
    logAlarm(slot, kind, raise);
}

// "raise KIND" or "clear KIND" after the prefix; a progress fragment that
// lacked its "\r" may stand in front of it. Anything else is ignored.
void takeAlarmLine(int slot, std::string_view line) {
    size_t at = line.find(kAlarmPrefix);
    if (at == line.npos)
        return;
    std::string_view order = line.substr(at + kAlarmPrefix.size());
    while (!order.empty() && (order.back() == ' ' || order.back() == '\t'))
        order.remove_suffix(1);
    bool raise = order.starts_with("raise ");
    if (!raise && !order.starts_with("clear "))
        return;
    if (std::optional<OrvaAlarmKind> kind = kindNamed(order.substr(6)))
        setAlarm(slot, *kind, raise);
}

// Whether a stop message ends at or after `from`: one that lay wholly
// before it was judged with the piece that brought it.
bool holdsStopMessageFrom(std::string_view text, size_t from) {
    return std::any_of(std::begin(kStopMessages), std::end(kStopMessages), [&](std::string_view m) {
        return text.find(m, from >= m.size() ? from - (m.size() - 1) : 0) != text.npos;
    });
}

// Adds a piece of the current line; true when it completes an encoder's stop message.
bool addPiece(SlotLines& lines, std::string_view piece) {
    if (lines.overlong)
        return !lines.launcherLine && holdsStopMessageFrom(piece, 0);
    size_t from = lines.line.size();
    lines.line.append(piece);
    bool launcher = isLauncherLine(lines.line);
    bool stop = !launcher && holdsStopMessageFrom(lines.line, from);
    if (lines.line.size() > kLineKept) {
        lines.overlong = true;
        lines.launcherLine = launcher;
        lines.line.clear();
        lines.line.shrink_to_fit();
    }
    return stop;
}

void endLine(SlotLines& lines) {
    lines.line.clear();
    lines.overlong = false;
    lines.launcherLine = false;
}

}  // namespace

const char* orvaAlarmKindName(OrvaAlarmKind kind) {
    size_t k = static_cast<size_t>(kind);
    return k < kOrvaAlarmKindCount ? kKindNames[k] : "";
}

int OrvaChannelAlarms::onBackup() const {
    if (!raised(OrvaAlarmKind::SourceLost))
        return 0;
    return raised(OrvaAlarmKind::OnBackup) ? 1 : 2;
}

OrvaChannelAlarms orvaChannelAlarms(int channel) {
    OrvaChannelAlarms out;
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return out;
    for (int slot : {channel, channel + ORVA_CHANNEL_COUNT}) {
        const SlotAlarms& alarms = g_alarms[static_cast<size_t>(slot)];
        out.sourceLosses += alarms.sourceLosses;
        for (size_t k = 0; k < kOrvaAlarmKindCount; k++) {
            time_t since = alarms.since[k];
            if (since != 0 && (out.since[k] == 0 || since < out.since[k]))
                out.since[k] = since;
        }
    }
    return out;
}

std::vector<OrvaAlarmEvent> orvaChannelAlarmEvents(int channel) {
    std::vector<OrvaAlarmEvent> out;
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return out;
    for (int slot : {channel, channel + ORVA_CHANNEL_COUNT}) {
        const auto& events = g_alarms[static_cast<size_t>(slot)].events;
        out.insert(out.end(), events.begin(), events.end());
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const OrvaAlarmEvent& a, const OrvaAlarmEvent& b) { return a.time < b.time; });
    if (out.size() > kOrvaAlarmEventsKept)
        out.erase(out.begin(), out.end() - kOrvaAlarmEventsKept);
    return out;
}

bool orvaTakeOutputLines(int slot, std::string_view chunk) {
    SlotLines& lines = g_alarms[static_cast<size_t>(slot)].lines;
    bool stop = false;
    for (;;) {
        size_t end = chunk.find_first_of("\r\n");
        stop |= addPiece(lines, chunk.substr(0, end));
        if (end == chunk.npos)
            return stop;
        if (!lines.overlong)
            takeAlarmLine(slot, lines.line);
        endLine(lines);
        chunk.remove_prefix(end + 1);
    }
}

void orvaAlarmsRunLaunched(int slot) { endLine(g_alarms[static_cast<size_t>(slot)].lines); }

void orvaAlarmsRunEnded(int slot) {
    SlotAlarms& alarms = g_alarms[static_cast<size_t>(slot)];
    endLine(alarms.lines);
    // The source's alarms last, as the launcher clears them when it comes back.
    for (size_t k = kOrvaAlarmKindCount; k-- > 0;)
        setAlarm(slot, static_cast<OrvaAlarmKind>(k), false);
}

void orvaSwapAlarms(int slotA, int slotB) {
    std::swap(g_alarms[static_cast<size_t>(slotA)], g_alarms[static_cast<size_t>(slotB)]);
}

void orvaResetAlarms() {
    for (SlotAlarms& alarms : g_alarms)
        alarms = SlotAlarms{};
}
