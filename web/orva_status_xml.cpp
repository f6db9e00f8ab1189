// orva_status_xml.cpp: the XML documents of the endpoints: the state of all
// channels and the settings of one channel.
//
// Every text goes through the one escaper, names from the vocabularies too,
// and numbers are written with std::to_chars, so a document parses whatever
// the table holds and whatever the process locale is.
#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>

#include "config/orva_channel.h"
#include "orva_channel_ops.h"
#include "orva_revision.h"
#include "orva_xml.h"
#include "service/orva_channel_ctl.h"

namespace {

constexpr size_t kStatusSize = 100;
constexpr int kFrameRateDecimals = 6;

std::string_view formatName(int32_t format) {
    const char* name = orvaGetFormatName(static_cast<ORVA_FORMAT>(format));
    return name ? name : "";
}

std::string_view codecName(int32_t codec) {
    const char* name = orvaGetCodecName(static_cast<unsigned>(codec));
    return name ? name : "";
}

void appendInt(TextCursor& out, int32_t number) {
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, number);
    append(out, {digits, static_cast<size_t>(result.ptr - digits)});
}

// ` name="text"`
void textAttribute(TextCursor& out, std::string_view name, std::string_view text) {
    append(out, " ");
    append(out, name);
    append(out, "=\"");
    orvaXmlEscape(out, text);
    append(out, "\"");
}

void intAttribute(TextCursor& out, std::string_view name, int32_t number) {
    append(out, " ");
    append(out, name);
    append(out, "=\"");
    appendInt(out, number);
    append(out, "\"");
}

// Six decimals, as "%f" gives them in the C locale.
void frameRateAttribute(TextCursor& out, std::string_view name, float rate) {
    char digits[64];  // the largest float has 39 digits before the point
    auto result = std::to_chars(digits, digits + sizeof digits, static_cast<double>(rate),
                                std::chars_format::fixed, kFrameRateDecimals);
    if (result.ec != std::errc()) {
        out.truncated = true;
        return;
    }
    textAttribute(out, name, {digits, static_cast<size_t>(result.ptr - digits)});
}

// `<name>text</name>` and a line end.
void textElement(TextCursor& out, std::string_view name, std::string_view text) {
    appendf(out, "<%.*s>", static_cast<int>(name.size()), name.data());
    orvaXmlEscape(out, text);
    appendf(out, "</%.*s>\n", static_cast<int>(name.size()), name.data());
}

constexpr std::string_view kStopped = "<state>stop</state><status>STOPPED</status>";

// What a running or stopping channel reports.
void appendChannelState(TextCursor& out, int channel, int state) {
    if (state == ORVA_STATE_RUNNING) {
        // "RUNNING" stands when the channel has nothing to report yet.
        char status[kStatusSize] = "RUNNING";
        orvaGetChannelStatus(channel, status, kStatusSize);
        append(out, "<state>start</state><status>");
        orvaXmlEscape(out, fieldText(status));
        append(out, "</status>");
    } else {
        append(out, "<state>term</state><status>TERMINATING</status>");
    }
}

// Each channel's line when it is not configured and when it is stopped, and
// the opening of its line, made once: a page polls the status every second
// and most channels are in one of the first two.
struct StatusLines {
    std::string opening[ORVA_CHANNEL_COUNT];
    std::string unconfigured[ORVA_CHANNEL_COUNT];
    std::string stopped[ORVA_CHANNEL_COUNT];
};

const StatusLines& statusLines() {
    static const StatusLines lines = [] {
        StatusLines made;
        for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++) {
            std::string opening = "<ch id=\"" + std::to_string(channel + 1) + "\">";
            made.unconfigured[channel] = opening + "</ch>\n";
            made.stopped[channel] = opening + std::string(kStopped) + "</ch>\n";
            made.opening[channel] = std::move(opening);
        }
        return made;
    }();
    return lines;
}

// `<ch id="N" rev="R">`; a channel not changed since the service started
// (revision 0) has no rev, so its line is one of those made once.
void appendOpening(TextCursor& out, int channel, uint32_t revision) {
    appendf(out, "<ch id=\"%d\" rev=\"%u\">", channel + 1, revision);
}

void appendChannelLine(TextCursor& out, int channel, const StatusLines& lines) {
    uint32_t revision = orvaChannelRevision(channel);
    bool valid = isChannelValid(channel);
    int state = valid ? orvaGetChannelState(channel) : ORVA_STATE_IDLE;
    bool active = state == ORVA_STATE_RUNNING || state == ORVA_STATE_STOPPING;
    if (revision == 0 && !active) {
        append(out, valid ? lines.stopped[channel] : lines.unconfigured[channel]);
        return;
    }
    if (revision == 0)
        append(out, lines.opening[channel]);
    else
        appendOpening(out, channel, revision);
    if (active)
        appendChannelState(out, channel, state);
    else if (valid)
        append(out, kStopped);
    append(out, "</ch>\n");
}

