// orva_channel_edit.cpp: applies the channel editor's form to a channel: the
// first source, the first target and the channel's own texts.
//
// DESIGN: the body is decoded once as a whole with "%26" kept, so the only
// "&" left are the field separators. Every value is looked up and checked
// against its limit before anything is written: an edit is applied whole or
// refused whole. Only the two addresses are decoded a second time, so an
// "&" typed into any other text is stored as the three characters "%26".
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "config/orva_channel.h"
#include "orva_channel_ops.h"
#include "orva_web.h"
#include "service/orva_service.h"

namespace {

using Channel = ORVA_CHANNEL_TAG;

// How a value is turned into its field, and what a missing one does.
enum class Kind {
    Text,           // stored as decoded; emptied when not given
    Switch,         // 1 when exactly "on", else 0; 0 when not given
    SourceAddress,  // decoded again into File, which the address then points at
    TargetAddress,
    Format,         // a format name
    VideoCodec,
    AudioCodec,
    Number,         // strtol: a value without digits gives 0
    Count,          // a decimal integer; anything else leaves the field as it is
    FrameRate,      // strtod, kept as a float
};

// `field` gives the place the value goes to; its type follows from `kind`:
// a text field, an int32_t, a float, or for the addresses the source or
// target record itself.
struct Param {
    const char* name;
    Kind kind;
    void* (*field)(Channel&);
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
    {"muxbr", Kind::Number, [](Channel& c) -> void* { return &c.Targets[0].MuxBitRate; }},
    {"ev", Kind::Switch, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoEnable; }},
    {"cv", Kind::VideoCodec, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoCodec; }},
    {"vx", Kind::Count, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoWidth; }},
    {"vy", Kind::Count, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoHeight; }},
    {"vr", Kind::FrameRate, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoFrameRate; }},
    {"qv", Kind::Number, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoQuality; }},
    {"vb", Kind::Number, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoBitRate; }},
    {"kfi", Kind::Number, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoKeyFrameInterval; }},
    {"deint", Kind::Switch, [](Channel& c) -> void* { return &c.Targets[0].Video.VideoDeinterlace; }},
    {"tvparam", Kind::Text, [](Channel& c) -> void* { return c.Targets[0].VideoParam; }},
    {"ea", Kind::Switch, [](Channel& c) -> void* { return &c.Targets[0].Audio.AudioEnable; }},
    {"ca", Kind::AudioCodec, [](Channel& c) -> void* { return &c.Targets[0].Audio.AudioCodec; }},
    {"ar", Kind::Number, [](Channel& c) -> void* { return &c.Targets[0].Audio.AudioSampleRate; }},
    {"ac", Kind::Count, [](Channel& c) -> void* { return &c.Targets[0].Audio.AudioChannel; }},
    {"ab", Kind::Number, [](Channel& c) -> void* { return &c.Targets[0].Audio.AudioBitRate; }},
    {"mparam", Kind::Text, [](Channel& c) -> void* { return c.MapParam; }},
    {"fparam", Kind::Text, [](Channel& c) -> void* { return c.FormatParam; }},
    {"rtmpflash", Kind::Text, [](Channel& c) -> void* { return c.Targets[0].RTMPFlashVer; }},
    {"rtmpswf", Kind::Text, [](Channel& c) -> void* { return c.Targets[0].RTMPSwfUrl; }},
    {"rtmpuser", Kind::Text, [](Channel& c) -> void* { return c.Targets[0].RTMPPubUser; }},
    {"rtmppass", Kind::Text, [](Channel& c) -> void* { return c.Targets[0].RTMPPubPass; }},
    {"tslen", Kind::Count, [](Channel& c) -> void* { return &c.TimeShiftSec; }},
    {"tspath", Kind::Text, [](Channel& c) -> void* { return c.TimeShiftCacheFolder; }},
    {"tparam", Kind::Text, [](Channel& c) -> void* { return c.TargetParam; }},
};
constexpr size_t kParamCount = std::size(kParams);

