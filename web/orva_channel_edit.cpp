// orva_channel_edit.cpp: applies the channel editor's form to a channel: the
// first source, the first target and the channel's own texts.
//
// DESIGN: the form reader gives each field's value decoded once, so a value
// is stored exactly as the operator typed it. Every value is read and
// checked before anything is written: an edit is applied whole, or refused
// whole (too large, or a value the table could not carry as written) and
// nothing changes. An accepted edit is saved before it takes effect
// (orva_save.h), so one that cannot be saved changes nothing either.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "config/orva_channel.h"
#include "config/orva_config.h"
#include "orva_channel_ops.h"
#include "orva_form.h"
#include "orva_revision.h"
#include "orva_utf8.h"
#include "service/orva_save.h"
#include "service/orva_service.h"

namespace {

using Channel = ORVA_CHANNEL_TAG;
using Continuity = ORVA_CHANNEL_CONTINUITY_TAG;

// How a value is checked and turned into its field, and what a missing one does.
enum class Kind {
    Text,           // stored as decoded; emptied when not given
    VideoOptions,   // a Text without "-map ", which the file reader drops from a target
    Switch,         // 1 when exactly "on", else 0; 0 when not given
    SourceAddress,  // stored into File, which the address then points at
    TargetAddress,
    Format,         // a format name; unknown names map to the vocabulary's fallback
    VideoCodec,
    AudioCodec,
    Integer,        // a whole number within [min, max]
    FrameRate,      // a decimal number >= 0, kept as a float
};

// `field` gives the place the value goes to; its type follows from `kind`:
// a text field, an int32_t, a float, or for the addresses the source or
// target record itself.
struct Param {
    const char* name;
    Kind kind;
    void* (*field)(Channel&);
    int32_t min = INT32_MIN;
    int32_t max = INT32_MAX;
    // In place of `field` for the settings kept beside the channel record.
    void* (*continuityField)(Continuity&) = nullptr;
};

// In the order they are applied.
const Param kParams[] = {
    {"sfmt", Kind::Format, [](Channel& c) -> void* { return &c.Sources[0].Format; }},
    {"surl", Kind::SourceAddress, [](Channel& c) -> void* { return &c.Sources[0]; }},
    {"memo", Kind::Text, [](Channel& c) -> void* { return c.Memo; }},
    {"svparam", Kind::Text, [](Channel& c) -> void* { return c.SourceVideoParam; }},
    {"sparam", Kind::Text, [](Channel& c) -> void* { return c.SourceParam; }},
    {"turl", Kind::TargetAddress, [](Channel& c) -> void* { return &c.Targets[0]; }},
    {"tfmt", Kind::Format, [](Channel& c) -> void* { return &c.Targets[0].Format; }},
    {"muxbr", Kind::Integer, [](Channel& c) -> void* { return &c.Targets[0].MuxBitRate; }},
    {"ev", Kind::Switch, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoEnable; }},
    {"cv", Kind::VideoCodec, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoCodec; }},
    {"vx", Kind::Integer, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoWidth; }},
    {"vy", Kind::Integer, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoHeight; }},
    {"vr", Kind::FrameRate, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoFrameRate; }},
    {"qv", Kind::Integer, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoQuality; }},
    {"vb", Kind::Integer, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoBitRate; }},
    {"kfi", Kind::Integer, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoKeyFrameInterval; }},
    {"deint", Kind::Switch, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoDeinterlace; }},
    {"tvparam", Kind::VideoOptions, [](Channel& c) -> void* { return c.Targets[0].VideoParam; }},
    {"ea", Kind::Switch, [](Channel& c) -> void* { return &c.Targets[0].Audio.AudioEnable; }},
    {"ca", Kind::AudioCodec, [](Channel& c) -> void* { return &c.Targets[0].Audio.AudioCodec; }},
    {"ar", Kind::Integer, [](Channel& c) -> void* { return &c.Targets[0].Audio.AudioSampleRate; }},
    {"ac", Kind::Integer, [](Channel& c) -> void* { return &c.Targets[0].Audio.AudioChannel; }},
    {"ab", Kind::Integer, [](Channel& c) -> void* { return &c.Targets[0].Audio.AudioBitRate; }},
    {"mparam", Kind::Text, [](Channel& c) -> void* { return c.MapParam; }},
    {"fparam", Kind::Text, [](Channel& c) -> void* { return c.FormatParam; }},
    {"rtmpflash", Kind::Text, [](Channel& c) -> void* { return c.Targets[0].RTMPFlashVer; }},
    {"rtmpswf", Kind::Text, [](Channel& c) -> void* { return c.Targets[0].RTMPSwfUrl; }},
    {"rtmpuser", Kind::Text, [](Channel& c) -> void* { return c.Targets[0].RTMPPubUser; }},
    {"rtmppass", Kind::Text, [](Channel& c) -> void* { return c.Targets[0].RTMPPubPass; }},
    {"tslen", Kind::Integer, [](Channel& c) -> void* { return &c.TimeShiftSec; }, 0, kOrvaMaxTimeShiftSec},
    {"tspath", Kind::Text, [](Channel& c) -> void* { return c.TimeShiftCacheFolder; }},
    {"tparam", Kind::Text, [](Channel& c) -> void* { return c.TargetParam; }},
    {"bsrc", Kind::Text, nullptr, INT32_MIN, INT32_MAX,
     [](Continuity& c) -> void* { return c.BackupSource; }},
    {"stimeout", Kind::Integer, nullptr, kOrvaMinSourceTimeoutMs, kOrvaMaxSourceTimeoutMs,
     [](Continuity& c) -> void* { return &c.SourceTimeout; }},
    {"ablack", Kind::Integer, nullptr, 0, kOrvaMaxAlarmSec, [](Continuity& c) -> void* { return &c.AlarmBlackSec; }},
    {"afreeze", Kind::Integer, nullptr, 0, kOrvaMaxAlarmSec, [](Continuity& c) -> void* { return &c.AlarmFreezeSec; }},
    {"asilent", Kind::Integer, nullptr, 0, kOrvaMaxAlarmSec, [](Continuity& c) -> void* { return &c.AlarmSilenceSec; }},
};
constexpr size_t kParamCount = std::size(kParams);

