// orva_status_xml.cpp: the XML documents of the endpoints: the state of all
// channels, the settings of one channel, and the escaping of texts in them.
//
// Only stream addresses and status texts are escaped; every other text goes
// in as stored, which is what the page reads back.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "config/orva_channel.h"
#include "orva_channel_api.h"
#include "orva_channel_ops.h"
#include "service/orva_channel_ctl.h"

namespace {

using Text = char[ORVA_TEXT_SIZE];

// Escaping stops once this many characters are written; an entity begun
// below the mark is written whole.
constexpr size_t kEscapeMark = 1000;
constexpr size_t kStatusSize = 100;

std::string_view entityOf(const char& c) {
    switch (c) {
    case '"': return "&quot;";
    case '&': return "&amp;";
    case '\'': return "&apos;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    default: return {&c, 1};
    }
}

// A stored text, as `%.*s` takes it: a full field may lack its terminator.
int lengthOf(const Text& field) { return static_cast<int>(fieldText(field).size()); }

const char* formatName(int32_t format) {
    const char* name = orvaGetFormatName(static_cast<ORVA_FORMAT>(format));
    return name ? name : "";
}

const char* codecName(int32_t codec) {
    const char* name = orvaGetCodecName(static_cast<unsigned>(codec));
    return name ? name : "";
}

void appendEscaped(TextCursor& out, const Text& address) {
    char text[ORVA_XML_ESCAPED_SIZE];
    copyText(text, fieldText(address));
    _xmlEscape(text);
    append(out, text);
}

void appendChannelState(TextCursor& out, int channel) {
    int state = orvaGetChannelState(channel);
    if (state == ORVA_STATE_RUNNING) {
        // "RUNNING" stands when the channel has nothing to report yet.
        char status[ORVA_XML_ESCAPED_SIZE] = "RUNNING";
        orvaGetChannelStatus(channel, status, kStatusSize);
        _xmlEscape(status);
        appendf(out, "<state>start</state><status>%s</status>", status);
    } else if (state == ORVA_STATE_STOPPING) {
        append(out, "<state>term</state><status>TERMINATING</status>");
    } else {
        append(out, "<state>stop</state><status>STOPPED</status>");
    }
}

void appendSource(TextCursor& out, const ORVA_CHANNEL_TAG& ch) {
    appendf(out, "<root><source format=\"%s\">\n<url>", formatName(ch.Sources[0].Format));
    appendEscaped(out, ch.Sources[0].File);
    appendf(out, "</url>\n<param>%.*s</param>\n<svparam>%.*s</svparam>\n</source>\n",
            lengthOf(ch.SourceParam), ch.SourceParam, lengthOf(ch.SourceVideoParam),
            ch.SourceVideoParam);
}

void appendTarget(TextCursor& out, const ORVA_CHANNEL_TARGET_TAG& t) {
    const ORVA_VIDEO_TAG& v = t.Video;
    const ORVA_AUDIO_TAG& a = t.Audio;
    appendf(out, "<target format=\"%s\" venable=\"%d\" vcodec=\"%s\" width=\"%d\" height=\"%d\" "
            "fps=\"%f\" quality=\"%d\" vbr=\"%d\" kfi=\"%d\" deint=\"%d\" tvparam=\"%.*s\" ",
            formatName(t.Format), v.VideoEnable, codecName(v.VideoCodec), v.VideoWidth,
            v.VideoHeight, static_cast<double>(v.VideoFrameRate), v.VideoQuality, v.VideoBitRate,
            v.VideoKeyFrameInterval, v.VideoDeinterlace, lengthOf(t.VideoParam), t.VideoParam);
    appendf(out, "aenable=\"%d\" acodec=\"%s\" srate=\"%d\" ach=\"%d\" abr=\"%d\" muxbr=\"%d\" ",
            a.AudioEnable, codecName(a.AudioCodec), a.AudioSampleRate, a.AudioChannel,
            a.AudioBitRate, t.MuxBitRate);
    appendf(out, "rtmpflash=\"%.*s\" rtmpswf=\"%.*s\" rtmpuser=\"%.*s\" rtmppass=\"%.*s\">\n",
            lengthOf(t.RTMPFlashVer), t.RTMPFlashVer, lengthOf(t.RTMPSwfUrl), t.RTMPSwfUrl,
            lengthOf(t.RTMPPubUser), t.RTMPPubUser, lengthOf(t.RTMPPubPass), t.RTMPPubPass);
    appendEscaped(out, t.File);
    append(out, "\n</target>\n");
}

void appendChannelTexts(TextCursor& out, const ORVA_CHANNEL_TAG& ch) {
    appendf(out, "<map>%.*s</map>\n<format>%.*s</format>\n<tslen>%d</tslen>\n",
            lengthOf(ch.MapParam), ch.MapParam, lengthOf(ch.FormatParam), ch.FormatParam,
            ch.TimeShiftSec);
    appendf(out, "<tspath>%.*s</tspath>\n<param>%.*s</param>\n<memo>%.*s</memo>\n",
            lengthOf(ch.TimeShiftCacheFolder), ch.TimeShiftCacheFolder,
            lengthOf(ch.TargetParam), ch.TargetParam, lengthOf(ch.Memo), ch.Memo);
}

}  // namespace

void _xmlEscape(char* text) {
    char work[ORVA_XML_ESCAPED_SIZE];
    TextCursor out(work, sizeof work);
    for (const char* c = text; *c && out.length() < kEscapeMark; c++)
        append(out, entityOf(*c));
    memcpy(text, work, out.length() + 1);
}

bool orvaComposeStatus(TextCursor& out) {
    append(out, "<root>\n");
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++) {
        appendf(out, "<ch id=\"%d\">", channel + 1);
        if (isChannelValid(channel))
            appendChannelState(out, channel);
        append(out, "</ch>\n");
    }
    append(out, "</root>");
    return !out.truncated;
}

int orvaComposeChannel(int channel, TextCursor& out) {
    if (!isChannelValid(channel))
        return ORVA_WEB_NOT_CONFIGURED;
    const ORVA_CHANNEL_TAG& ch = g_orvaChannels[channel];
    appendSource(out, ch);
    int targets = std::clamp(ch.NumOutputs, 0, kOrvaMaxTargets);
    appendf(out, "<targets total=\"%d\">\n", targets);
    for (int t = 0; t < targets; t++)
        appendTarget(out, ch.Targets[t]);
    appendChannelTexts(out, ch);
    append(out, "</targets>\n</root>\n");
    return out.truncated ? ORVA_WEB_TOO_LONG : 0;
}
