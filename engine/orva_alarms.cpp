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
// raised changes nothing. A target's alarm is kept per target number and the
// reason the launcher gave goes to the service log with the raise; a number
// outside 1 to 5 is no target. Events are numbered as taken, so a channel's
// two slots merge in order. Everything follows the slot when two slots are
// exchanged.
#include "orva_alarms.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "orva_engine.h"
#include "orva_service_log.h"
#include "orva_text.h"

namespace {

constexpr std::string_view kAlarmPrefix = "orval-alarm: ";
constexpr std::string_view kInputPrefix = "orval-input: ";
constexpr size_t kLineKept = 1000;
constexpr size_t kReasonKept = 300;  // the launcher's own limit
constexpr std::string_view kTargetDown = "target_down";
constexpr std::string_view kStopMessages[] = {"Number of bands", "channel element",
                                              "Queue input is backward in time"};
constexpr size_t kKindNameCount = kOrvaAlarmKindCount + 1;  // TargetDown last
constexpr const char* kKindNames[kKindNameCount] = {"source_lost", "on_backup", "black",
                                                    "frozen",      "silent",    "target_down"};
static_assert(static_cast<size_t>(OrvaAlarmKind::TargetDown) == kOrvaAlarmKindCount);

struct SlotLines {
    std::string line;         // the line so far, from its start
    bool overlong = false;    // its start is gone; `launcherLine` tells whose it was
    bool launcherLine = false;
};

// An event with its place among the events of every slot, so a channel's
// two slots merge in the order things happened, also within one second.
struct KeptEvent {
    uint64_t order;
    OrvaAlarmEvent event;
};

struct SlotAlarms {
    SlotLines lines;
    std::array<time_t, kOrvaAlarmKindCount> since{};
    std::array<time_t, kOrvaAlarmTargetCount> targetSince{};
    uint64_t sourceLosses = 0;
    std::deque<KeptEvent> events;
};

uint64_t g_eventsTaken;

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

// "channel 2 alarm raised: black", "channel 2 recorder target 3 alarm
// raised: target_down (Connection refused)".
void logAlarm(int slot, const OrvaAlarmEvent& event, std::string_view reason) {
    char target[24] = "";
    if (event.target != 0)
        snprintf(target, sizeof target, " target %d", event.target);
    std::string because = reason.empty() ? "" : " (" + std::string(reason) + ")";
    orvaServiceLog("channel %d%s%s alarm %s: %s%s", slot % ORVA_CHANNEL_COUNT + 1,
                   slot >= ORVA_CHANNEL_COUNT ? " recorder" : "", target,
                   event.raised ? "raised" : "cleared", orvaAlarmKindName(event.kind),
                   because.c_str());
}

// Sets `since` (0: not raised) and records the change; false when the alarm
// already was as asked.
bool changeAlarm(int slot, time_t& since, OrvaAlarmEvent event, std::string_view reason = {}) {
    if ((since != 0) == event.raised)
        return false;
    event.time = time(nullptr);
    since = event.raised ? std::max<time_t>(event.time, 1) : 0;
    auto& events = g_alarms[static_cast<size_t>(slot)].events;
    events.push_back({++g_eventsTaken, event});
    while (events.size() > kOrvaAlarmEventsKept)
        events.pop_front();
    logAlarm(slot, event, reason);
    return true;
}

void setAlarm(int slot, OrvaAlarmKind kind, bool raise) {
    SlotAlarms& alarms = g_alarms[static_cast<size_t>(slot)];
    bool changed = changeAlarm(slot, alarms.since[static_cast<size_t>(kind)], {0, kind, raise});
    if (changed && raise && kind == OrvaAlarmKind::SourceLost)
        alarms.sourceLosses++;
}

void setTargetAlarm(int slot, int target, bool raise, std::string_view reason) {
    time_t& since = g_alarms[static_cast<size_t>(slot)].targetSince[static_cast<size_t>(target - 1)];
    changeAlarm(slot, since, {0, OrvaAlarmKind::TargetDown, raise, target}, reason);
}

// At most kReasonKept bytes, not cut inside a UTF-8 sequence.
std::string_view keptReason(std::string_view reason) {
    if (reason.size() <= kReasonKept)
        return reason;
    size_t end = kReasonKept;
    while (end > 0 && (static_cast<unsigned char>(reason[end]) & 0xC0) == 0x80)
        end--;
    return reason.substr(0, end);
}

// "K" or "K REASON" after "target_down ", K one digit 1 to 5; a raise may
// give its reason, a clear gives nothing more. Anything else is ignored.
void takeTargetOrder(int slot, bool raise, std::string_view rest) {
    if (rest.empty() || rest[0] < '1' || rest[0] > '0' + kOrvaAlarmTargetCount)
        return;
    int target = rest[0] - '0';
    rest.remove_prefix(1);
    if (rest.empty())
        setTargetAlarm(slot, target, raise, {});
    else if (raise && rest[0] == ' ')
        setTargetAlarm(slot, target, raise, keptReason(rest.substr(1)));
}

// "raise KIND" or "clear KIND" after the prefix, or the same of a target;
// a progress fragment that lacked its "\r" may stand in front of it.
// Anything else is ignored.
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
    std::string_view what = order.substr(6);
    if (what.starts_with(kTargetDown) && what.substr(kTargetDown.size()).starts_with(' '))
        takeTargetOrder(slot, raise, what.substr(kTargetDown.size() + 1));
    else if (std::optional<OrvaAlarmKind> kind = kindNamed(what))
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
    return k < kKindNameCount ? kKindNames[k] : "";
}