// One decoded value (empty when the field was not sent) and, once checked,
// its number.
struct Value {
    char text[ORVA_EDIT_VALUE_MAX + 1];
    size_t length = 0;
    int32_t number = 0;
    float rate = 0;

    std::string_view view() const { return {text, length}; }
};
// One for each row of kParams; too large for a connection thread's stack.
struct Values {
    Value at[kParamCount];
};

// What the operator reads for each field, in the page's words.
constexpr std::pair<std::string_view, std::string_view> kLabels[] = {
    {"sfmt", "Source Format"}, {"surl", "Media Source"}, {"memo", "Memo"},
    {"svparam", "Device Option"}, {"sparam", "Source Param"}, {"turl", "Target URL"},
    {"tfmt", "Target Format"}, {"muxbr", "Mux Bitrate"}, {"ev", "Enable Video"},
    {"cv", "Video Encoding"}, {"vx", "Frame width"}, {"vy", "Frame height"}, {"vr", "Frame Rate"},
    {"qv", "Quality"}, {"vb", "Video Bitrate"}, {"kfi", "Key Frame Interval"},
    {"deint", "Deinterlace"}, {"tvparam", "Advanced video options"}, {"ea", "Enable Audio"},
    {"ca", "Audio Encoding"}, {"ar", "Sample Rate"}, {"ac", "Channels"}, {"ab", "Audio Bitrate"},
    {"mparam", "Stream Mapping"}, {"fparam", "Format options"}, {"rtmpflash", "Flash Version"},
    {"rtmpswf", "SWF URL"}, {"rtmpuser", "Publish User"}, {"rtmppass", "Publish Password"},
    {"tslen", "Time Shift delay"}, {"tspath", "Cache Folder"}, {"tparam", "Target Param"},
    {"bsrc", "Backup Source"}, {"stimeout", "Source Timeout (ms)"}, {"ablack", "Black Alarm (s)"},
    {"afreeze", "Frozen Alarm (s)"}, {"asilent", "Silence Alarm (s)"},
};

std::string label(std::string_view name) {
    for (const auto& [field, text] : kLabels) {
        if (field == name)
            return std::string(text);
    }
    return std::string(name);
}

void refuse(std::string* reason, std::string text) {
    if (reason)
        *reason = std::move(text);
}

int readValues(std::string_view body, Values& values, std::string* reason) {
    for (size_t i = 0; i < kParamCount; i++) {
        Value& value = values.at[i];
        TextCursor out(value.text, sizeof value.text);
        if (orvaFormValue(body, kParams[i].name, out) == ORVA_FORM_TOO_LONG) {
            refuse(reason, label(kParams[i].name) + " is longer than 999 characters");
            return ORVA_WEB_TOO_LARGE;
        }
        value.length = out.length();
    }
    return 0;
}

// A text the file can carry and the documents can show.
bool isAcceptableText(std::string_view text) {
    return orvaIsStorableText(text) && orvaIsValidUtf8(text);
}

