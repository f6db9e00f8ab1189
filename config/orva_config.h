// orva_config.h: the configuration file of the service, and the name=value
// lookup the web endpoints use on their request bodies.
//
// Callers hold the service lock: the reader and the writer work on the channel
// table and the settings record, and both set the process locale.
#pragma once

#include <cstddef>

#include "config/orva_channel.h"

// The current configuration path (at most 999 characters are kept).
void orvaSetConfigFile(const char* path);
const char* orvaGetConfigFile();

// Replaces the settings and the channel table with the file at the current
// path. Returns the number of channels taken (0 to 64); 0 and nothing changed
// when the path is empty or the file cannot be opened.
int orvaImportConfig();

// Writes the whole configuration to `path`, or to the current path when it is
// null. Returns 0 after writing, 0 without writing for an empty path, and -1
// when the file could not be written; the old file then stays as it was.
int orvaExportConfig(const char* path);

// Line parsers of the reader. Each takes one line whose leading blanks and
// tabs are already skipped, applies the keys it knows and ignores any other line.
void parseInputSubBlock(const char* line, ORVA_CHANNEL_SOURCE_TAG& source);
void parseOutputSubBlock(const char* line, ORVA_CHANNEL_TARGET_TAG& target);
void parseSettingsLine(const char* line, ORVA_GLOBAL_SETTINGS& settings);

// Where a channel line stands: directly in the channel block, in its <Input>
// block or in its <Output> block (outside the numbered sub-blocks).
enum class OrvaConfigBlock { Channel, Input, Output };
void parseChannelLine(const char* line, ORVA_CHANNEL_TAG& channel, OrvaConfigBlock block);

// Finds the first `name` in `text` (case-sensitive; a name normally ends in
// "=") and reads the value right behind it into `out`. Returns the number of
// values read: 1, 0 when the name is absent, 0 or -1 when nothing could be read.
// Without a format the value is the word up to the next blank, cut to fit
// `outSize` bytes. A caller-given format must bound itself to `outSize`, for
// example "%99[^&]" for a 100-byte buffer.
int parseOpt(const char* text, const char* name, char* out, size_t outSize,
             const char* format = nullptr);
int parseOpt(const char* text, const char* name, int* value);
// Wide twins: `outSize` counts wide characters.
int parseOpt(const wchar_t* text, const wchar_t* name, wchar_t* out, size_t outSize,
             const wchar_t* format = nullptr);
int parseOpt(const wchar_t* text, const wchar_t* name, int* value);
