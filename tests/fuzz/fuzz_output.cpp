// The lines of a transcoder's output on any bytes, cut into chunks of any
// size, for a channel's slot or its recorder's: the alarms taken are known
// kinds, a target's number is 1 to 5, the history stays bounded, and the end
// of a run clears all it raised.
#include <algorithm>
#include <string_view>

#include "engine/orva_alarms.h"
#include "engine/orva_engine.h"
#include "fuzz_support.h"

namespace {

constexpr int kChannel = 0;

void checkChannel() {
    OrvaChannelAlarms alarms = orvaChannelAlarms(kChannel);
    bool anyTarget = false;
    for (int target = 1; target <= kOrvaAlarmTargetCount; target++)
        anyTarget |= alarms.targetDown(target);
    if (alarms.raised(OrvaAlarmKind::TargetDown) != anyTarget)
        fuzzFail("a target alarm is raised and not kept for its target");
    if (alarms.targetDown(0) || alarms.targetDown(kOrvaAlarmTargetCount + 1))
        fuzzFail("a number outside the targets is down");
    std::vector<OrvaAlarmEvent> events = orvaChannelAlarmEvents(kChannel);
    if (events.size() > kOrvaAlarmEventsKept)
        fuzzFail("the channel keeps more alarm events than it may");
    for (const OrvaAlarmEvent& event : events) {
        bool target = event.kind == OrvaAlarmKind::TargetDown;
        if (*orvaAlarmKindName(event.kind) == '\0')
            fuzzFail("an alarm of no known kind was taken");
        if (target != (event.target >= 1 && event.target <= kOrvaAlarmTargetCount))
            fuzzFail("an alarm event's target does not fit its kind");
    }
}

}  // namespace

// The first byte chooses the chunk size (1 to 64) and the slot (bit 6: the
// recorder's); the rest is the output.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    orvaResetAlarms();
    const size_t chunkSize = (data[0] & 0x3F) + 1u;
    const int slot = kChannel + ((data[0] & 0x40) ? ORVA_CHANNEL_COUNT : 0);
    std::string_view output(reinterpret_cast<const char*>(data + 1), size - 1);
    orvaAlarmsRunLaunched(slot);
    while (!output.empty()) {
        size_t n = std::min(chunkSize, output.size());
        orvaTakeOutputLines(slot, output.substr(0, n));
        output.remove_prefix(n);
        checkChannel();
    }
    orvaAlarmsRunEnded(slot);
    OrvaChannelAlarms alarms = orvaChannelAlarms(kChannel);
    if (alarms.raised(OrvaAlarmKind::TargetDown) ||
        std::any_of(alarms.since.begin(), alarms.since.end(), [](time_t t) { return t != 0; }))
        fuzzFail("an alarm outlived the run that raised it");
    checkChannel();
    return 0;
}