void appendSource(TextCursor& out, const ORVA_CHANNEL_TAG& ch) {
    append(out, "<root><source");
    textAttribute(out, "format", formatName(ch.Sources[0].Format));
    append(out, ">\n");
    textElement(out, "url", fieldText(ch.Sources[0].File));
    textElement(out, "param", fieldText(ch.SourceParam));
    textElement(out, "svparam", fieldText(ch.SourceVideoParam));
    append(out, "</source>\n");
}

void appendVideo(TextCursor& out, const ORVA_CHANNEL_TARGET_TAG& t) {
    const ORVA_VIDEO_TAG& v = t.Video;
    intAttribute(out, "venable", v.VideoEnable);
    textAttribute(out, "vcodec", codecName(v.VideoCodec));
    intAttribute(out, "width", v.VideoWidth);
    intAttribute(out, "height", v.VideoHeight);
    frameRateAttribute(out, "fps", v.VideoFrameRate);
    intAttribute(out, "quality", v.VideoQuality);
    intAttribute(out, "vbr", v.VideoBitRate);
    intAttribute(out, "kfi", v.VideoKeyFrameInterval);
    intAttribute(out, "deint", v.VideoDeinterlace);
    textAttribute(out, "tvparam", fieldText(t.VideoParam));
}

void appendAudio(TextCursor& out, const ORVA_CHANNEL_TARGET_TAG& t) {
    const ORVA_AUDIO_TAG& a = t.Audio;
    intAttribute(out, "aenable", a.AudioEnable);
    textAttribute(out, "acodec", codecName(a.AudioCodec));
    intAttribute(out, "srate", a.AudioSampleRate);
    intAttribute(out, "ach", a.AudioChannel);
    intAttribute(out, "abr", a.AudioBitRate);
}

void appendTarget(TextCursor& out, const ORVA_CHANNEL_TARGET_TAG& t) {
    append(out, "<target");
    textAttribute(out, "format", formatName(t.Format));
    appendVideo(out, t);
    appendAudio(out, t);
    intAttribute(out, "muxbr", t.MuxBitRate);
    textAttribute(out, "rtmpflash", fieldText(t.RTMPFlashVer));
    textAttribute(out, "rtmpswf", fieldText(t.RTMPSwfUrl));
    textAttribute(out, "rtmpuser", fieldText(t.RTMPPubUser));
    textAttribute(out, "rtmppass", fieldText(t.RTMPPubPass));
    append(out, ">\n");
    orvaXmlEscape(out, fieldText(t.File));
    append(out, "\n</target>\n");
}

void intElement(TextCursor& out, std::string_view name, int32_t number) {
    append(out, "<");
    append(out, name);
    append(out, ">");
    appendInt(out, number);
    append(out, "</");
    append(out, name);
    append(out, ">\n");
}

void appendChannelTexts(TextCursor& out, const ORVA_CHANNEL_TAG& ch) {
    textElement(out, "map", fieldText(ch.MapParam));
    textElement(out, "format", fieldText(ch.FormatParam));
    intElement(out, "tslen", ch.TimeShiftSec);
    textElement(out, "tspath", fieldText(ch.TimeShiftCacheFolder));
    textElement(out, "param", fieldText(ch.TargetParam));
    textElement(out, "memo", fieldText(ch.Memo));
}

void appendContinuity(TextCursor& out, const ORVA_CHANNEL_CONTINUITY_TAG& c) {
    textElement(out, "bsrc", fieldText(c.BackupSource));
    intElement(out, "stimeout", c.SourceTimeout);
    intElement(out, "ablack", c.AlarmBlackSec);
    intElement(out, "afreeze", c.AlarmFreezeSec);
    intElement(out, "asilent", c.AlarmSilenceSec);
}

}  // namespace

bool orvaComposeStatus(TextCursor& out) {
    const StatusLines& lines = statusLines();
    append(out, "<root>\n");
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++)
        appendChannelLine(out, channel, lines);
    append(out, "</root>");
    return !out.truncated;
}

int orvaComposeChannel(int channel, TextCursor& out) {
    if (!isChannelValid(channel))
        return ORVA_WEB_NOT_CONFIGURED;
    const ORVA_CHANNEL_TAG& ch = g_orvaChannels[channel];
    appendSource(out, ch);
    int targets = std::clamp(ch.NumOutputs, 0, kOrvaMaxTargets);
    append(out, "<targets");
    intAttribute(out, "total", targets);
    append(out, ">\n");
    for (int t = 0; t < targets; t++)
        appendTarget(out, ch.Targets[t]);
    appendChannelTexts(out, ch);
    append(out, "</targets>\n");
    appendContinuity(out, g_orvaContinuity[channel]);
    append(out, "</root>\n");
    return out.truncated ? ORVA_WEB_TOO_LONG : 0;
}