bool OrvaChannelAlarms::raised(OrvaAlarmKind kind) const {
    size_t k = static_cast<size_t>(kind);
    if (k < kOrvaAlarmKindCount)
        return since[k] != 0;
    return std::any_of(targetSince.begin(), targetSince.end(), [](time_t t) { return t != 0; });
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
    // Raised in either slot, since the earlier of the two.
    auto join = [](time_t& into, time_t since) {
        if (since != 0 && (into == 0 || since < into))
            into = since;
    };
    for (int slot : {channel, channel + ORVA_CHANNEL_COUNT}) {
        const SlotAlarms& alarms = g_alarms[static_cast<size_t>(slot)];
        out.sourceLosses += alarms.sourceLosses;
        for (size_t k = 0; k < kOrvaAlarmKindCount; k++)
            join(out.since[k], alarms.since[k]);
        for (size_t t = 0; t < out.targetSince.size(); t++)
            join(out.targetSince[t], alarms.targetSince[t]);
    }
    return out;
}

std::vector<OrvaAlarmEvent> orvaChannelAlarmEvents(int channel) {
    std::vector<OrvaAlarmEvent> out;
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return out;
    std::vector<KeptEvent> both;
    for (int slot : {channel, channel + ORVA_CHANNEL_COUNT}) {
        const auto& events = g_alarms[static_cast<size_t>(slot)].events;
        both.insert(both.end(), events.begin(), events.end());
    }
    std::sort(both.begin(), both.end(),
              [](const KeptEvent& a, const KeptEvent& b) { return a.order < b.order; });
    size_t first = both.size() > kOrvaAlarmEventsKept ? both.size() - kOrvaAlarmEventsKept : 0;
    for (size_t i = first; i < both.size(); i++)
        out.push_back(both[i].event);
    return out;
}

bool orvaTakeOutputLines(int slot, std::string_view chunk) {
    SlotLines& lines = g_alarms[static_cast<size_t>(slot)].lines;
    bool stop = false;
    for (;;) {
        size_t end = lineEnd(chunk);
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
    for (int target = 1; target <= kOrvaAlarmTargetCount; target++)
        setTargetAlarm(slot, target, false, {});
    // The source's alarms last, as the launcher clears them when it comes back.
    for (size_t k = kOrvaAlarmKindCount; k-- > 0;)
        setAlarm(slot, static_cast<OrvaAlarmKind>(k), false);
}

void orvaSwapAlarms(int slotA, int slotB) {
    std::swap(g_alarms[static_cast<size_t>(slotA)], g_alarms[static_cast<size_t>(slotB)]);
}

void orvaResetAlarms() {
    // Swapped with a blank record rather than assigned one: g++ 12 warns of an
    // uninitialised string in the assignment of the temporary when optimising.
    for (SlotAlarms& alarms : g_alarms) {
        SlotAlarms blank;
        std::swap(alarms, blank);
    }
}
