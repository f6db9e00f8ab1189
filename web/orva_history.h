// orva_history.h: the "/history" endpoint: the last runs and alarms of one
// channel as JSON; and the "/alarms" endpoint: the alarms raised now.
#pragma once

#include <string>
#include <vector>

#include "engine/orva_alarms.h"
#include "engine/orva_runs.h"

struct MHD_Connection;

// {"channel":N,"runs":[{"start":…,"end":…,"ended":"…",…},…]}, oldest run
// first; times in seconds since 1970. A refused start carries its "code" and
// "reason", every other run its exit "status"; "error" is the transcoder's
// last error line, empty when it printed none. Beside the runs,
// "alarms":[{"time":…,"kind":"black","event":"raised"},…] holds the last
// raised and cleared alarms, oldest first ("event" is "raised" or "cleared");
// a target's carry "target":K after their kind.
std::string orvaComposeHistory(int channelNumber, const std::vector<OrvaRun>& runs,
                               const std::vector<OrvaAlarmEvent>& alarms = {});
// {"alarms":[{"channel":N,"kind":"source_lost","since":S},…]}: every alarm
// raised now, by channel (1 to 64) and in the order of OrvaAlarmKind, the
// targets' last ({"channel":N,"kind":"target_down","target":K,"since":S}).
std::string orvaComposeAlarms(const std::vector<OrvaChannelAlarms>& channels);
// Holds the service lock only while it reads.
int orvaCGIAlarms(MHD_Connection* connection);
// `channel` is the 1-based number from the path; a channel outside 1 to 64
// or not configured gets 404. Holds the service lock only while it reads.
int orvaCGIHistory(int channel, MHD_Connection* connection);