// The value behind the first "name=" anywhere in the body, up to the next
// "&"; a plain substring search, so an earlier value can hide a field.
std::string_view findValue(std::string_view body, const char* name) {
    char key[16];
    TextCursor t(key, sizeof key);
    appendf(t, "%s=", name);
    size_t at = body.find(t.view());
    if (at == std::string_view::npos)
        return {};
    std::string_view rest = body.substr(at + t.length());
    return rest.substr(0, rest.find('&'));
}

int32_t& asInt(void* field) { return *static_cast<int32_t*>(field); }

int32_t clampToInt32(long number) {
    return static_cast<int32_t>(std::clamp<long>(number, INT32_MIN, INT32_MAX));
}

// Like "%d": leading digits count; no digits, or a number beyond the field, change nothing.
void readCount(const char* text, int32_t& field) {
    char* end;
    long number = strtol(text, &end, 10);
    if (end != text && number >= INT32_MIN && number <= INT32_MAX)
        field = static_cast<int32_t>(number);
}

template <class Record>
void setAddress(Record& record, const char* text) {
    _urlDecode(text, record.File, 1);  // never longer than the value, which fits
    record.pszAddress = record.File;
}

// `text` is a given, terminated value.
void applyValue(const Param& param, void* field, const char* text) {
    switch (param.kind) {
    case Kind::SourceAddress: setAddress(*static_cast<ORVA_CHANNEL_SOURCE_TAG*>(field), text); return;
    case Kind::TargetAddress: setAddress(*static_cast<ORVA_CHANNEL_TARGET_TAG*>(field), text); return;
    case Kind::Format: asInt(field) = orvaGetFormatId(text); return;
    case Kind::VideoCodec: asInt(field) = orvaGetVideoCodecId(text); return;
    case Kind::AudioCodec: asInt(field) = orvaGetAudioCodecId(text); return;
    case Kind::Number: asInt(field) = clampToInt32(strtol(text, nullptr, 10)); return;
    case Kind::Count: readCount(text, asInt(field)); return;
    case Kind::FrameRate: *static_cast<float*>(field) = static_cast<float>(strtod(text, nullptr)); return;
    case Kind::Text:
    case Kind::Switch: return;  // applyParam's
    }
}

void applyParam(Channel& ch, const Param& param, std::string_view value) {
    void* field = param.field(ch);
    if (param.kind == Kind::Text) {
        copyText(static_cast<char*>(field), ORVA_TEXT_SIZE, value);
        return;
    }
    if (param.kind == Kind::Switch) {
        asInt(field) = value == "on" ? 1 : 0;
        return;
    }
    if (value.empty())
        return;
    char text[ORVA_TEXT_SIZE];
    copyText(text, value);
    applyValue(param, field, text);
}

}  // namespace

int orvaEditChannel(int channel, const char* body) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT || !body)
        return ORVA_WEB_NO_CHANNEL;
    // The decoded text is never longer than the body; only then is its length known.
    std::string decoded(strlen(body) + 1, '\0');
    _urlDecode(body, decoded.data(), 0);
    decoded.resize(strlen(decoded.c_str()));
    if (decoded.size() > ORVA_EDIT_BODY_MAX)
        return ORVA_WEB_TOO_LARGE;
    std::string_view values[kParamCount];
    for (size_t i = 0; i < kParamCount; i++) {
        values[i] = findValue(decoded, kParams[i].name);
        if (values[i].size() > ORVA_EDIT_VALUE_MAX)
            return ORVA_WEB_TOO_LARGE;
    }
    Channel& ch = g_orvaChannels[channel];
    if (ch.NumInputs < 1)
        ch.NumInputs = 1;
    if (ch.NumOutputs < 1)
        ch.NumOutputs = 1;
    for (size_t i = 0; i < kParamCount; i++)
        applyParam(ch, kParams[i], values[i]);
    orvaCGICallback(0);
    return 0;
}