// An optional "-" and digits, nothing else, within the field's range.
bool parseInteger(std::string_view text, const Param& param, int32_t& number) {
    const char* end = text.data() + text.size();
    int32_t parsed = 0;
    auto result = std::from_chars(text.data(), end, parsed);
    if (result.ec != std::errc() || result.ptr != end)
        return false;
    if (parsed < param.min || parsed > param.max)
        return false;
    number = parsed;
    return true;
}

// Digits with at most one decimal point: no sign, exponent or blank.
// from_chars reads "." whatever the process locale says.
bool parseFrameRate(std::string_view text, float& rate) {
    if (text.find_first_not_of("0123456789.") != std::string_view::npos ||
        text.find('.') != text.rfind('.') || text == ".")
        return false;
    const char* end = text.data() + text.size();
    float parsed = 0;
    auto result = std::from_chars(text.data(), end, parsed, std::chars_format::fixed);
    if (result.ec != std::errc() || result.ptr != end || !std::isfinite(parsed))
        return false;
    rate = parsed;
    return true;
}

// False when the value cannot be stored as written; an empty number is one not given.
bool checkValue(const Param& param, Value& value) {
    std::string_view text = value.view();
    switch (param.kind) {
    case Kind::VideoOptions:
        if (text.find("-map ") != std::string_view::npos)
            return false;
        return isAcceptableText(text);
    case Kind::Text:
    case Kind::SourceAddress:
    case Kind::TargetAddress:
        return isAcceptableText(text);
    case Kind::Integer:
        return text.empty() || parseInteger(text, param, value.number);
    case Kind::FrameRate:
        return text.empty() || parseFrameRate(text, value.rate);
    case Kind::Switch:
    case Kind::Format:
    case Kind::VideoCodec:
    case Kind::AudioCodec:
        return true;
    }
    return true;
}

int32_t& asInt(void* field) { return *static_cast<int32_t*>(field); }

template <class Record>
void setAddress(Record& record, std::string_view text) {
    copyText(record.File, text);  // a value fits a field
    record.pszAddress = record.File;
}

// `value` is given and checked; its text is terminated.
void applyGiven(const Param& param, void* field, const Value& value) {
    switch (param.kind) {
    case Kind::SourceAddress: setAddress(*static_cast<ORVA_CHANNEL_SOURCE_TAG*>(field), value.view()); return;
    case Kind::TargetAddress: setAddress(*static_cast<ORVA_CHANNEL_TARGET_TAG*>(field), value.view()); return;
    case Kind::Format: asInt(field) = orvaGetFormatId(value.text); return;
    case Kind::VideoCodec: asInt(field) = orvaGetVideoCodecId(value.text); return;
    case Kind::AudioCodec: asInt(field) = orvaGetAudioCodecId(value.text); return;
    case Kind::Integer: asInt(field) = value.number; return;
    case Kind::FrameRate: *static_cast<float*>(field) = value.rate; return;
    case Kind::Text:
    case Kind::VideoOptions:
    case Kind::Switch: return;  // applyValue's
    }
}

void applyValue(Channel& ch, Continuity& continuity, const Param& param, const Value& value) {
    void* field = param.field ? param.field(ch) : param.continuityField(continuity);
    if (param.kind == Kind::Text || param.kind == Kind::VideoOptions) {
        copyText(static_cast<char*>(field), ORVA_TEXT_SIZE, value.view());
        return;
    }
    if (param.kind == Kind::Switch) {
        asInt(field) = value.view() == "on" ? 1 : 0;
        return;
    }
    if (value.length > 0)
        applyGiven(param, field, value);
}

size_t paramIndex(std::string_view name) {
    for (size_t i = 0; i < kParamCount; i++) {
        if (name == kParams[i].name)
            return i;
    }
    return kParamCount;
}

// The number a field will hold after the edit: the value given, or the one stored.
int32_t resultingNumber(Channel& ch, const Values& values, std::string_view name) {
    size_t i = paramIndex(name);
    if (values.at[i].length > 0)
        return values.at[i].number;
    return asInt(kParams[i].field(ch));
}

// A bitrate rules out a quality setting: the file reader keeps only the
// bitrate, so a target with both would change at the next start of the service.
bool qualityBesideBitrate(Channel& ch, const Values& values) {
    return resultingNumber(ch, values, "qv") > 0 && resultingNumber(ch, values, "vb") > 0;
}

