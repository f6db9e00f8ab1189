// orva_config_keys.cpp: the keys of the configuration file and how each value
// is read into its field.
//
// Keys are compared without regard to case as prefixes of a line, each with
// the blank behind it ("Enable" and "Filter[%d]" have none). A value that
// cannot be read leaves its field as it was.
#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "engine/orva_text.h"
#include "orva_config.h"

namespace {

using Text = char[ORVA_TEXT_SIZE];
using Source = ORVA_CHANNEL_SOURCE_TAG;
using Target = ORVA_CHANNEL_TARGET_TAG;
using Channel = ORVA_CHANNEL_TAG;
using Settings = ORVA_GLOBAL_SETTINGS;

const char* valueOf(const char* line, std::string_view key) {
    return strncasecmp(line, key.data(), key.size()) == 0 ? line + key.size() : nullptr;
}

// The value without its line end ("\n" or "\r\n").
std::string_view lineValue(const char* value) {
    std::string_view text(value);
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    return text;
}

// A text is taken whole or not at all. One longer than its field would be cut
// into another text, and one holding a control character other than the tab
// never comes from the writer. The bytes behind the text are cleared, so a
// field holds the same bytes however often it was set.
bool storeText(Text& field, std::string_view text) {
    if (text.size() >= sizeof(Text) || !orvaIsStorableText(text))
        return false;
    memset(field, 0, sizeof(Text));
    memcpy(field, text.data(), text.size());
    return true;
}

// Numbers out of range are not read: a cut one would mean another port or count.
bool readNumber(const char* value, long lowest, long highest, long& number) {
    return sscanf(value, "%ld", &number) == 1 && number >= lowest && number <= highest;
}

void readInt(const char* value, int32_t& field) {
    long number;
    if (readNumber(value, INT32_MIN, INT32_MAX, number))
        field = static_cast<int32_t>(number);
}

void readCount(const char* value, int32_t& field, int most) {
    long number;
    if (readNumber(value, INT32_MIN, INT32_MAX, number))
        field = static_cast<int32_t>(std::clamp<long>(number, 0, most));
}

// A number the service computes with is held to the range that works.
void readRanged(const char* value, int32_t& field, OrvaRange range) {
    long number;
    if (readNumber(value, LONG_MIN, LONG_MAX, number))
        field = orvaClampToRange(range, number);
}

void readPort(const char* value, uint16_t& field) {
    long number;
    if (readNumber(value, 0, UINT16_MAX, number))
        field = static_cast<uint16_t>(number);
}

void readDecimal(const char* value, float& field) {
    float number;
    if (sscanf(value, "%f", &number) == 1)
        field = number;
}

// A word ends at the next blank or the line end.
bool readWord(const char* value, Text& field) {
    std::string_view text = lineValue(value);
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return false;
    text.remove_prefix(start);
    return storeText(field, text.substr(0, text.find_first_of(" \t\r\n\v\f")));
}

// From the first double quote after the key up to the last one of the line,
// so a text may hold double quotes; without a second quote, up to the line end.
bool readQuoted(const char* value, Text& field) {
    std::string_view text = lineValue(value);
    size_t open = text.find('"');
    if (open == std::string_view::npos)
        return false;
    text.remove_prefix(open + 1);
    return storeText(field, text.substr(0, text.rfind('"')));
}

// Everything behind the key's one blank, blanks at either end included.
bool readRestOfLine(const char* value, Text& field) { return storeText(field, lineValue(value)); }

void readAddress(const char* value, uint64_t& field) {
    Text word;
    if (readWord(value, word))
        field = Inet_addr(word);
}

void readFormat(const char* value, int32_t& field) {
    Text word;
    if (readWord(value, word))
        field = orvaGetFormatId(word);
}

void readVideoCodec(const char* value, int32_t& field) {
    Text word;
    if (readWord(value, word))
        field = orvaGetVideoCodecId(word);
}

void readAudioCodec(const char* value, int32_t& field) {
    Text word;
    if (readWord(value, word))
        field = orvaGetAudioCodecId(word);
}

void readGlobalHeader(const char* value, int32_t& field) {
    Text word;
    if (readWord(value, word))
        field = strcasecmp(word, "OutOfBand") == 0 ? 1 : 0;
}

// The older key counts in minutes.
void readTimeShiftMinutes(const char* value, int32_t& seconds) {
    long minutes;
    if (readNumber(value, LONG_MIN, LONG_MAX, minutes))
        seconds = orvaClampToRange(OrvaRange::TimeShiftSec,
                                   std::clamp<long>(minutes, 0, kOrvaMaxTimeShiftSec) * 60);
}

void readSourceFile(const char* value, Source& source) {
    // A file source's path is quoted; addresses, device, card and stream names
    // take the rest of the line after the blanks behind the key.
    if (source.Format == ORVA_FORMAT_FILE)
        readQuoted(value, source.File);
    else
        readRestOfLine(value + strspn(value, " \t"), source.File);
    source.pszAddress = source.File;
}

void readTargetVideoParam(const char* value, Target& target) {
    if (readQuoted(value, target.VideoParam))
        orvaRemoveMapOptions(target.VideoParam);
}

template <typename Record>
struct KeyRule {
    const char* key;
    void (*apply)(const char* value, Record& record);
};

template <typename Record, size_t N>
bool applyKeys(const KeyRule<Record> (&rules)[N], const char* line, Record& record) {
    for (const KeyRule<Record>& rule : rules) {
        if (const char* value = valueOf(line, rule.key)) {
            rule.apply(value, record);
            return true;
        }
    }
    return false;
}

// A source keeps its own addresses on the source side.
constexpr KeyRule<Source> kSourceKeys[] = {
    {"Format ", [](const char* v, Source& s) { readFormat(v, s.Format); }},
    {"VideoEnable ", [](const char* v, Source& s) { readInt(v, s.Video.VideoEnable); }},
    {"VideoCodec ", [](const char* v, Source& s) { readVideoCodec(v, s.Video.VideoCodec); }},
    {"VideoIP ", [](const char* v, Source& s) { readAddress(v, s.Video.VideoSourceIP); }},
    {"VideoPort ", [](const char* v, Source& s) { readPort(v, s.Video.VideoSourcePort); }},
    {"VideoFmtp ", [](const char* v, Source& s) { readQuoted(v, s.Video.VideoFmtp); }},
    {"AudioEnable ", [](const char* v, Source& s) { readInt(v, s.Audio.AudioEnable); }},
    {"AudioCodec ", [](const char* v, Source& s) { readAudioCodec(v, s.Audio.AudioCodec); }},
    {"AudioSampleRate ", [](const char* v, Source& s) { readInt(v, s.Audio.AudioSampleRate); }},
    {"AudioChannel ", [](const char* v, Source& s) { readInt(v, s.Audio.AudioChannel); }},
    {"AudioIP ", [](const char* v, Source& s) { readAddress(v, s.Audio.AudioSourceIP); }},
    {"AudioPort ", [](const char* v, Source& s) { readPort(v, s.Audio.AudioSourcePort); }},
    {"AudioFmtp ", [](const char* v, Source& s) { readQuoted(v, s.Audio.AudioFmtp); }},
    {"File ", readSourceFile}};

constexpr KeyRule<Target> kTargetKeys[] = {
    {"Format ", [](const char* v, Target& t) { readFormat(v, t.Format); }},
    {"VideoEnable ", [](const char* v, Target& t) { readInt(v, t.Video.VideoEnable); }},
    {"VideoCodec ", [](const char* v, Target& t) { readVideoCodec(v, t.Video.VideoCodec); }},
    {"VideoWidth ", [](const char* v, Target& t) { readInt(v, t.Video.VideoWidth); }},
    {"VideoHeight ", [](const char* v, Target& t) { readInt(v, t.Video.VideoHeight); }},
    {"VideoFrameRate ", [](const char* v, Target& t) { readDecimal(v, t.Video.VideoFrameRate); }},
    {"VideoKeyFrameInterval ",
     [](const char* v, Target& t) { readInt(v, t.Video.VideoKeyFrameInterval); }},
    {"VideoQuality ", [](const char* v, Target& t) { readInt(v, t.Video.VideoQuality); }},
    {"VideoBitRate ", [](const char* v, Target& t) { readInt(v, t.Video.VideoBitRate); }},
    {"VideoDeinterlace ", [](const char* v, Target& t) { readInt(v, t.Video.VideoDeinterlace); }},
    {"VideoIP ", [](const char* v, Target& t) { readAddress(v, t.Video.VideoTargetIP); }},
    {"VideoPort ", [](const char* v, Target& t) { readPort(v, t.Video.VideoTargetPort); }},
    {"VideoGlobalHeader ",
     [](const char* v, Target& t) { readGlobalHeader(v, t.Video.VideoGlobalHeader); }},
    {"VideoParam ", readTargetVideoParam},
    {"AudioEnable ", [](const char* v, Target& t) { readInt(v, t.Audio.AudioEnable); }},
    {"AudioCodec ", [](const char* v, Target& t) { readAudioCodec(v, t.Audio.AudioCodec); }},
    {"AudioSampleRate ", [](const char* v, Target& t) { readInt(v, t.Audio.AudioSampleRate); }},
    {"AudioChannel ", [](const char* v, Target& t) { readInt(v, t.Audio.AudioChannel); }},
    {"AudioBitRate ", [](const char* v, Target& t) { readInt(v, t.Audio.AudioBitRate); }},
    {"AudioIP ", [](const char* v, Target& t) { readAddress(v, t.Audio.AudioTargetIP); }},
    {"AudioPort ", [](const char* v, Target& t) { readPort(v, t.Audio.AudioTargetPort); }},
    {"AudioGlobalHeader ",
     [](const char* v, Target& t) { readGlobalHeader(v, t.Audio.AudioGlobalHeader); }},
    {"AudioParam ", [](const char* v, Target& t) { readQuoted(v, t.AudioParam); }},
    {"MuxBitRate ", [](const char* v, Target& t) { readInt(v, t.MuxBitRate); }},
    {"RTMPFlashVer ", [](const char* v, Target& t) { readRestOfLine(v, t.RTMPFlashVer); }},
    {"RTMPSwfUrl ", [](const char* v, Target& t) { readRestOfLine(v, t.RTMPSwfUrl); }},
    {"RTMPPubUser ", [](const char* v, Target& t) { readRestOfLine(v, t.RTMPPubUser); }},
    {"RTMPPubPass ", [](const char* v, Target& t) { readRestOfLine(v, t.RTMPPubPass); }},
    {"File ",
     [](const char* v, Target& t) {
         readQuoted(v, t.File);
         t.pszAddress = t.File;
     }}};

constexpr KeyRule<Settings> kSettingsKeys[] = {
    {"log ", [](const char* v, Settings& s) { readInt(v, s.Log); }},
    {"HTTPPort ", [](const char* v, Settings& s) { readPort(v, s.HTTPPort); }},
    {"RTSPPort ", [](const char* v, Settings& s) { readPort(v, s.RTSPPort); }},
    {"AutoStart ", [](const char* v, Settings& s) { readInt(v, s.AutoStart); }},
    {"AutoRestart ",
     [](const char* v, Settings& s) { readRanged(v, s.AutoRestart, OrvaRange::AutoRestartSec); }},
    {"CpuPerChannel ",
     [](const char* v, Settings& s) { readRanged(v, s.CpuPerChannel, OrvaRange::CpuPerChannel); }},
    {"StreamTimeLimit ", [](const char* v, Settings& s) { readInt(v, s.StreamTimeLimit); }},
    {"FolderRecur ", [](const char* v, Settings& s) { readInt(v, s.FolderRecur); }},
    {"FolderShuffle ", [](const char* v, Settings& s) { readInt(v, s.FolderShuffle); }},
    {"LoginPass ", [](const char* v, Settings& s) { readRestOfLine(v, s.LoginPass); }}};

using Continuity = ORVA_CHANNEL_CONTINUITY_TAG;

constexpr KeyRule<Continuity> kContinuityKeys[] = {
    {"BackupSource ", [](const char* v, Continuity& c) { readQuoted(v, c.BackupSource); }},
    {"SourceTimeout ",
     [](const char* v, Continuity& c) { readRanged(v, c.SourceTimeout, OrvaRange::SourceTimeoutMs); }},
    {"AlarmBlackSec ",
     [](const char* v, Continuity& c) { readRanged(v, c.AlarmBlackSec, OrvaRange::AlarmSec); }},
    {"AlarmFreezeSec ",
     [](const char* v, Continuity& c) { readRanged(v, c.AlarmFreezeSec, OrvaRange::AlarmSec); }},
    {"AlarmSilenceSec ",
     [](const char* v, Continuity& c) { readRanged(v, c.AlarmSilenceSec, OrvaRange::AlarmSec); }}};

constexpr KeyRule<Channel> kChannelKeys[] = {
    {"Enable", [](const char* v, Channel& c) { readInt(v, c.Enable); }}};

constexpr KeyRule<Channel> kInputBlockKeys[] = {
    {"NumInputs ", [](const char* v, Channel& c) { readCount(v, c.NumInputs, kOrvaMaxSources); }},
    {"VideoParam ", [](const char* v, Channel& c) { readQuoted(v, c.SourceVideoParam); }},
    {"SourceParam ", [](const char* v, Channel& c) { readQuoted(v, c.SourceParam); }}};

constexpr KeyRule<Channel> kOutputBlockKeys[] = {
    {"NumOutputs ", [](const char* v, Channel& c) { readCount(v, c.NumOutputs, kOrvaMaxTargets); }},
    {"MapParam ", [](const char* v, Channel& c) { readQuoted(v, c.MapParam); }},
    {"FormatParam ", [](const char* v, Channel& c) { readQuoted(v, c.FormatParam); }},
    {"Filters ", [](const char* v, Channel& c) { readCount(v, c.Filters, kOrvaMaxFilters); }},
    {"TimeShift ", [](const char* v, Channel& c) { readTimeShiftMinutes(v, c.TimeShiftSec); }},
    {"TimeShiftSec ",
     [](const char* v, Channel& c) { readRanged(v, c.TimeShiftSec, OrvaRange::TimeShiftSec); }},
    {"TimeShiftCacheFolder ",
     [](const char* v, Channel& c) { readQuoted(v, c.TimeShiftCacheFolder); }},
    {"TargetParam ", [](const char* v, Channel& c) { readQuoted(v, c.TargetParam); }},
    {"CustomParam ", [](const char* v, Channel& c) { readQuoted(v, c.TargetParam); }},
    {"Memo ", [](const char* v, Channel& c) { readQuoted(v, c.Memo); }}};

// Only the filters announced by the "Filters" line read so far are taken.
void readFilterLine(const char* line, Channel& channel) {
    int count = std::clamp(channel.Filters, 0, kOrvaMaxFilters);
    for (int k = 1; k <= count; k++) {
        char key[24];
        TextCursor t(key, sizeof key);
        appendf(t, "Filter[%d]", k);
        if (const char* value = valueOf(line, t.view())) {
            readQuoted(value, channel.Filter[k - 1]);
            return;
        }
    }
}

}  // namespace

