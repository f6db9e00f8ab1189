// orva_history.h: the "/history" endpoint: the last runs of one channel as JSON.
#pragma once

#include <string>
#include <vector>

#include "engine/orva_runs.h"

struct MHD_Connection;

// {"channel":N,"runs":[{"start":…,"end":…,"ended":"…",…},…]}, oldest run
// first; times in seconds since 1970. A refused start carries its "code" and
// "reason", every other run its exit "status"; "error" is the transcoder's
// last error line, empty when it printed none.
std::string orvaComposeHistory(int channelNumber, const std::vector<OrvaRun>& runs);
// `channel` is the 1-based number from the path; a channel outside 1 to 64
// or not configured gets 404. Holds the service lock only while it reads.
int orvaCGIHistory(int channel, MHD_Connection* connection);
