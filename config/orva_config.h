// orva_config.h: the configuration file of the service, and the name=value
// lookup the web endpoints use on their request bodies.
//
// Callers hold the service lock: the reader and the writer work on the channel
// table and the settings record. Both use the environment's locale for the
// calling thread only; the process locale is never changed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// The same reader and writer over text in memory, for callers that hold the
// configuration as bytes (and for checking the reader on many inputs without
// touching the disk). orvaImportConfigText reads `text` as a file holding
// those bytes would be read, even an empty one, and returns what
// orvaImportConfig would; -1, with nothing changed, when no stream can be
// made. orvaExportConfigText replaces `text` with the bytes orvaExportConfig
// would write and returns 0, or -1 with `text` as it was when memory runs out.
int orvaImportConfigText(std::string_view text);
int orvaExportConfigText(std::string& text);

// The records a composed file holds: the settings and, for each channel
// index, the record written as that channel. A change is composed before it
// is applied by pointing at records that hold it in place of the table's.
struct OrvaConfigRecords {
    const ORVA_GLOBAL_SETTINGS* settings;
    const ORVA_CHANNEL_TAG* channels[ORVA_CHANNEL_COUNT];
    const ORVA_CHANNEL_CONTINUITY_TAG* continuity[ORVA_CHANNEL_COUNT];  // beside each channel
};
// The settings and the table as they are, to point elsewhere where a change
// is composed.
OrvaConfigRecords orvaLiveConfigRecords();
// orvaExportConfigText over any records.
int orvaComposeConfigText(std::string& text, const OrvaConfigRecords& records);
// Replaces the file at the current path with `text`, synced to disk before
// the rename: 0, also without writing for an empty path, or -1 with the old
// file as it was. Touches no record, so it needs no lock.
int orvaWriteConfigText(std::string_view text);
// orvaImportConfigText into records outside the table: `settings` (whose
// AclFile stays) and ORVA_CHANNEL_COUNT channels at `table`, whose addresses
// then point at their own File texts, with their continuity settings at
// `continuity` (ORVA_CHANNEL_COUNT records; null: not kept).
int orvaReadConfigText(std::string_view text, ORVA_GLOBAL_SETTINGS& settings,
                       ORVA_CHANNEL_TAG* table, ORVA_CHANNEL_CONTINUITY_TAG* continuity = nullptr);
// True when `text` holds at least one line the reader takes: a settings key
// or a channel's opening tag. An upload without any would replace the
// settings and the table with nothing but defaults.
bool orvaHoldsConfiguration(std::string_view text);
// Points every source's and target's address at its own File text.
void orvaPointAddressesAtFiles(ORVA_CHANNEL_TAG& channel);

// The form in which the file carries a record. The reader leaves every record
// it reads in this form and the writer writes each record in it, so a saved
// file reads back to the same table and saves to the same bytes:
// - the counts lie in their ranges, and a first source or target that holds
//   anything is counted in use; records and filters past the counts are empty;
// - a source or target in use has a format and codecs with a name: an unset
//   or unknown video codec becomes H.264 and an audio codec without a name AAC,
//   which is what the reader makes of the names written for them;
// - a text the file cannot carry (see orvaIsStorableText) is empty; a target's
//   VideoParam holds no "-map " option; the File of a source that is not a
//   file source does not begin with a blank or tab;
// - addresses use their low 32 bits, header modes are 0 or 1, a target with a
//   bit rate has no quality, and the numbers with a range lie in it.
void orvaNormaliseChannel(ORVA_CHANNEL_TAG& channel);
// A continuity record in the same form: a storable backup text (else empty)
// and its numbers in their ranges.
void orvaNormaliseContinuity(ORVA_CHANNEL_CONTINUITY_TAG& continuity);
// A Log of 1 is the debug level 32; the ranged numbers lie in their ranges.
void orvaNormaliseSettings(ORVA_GLOBAL_SETTINGS& settings);
// Removes every "-map " option, with its argument, from a target's VideoParam.
void orvaRemoveMapOptions(char (&text)[ORVA_TEXT_SIZE]);

// Line parsers of the reader. Each takes one line whose leading blanks and
// tabs are already skipped, applies the keys it knows and ignores any other line
// (the settings parser returns whether it knew the line).
void parseInputSubBlock(const char* line, ORVA_CHANNEL_SOURCE_TAG& source);
void parseOutputSubBlock(const char* line, ORVA_CHANNEL_TARGET_TAG& target);
bool parseSettingsLine(const char* line, ORVA_GLOBAL_SETTINGS& settings);

// Where a channel line stands: directly in the channel block, in its <Input>
// block or in its <Output> block (outside the numbered sub-blocks).
enum class OrvaConfigBlock { Channel, Input, Output };
void parseChannelLine(const char* line, ORVA_CHANNEL_TAG& channel, OrvaConfigBlock block);
// The continuity keys, which stand directly in the channel block; returns
// whether the line held one.
bool parseContinuityLine(const char* line, ORVA_CHANNEL_CONTINUITY_TAG& continuity);

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
