// orva_channel_api.h: the status and channel endpoints.
#pragma once

#include <mutex>

#include "orva_xml.h"  // _xmlEscape

struct MHD_Connection;

// Composes the status under `serviceLock`, held by the caller, and releases
// it before the reply is queued: the reply touches no channel.
int orvaCGIStatus(MHD_Connection* connection, std::unique_lock<std::mutex>& serviceLock);
// `channel` is the 1-based number from the path; `arguments` the query text;
// `body` the POST body, or null for a GET. `serviceLock` is held on entry and
// on return, released while an edit or a removal is written.
int orvaCGIChannel(int channel, const char* arguments, const char* body,
                   MHD_Connection* connection, std::unique_lock<std::mutex>& serviceLock);
int orvaCGIGetChannel(int index, MHD_Connection* connection);
