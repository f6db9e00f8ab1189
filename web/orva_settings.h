// orva_settings.h: the "/global_config" endpoint, which reads and changes the
// global settings, and the two device endpoints.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "orva_autorun.h"

struct MHD_Connection;

// The settings as JSON. A password that is not UTF-8 is shown empty, with
// "loginPassUnshown" 1. Where systemd manages the boot start, "autorun" is
// the unit's state, and "autorunManaged" says whether it is. Caller holds
// the service lock.
std::string orvaComposeSettings(const OrvaAutorun& autorun = {});

// Saves a form-encoded settings body and then applies it: 0,
// ORVA_WEB_TOO_LARGE (a value beyond 999 characters, or a password whose
// session cookie would not fit the cookie text), ORVA_WEB_BAD_VALUE (an HTTP
// port that is not a whole number in 1-65535, an RTSP port not in 0-65535, a
// restart delay or processor count that is not a whole number within its
// range, a password with a control character or not UTF-8) or
// ORVA_WEB_NOT_SAVED. A body without login_pass keeps the password. Anything
// but 0 changes nothing. `serviceLock` is held on entry and on return; the
// second form takes the lock itself.
int orvaUpdateSettings(std::string_view body, std::unique_lock<std::mutex>& serviceLock);
int orvaUpdateSettings(std::string_view body);

// A read without a body, an update with one; a refused update is answered
// with its reason as plain text. `serviceLock` as for orvaUpdateSettings; it
// is also let go while systemctl runs.
int orvaCGIGlobalConfig(const char* body, MHD_Connection* connection,
                        std::unique_lock<std::mutex>& serviceLock);

// The device lists. They search for seconds, so the caller must not hold the
// service lock: they touch neither the channels nor the settings.
int orvaCGIDecklinkConfig(const char* arguments, MHD_Connection* connection);
int orvaCGINDIConfig(const char* arguments, MHD_Connection* connection);
