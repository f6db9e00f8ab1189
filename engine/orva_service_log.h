// orva_service_log.h: the service log, one stamped line per event, and the
// meaning of the engine's result codes.
#pragma once

// Sets the folder of "orval.log"; an empty or null folder turns the log off.
// Called once at start-up, before any other thread runs.
void orvaServiceLogOpen(const char* folder);
// With `on`, every line is also written to standard error (a service kept
// in the foreground, whose supervisor collects that stream).
void orvaServiceLogToStderr(bool on);
// Appends one line. Safe from any thread; never call it in a forked child.
void orvaServiceLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs "<call>() failed (<purpose>): <system error text>" for the current
// errno, and leaves errno as it was.
void orvaLogFailedCall(const char* call, const char* purpose);

// Short texts for the results of the start calls ("the command line does
// not fit"); unknown codes get "unknown error".
const char* orvaStartResultText(int code);
// The same for orvaInit, where -3 means a missing transcoder.
const char* orvaInitResultText(int code);