// A source of any format but a file keeps its address as the rest of its
// line in the configuration file, which cannot begin with a blank.
bool addressLosesLeadingBlank(Channel& ch, const Values& values) {
    const Value& format = values.at[paramIndex("sfmt")];
    const Value& address = values.at[paramIndex("surl")];
    int32_t resultingFormat = format.length > 0 ? orvaGetFormatId(format.text) : ch.Sources[0].Format;
    std::string_view text = address.length > 0 ? address.view() : fieldText(ch.Sources[0].File);
    return resultingFormat != ORVA_FORMAT_FILE && !text.empty() && (text[0] == ' ' || text[0] == '\t');
}

// Why `value` was refused by checkValue, for the operator.
std::string whyRefused(const Param& param, const Value& value) {
    std::string name = label(param.name);
    switch (param.kind) {
    case Kind::Integer:
        return name + " must be a whole number from " + std::to_string(param.min) + " to " +
               std::to_string(param.max);
    case Kind::FrameRate:
        return name + " must be a decimal number of 0 or more, such as 29.97";
    case Kind::VideoOptions:
        if (value.view().find("-map ") != std::string_view::npos)
            return name + " may not hold -map (stream mapping belongs in Stream Mapping)";
        [[fallthrough]];
    default:
        if (!orvaIsValidUtf8(value.view()))
            return name + " is not valid UTF-8 text";
        return name + " may not hold a line break or another control character";
    }
}

// The values checked one by one; "" when each is acceptable.
std::string valueRefusal(Values& values) {
    for (size_t i = 0; i < kParamCount; i++) {
        if (!checkValue(kParams[i], values.at[i]))
            return whyRefused(kParams[i], values.at[i]);
    }
    return {};
}

// The values checked against the channel they change; "" when they fit it.
std::string channelRefusal(Channel& ch, const Values& values) {
    if (qualityBesideBitrate(ch, values))
        return "Quality and Video Bitrate exclude each other: set one of them to Default";
    if (addressLosesLeadingBlank(ch, values))
        return "A Media Source of this format may not begin with a blank";
    return {};
}

void applyValues(Channel& ch, Continuity& continuity, const Values& values) {
    if (ch.NumInputs < 1)
        ch.NumInputs = 1;
    if (ch.NumOutputs < 1)
        ch.NumOutputs = 1;
    for (size_t i = 0; i < kParamCount; i++)
        applyValue(ch, continuity, kParams[i], values.at[i]);
}

}  // namespace

int orvaEditChannel(int channel, const char* body, std::unique_lock<std::mutex>& serviceLock,
                    std::string* reason, const uint32_t* revision) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT || !body)
        return ORVA_WEB_NO_CHANNEL;
    if (orvaFormDecodedLength(body) > ORVA_EDIT_BODY_MAX) {
        refuse(reason, "The channel form is longer than 3999 characters");
        return ORVA_WEB_TOO_LARGE;
    }
    auto values = std::make_unique<Values>();
    if (readValues(body, *values, reason) != 0)
        return ORVA_WEB_TOO_LARGE;
    std::string why = valueRefusal(*values);
    if (!why.empty()) {
        refuse(reason, std::move(why));
        return ORVA_WEB_BAD_VALUE;
    }
    auto edited = std::make_unique<Channel>();
    auto editedContinuity = std::make_unique<Continuity>();
    OrvaChange change{
        [&](std::string& text) {
            if (orvaIsStale(channel, revision))
                return static_cast<int>(ORVA_WEB_STALE);
            Channel& ch = g_orvaChannels[channel];
            std::string mismatch = channelRefusal(ch, *values);
            if (!mismatch.empty()) {
                refuse(reason, std::move(mismatch));
                return static_cast<int>(ORVA_WEB_BAD_VALUE);
            }
            *edited = ch;
            *editedContinuity = g_orvaContinuity[channel];
            applyValues(*edited, *editedContinuity, *values);
            OrvaConfigRecords records = orvaLiveConfigRecords();
            records.channels[channel] = edited.get();
            records.continuity[channel] = editedContinuity.get();
            return orvaComposeConfigText(text, records) == 0
                       ? 0
                       : static_cast<int>(ORVA_WEB_NOT_SAVED);
        },
        [&] {
            applyValues(g_orvaChannels[channel], g_orvaContinuity[channel], *values);
            orvaBumpRevision(channel);
        }};
    int rc = orvaSaveChange(serviceLock, change);
    return rc == ORVA_SAVE_NOT_WRITTEN ? ORVA_WEB_NOT_SAVED : rc;
}

int orvaEditChannel(int channel, const char* body) {
    std::unique_lock<std::mutex> lock(g_serviceLock);
    return orvaEditChannel(channel, body, lock);
}
