// orva_settings.h: the "/global_config" endpoint, which reads and changes the
// global settings, and the two device endpoints.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "orva_autorun.h"

struct MHD_Connection;

// The settings as JSON; where systemd manages the boot start, "autorun" is
// the unit's state, and "autorunManaged" says whether it is. Caller holds
// the service lock.
std::string orvaComposeSettings(const OrvaAutorun& autorun = {});

// The checks of orvaUpdateSettings alone: 0 when it would apply `body`.
int orvaCheckSettings(std::string_view body);

// Applies a form-encoded settings body and saves: 0, ORVA_WEB_TOO_LARGE (a
// value beyond 999 characters, or a password whose session cookie would not
// fit the cookie text) or ORVA_WEB_BAD_VALUE (a port that is not a whole
// number in 0-65535, a restart delay or processor count that is not a whole
// number within its range, a password with a control character or not UTF-8).
// A refused body changes nothing. Caller holds the service lock.
int orvaUpdateSettings(std::string_view body);

// A read without a body, an update with one. Caller holds the service lock,
// which is let go while systemctl runs.
int orvaCGIGlobalConfig(const char* body, MHD_Connection* connection,
                        std::unique_lock<std::mutex>& serviceLock);

// The device lists. They search for seconds, so the caller must not hold the
// service lock: they touch neither the channels nor the settings.
int orvaCGIDecklinkConfig(const char* arguments, MHD_Connection* connection);
int orvaCGINDIConfig(const char* arguments, MHD_Connection* connection);
