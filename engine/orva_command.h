// orva_command.h: runs a short helper program (the service manager's
// command-line tool) and reads the first line it prints, bounded in time.
#pragma once

#include <chrono>
#include <string>

// Runs `argv` (argv[0] an absolute path, the list ended by a null) with no
// input and its errors discarded, waits at most `limit` for it to end and
// keeps the first line of its output, without the line end, in `firstLine`.
// Answers its exit status (0 to 255), or -1 when it could not be started,
// was killed at the limit or ended by a signal; the log then says which.
// Blocks for up to `limit`: never call it under the service lock.
int orvaRunCommand(const char* const argv[], std::chrono::milliseconds limit, std::string& firstLine);
