// orva_channel.h: the channel table, the settings record and the configuration's
// names of formats and codecs (kept in the engine's vocabulary table).
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/orva.h"

constexpr int kOrvaMaxSources = 5;
constexpr int kOrvaMaxTargets = 5;
constexpr int kOrvaMaxFilters = 10;

// The numbers the service computes with are held to ranges that work, from
// the file and from the web alike: a restart delay in milliseconds and a
// wrap time of twice the delay must fit an int, and a processor set cannot
// hold more processors than the system's set type.
constexpr int32_t kOrvaMaxAutoRestartSec = 86400;   // a day
constexpr int32_t kOrvaMaxTimeShiftSec = 86400;     // a day
constexpr int32_t kOrvaMaxCpuPerChannel = 1024;     // CPU_SETSIZE
// How long a source may stay silent before the backup takes over, and the
// thresholds of the content alarms (0 turns an alarm off).
constexpr int32_t kOrvaMinSourceTimeoutMs = 200;
constexpr int32_t kOrvaMaxSourceTimeoutMs = 10000;
constexpr int32_t kOrvaDefaultSourceTimeoutMs = ORVA_DEFAULT_SOURCE_TIMEOUT_MS;
constexpr int32_t kOrvaMaxAlarmSec = 3600;
constexpr int32_t kOrvaDefaultAlarmSec = ORVA_DEFAULT_ALARM_SEC;

// The numbers held to those ranges; each range starts at 0 but the source timeout's.
enum class OrvaRange { AutoRestartSec, TimeShiftSec, CpuPerChannel, SourceTimeoutMs, AlarmSec };

int32_t orvaRangeLowest(OrvaRange range);
int32_t orvaRangeHighest(OrvaRange range);
// Whether a value may be stored as it is; the web refuses any other value.
bool orvaInRange(OrvaRange range, long value);
// The nearest value inside the range; the configuration file reader keeps a
// value it reads this way.
int32_t orvaClampToRange(OrvaRange range, long value);

struct ORVA_CHANNEL_SOURCE_TAG : ORVA_INPUT_TAG {
    char File[ORVA_TEXT_SIZE];
};

struct ORVA_CHANNEL_TARGET_TAG : ORVA_OUTPUT_TAG {
    char File[ORVA_TEXT_SIZE];
    char VideoParam[ORVA_TEXT_SIZE];
    char AudioParam[ORVA_TEXT_SIZE];
    char RTMPFlashVer[ORVA_TEXT_SIZE];
    char RTMPSwfUrl[ORVA_TEXT_SIZE];
    char RTMPPubUser[ORVA_TEXT_SIZE];
    char RTMPPubPass[ORVA_TEXT_SIZE];
};

struct ORVA_CHANNEL_TAG {
    int32_t Enable;
    int32_t NumInputs;
    ORVA_CHANNEL_SOURCE_TAG Sources[kOrvaMaxSources];
    char SourceVideoParam[ORVA_TEXT_SIZE];
    char SourceParam[ORVA_TEXT_SIZE];
    int32_t NumOutputs;
    ORVA_CHANNEL_TARGET_TAG Targets[kOrvaMaxTargets];
    char MapParam[ORVA_TEXT_SIZE];
    char FormatParam[ORVA_TEXT_SIZE];
    int32_t Filters;
    char Filter[kOrvaMaxFilters][ORVA_TEXT_SIZE];
    char TargetParam[ORVA_TEXT_SIZE];
    int32_t TimeShiftSec;
    char TimeShiftCacheFolder[ORVA_TEXT_SIZE];
    char Memo[ORVA_TEXT_SIZE];
};

struct ORVA_GLOBAL_SETTINGS {
    uint16_t HTTPPort;
    uint16_t RTSPPort;
    int32_t Log;
    int32_t AutoStart;
    int32_t AutoRestart;
    int32_t CpuPerChannel;
    int32_t StreamTimeLimit;
    int32_t FolderRecur;
    int32_t FolderShuffle;
    char LoginPass[ORVA_TEXT_SIZE];
    char AclFile[ORVA_TEXT_SIZE];
};

// What keeps a channel on air when its source fails, and when its content
// alarms are raised. The channel record's layout is fixed and has no room, so
// these live in a table beside it, with the same index: they move with the
// record when channels are renumbered and are replaced with it by a file read.
struct ORVA_CHANNEL_CONTINUITY_TAG {
    char BackupSource[ORVA_TEXT_SIZE] = {};  // file, folder or address; empty: none
    int32_t SourceTimeout = kOrvaDefaultSourceTimeoutMs;
    int32_t AlarmBlackSec = kOrvaDefaultAlarmSec;
    int32_t AlarmFreezeSec = kOrvaDefaultAlarmSec;
    int32_t AlarmSilenceSec = kOrvaDefaultAlarmSec;
};

// Stored records: their layouts are fixed.
static_assert(sizeof(ORVA_CHANNEL_SOURCE_TAG) == 3152);
static_assert(sizeof(ORVA_CHANNEL_TARGET_TAG) == 9160);
static_assert(sizeof(ORVA_CHANNEL_TAG) == 78584);
static_assert(sizeof(ORVA_GLOBAL_SETTINGS) == 2032);

extern ORVA_CHANNEL_TAG g_orvaChannels[ORVA_CHANNEL_COUNT];
extern ORVA_GLOBAL_SETTINGS g_globalSettings;
extern ORVA_CHANNEL_CONTINUITY_TAG g_orvaContinuity[ORVA_CHANNEL_COUNT];

// Every channel's continuity settings back at their defaults.
void orvaResetContinuity();

// The values a configuration file read starts from, before its own lines.
void orvaSetFileReadDefaults(ORVA_GLOBAL_SETTINGS& settings);

// Configuration names, read without regard to case; an unknown name gives the
// default id (file, H.264, AAC).
int orvaGetFormatId(const char* name);
const char* orvaGetFormatName(ORVA_FORMAT id);
int orvaGetVideoCodecId(const char* name);
int orvaGetAudioCodecId(const char* name);
const char* orvaGetCodecDesc(uint8_t codec);

int isChannelValid(int channel);
// The same test on a record that need not be in the table.
bool orvaIsRecordConfigured(const ORVA_CHANNEL_TAG& channel);

// A text the configuration file can carry: no line break, NUL or other
// control character (the tab is allowed). A text holding one would cut its
// line and be read back as further keys.
bool orvaIsStorableText(std::string_view text);