void parseInputSubBlock(const char* line, ORVA_CHANNEL_SOURCE_TAG& source) {
    applyKeys(kSourceKeys, line, source);
}

void parseOutputSubBlock(const char* line, ORVA_CHANNEL_TARGET_TAG& target) {
    applyKeys(kTargetKeys, line, target);
    // A bit rate rules out a quality setting, whichever line came first.
    if (target.Video.VideoBitRate > 0)
        target.Video.VideoQuality = 0;
}

bool parseSettingsLine(const char* line, ORVA_GLOBAL_SETTINGS& settings) {
    return applyKeys(kSettingsKeys, line, settings);
}

bool parseContinuityLine(const char* line, ORVA_CHANNEL_CONTINUITY_TAG& continuity) {
    return applyKeys(kContinuityKeys, line, continuity);
}

void parseChannelLine(const char* line, ORVA_CHANNEL_TAG& channel, OrvaConfigBlock block) {
    switch (block) {
    case OrvaConfigBlock::Channel:
        applyKeys(kChannelKeys, line, channel);
        return;
    case OrvaConfigBlock::Input:
        applyKeys(kInputBlockKeys, line, channel);
        return;
    case OrvaConfigBlock::Output:
        if (!applyKeys(kOutputBlockKeys, line, channel))
            readFilterLine(line, channel);
        return;
    }
}
