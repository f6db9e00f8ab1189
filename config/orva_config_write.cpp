// orva_config_write.cpp: writes the settings and all 64 channel blocks to the
// configuration file, which is replaced whole or not at all.
//
// Lines are indented by their nesting: channel tags at 0 blanks, the input and
// output blocks at 1, their keys and numbered sub-blocks at 2, and the lines of
// a source or target at 3. The reader ignores indentation.
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "engine/orva_text.h"
#include "orva_atomic_file.h"
#include "orva_config.h"

namespace {

using Text = char[ORVA_TEXT_SIZE];

void putQuoted(FILE* f, int indent, const char* key, const Text& field) {
    std::string_view text = fieldText(field);
    fprintf(f, "%*s%s \"%.*s\"\n", indent, "", key, static_cast<int>(text.size()), text.data());
}

void putWord(FILE* f, int indent, const char* key, const Text& field) {
    std::string_view text = fieldText(field);
    fprintf(f, "%*s%s %.*s\n", indent, "", key, static_cast<int>(text.size()), text.data());
}

// Ids without a name are written as the name the reader falls back to anyway.
const char* formatName(int32_t format) {
    const char* name = orvaGetFormatName(static_cast<ORVA_FORMAT>(format));
    return name ? name : "file";
}

const char* videoCodecName(int32_t codec) {
    const char* name = orvaGetCodecName(static_cast<unsigned>(codec));
    return name ? name : "H264";
}

const char* audioCodecName(int32_t codec) {
    const char* name = orvaGetCodecName(static_cast<unsigned>(codec));
    return name ? name : "AAC";
}

const char* dotted(uint64_t address) {
    return Inet_ntoa(static_cast<unsigned long>(address & 0xffffffffu));
}

const char* headerMode(int32_t globalHeader) { return globalHeader ? "OutOfBand" : "InBand"; }

void writeSettings(FILE* f, const ORVA_GLOBAL_SETTINGS& s) {
    fprintf(f, "# Kestova Configuration File\n\n");
    fprintf(f, "Log %d\nHTTPPort %d\nRTSPPort %d\n", s.Log, s.HTTPPort, s.RTSPPort);
    fprintf(f, "AutoStart %d\nAutoRestart %d\nCpuPerChannel %d\n", s.AutoStart, s.AutoRestart,
            s.CpuPerChannel);
    fprintf(f, "StreamTimeLimit %d\nFolderRecur %d\nFolderShuffle %d\n", s.StreamTimeLimit,
            s.FolderRecur, s.FolderShuffle);
    putWord(f, 0, "LoginPass", s.LoginPass);
    fprintf(f, "\n");
}

void writeRtpSource(FILE* f, const ORVA_CHANNEL_SOURCE_TAG& s) {
    const ORVA_VIDEO_TAG& v = s.Video;
    fprintf(f, "   VideoEnable %d\n   VideoCodec %s\n", v.VideoEnable, videoCodecName(v.VideoCodec));
    fprintf(f, "   VideoIP %s\n", dotted(v.VideoSourceIP));
    fprintf(f, "   VideoPort %d\n", v.VideoSourcePort);
    putQuoted(f, 3, "VideoFmtp", v.VideoFmtp);
    const ORVA_AUDIO_TAG& a = s.Audio;
    fprintf(f, "   AudioEnable %d\n   AudioCodec %s\n", a.AudioEnable, audioCodecName(a.AudioCodec));
    fprintf(f, "   AudioSampleRate %d\n   AudioChannel %d\n", a.AudioSampleRate, a.AudioChannel);
    fprintf(f, "   AudioIP %s\n", dotted(a.AudioSourceIP));
    fprintf(f, "   AudioPort %d\n", a.AudioSourcePort);
    putQuoted(f, 3, "AudioFmtp", a.AudioFmtp);
}

void writeSource(FILE* f, const ORVA_CHANNEL_SOURCE_TAG& s) {
    // An unknown format is written, and read back, as a file source.
    int32_t format = orvaGetFormatName(static_cast<ORVA_FORMAT>(s.Format)) ? s.Format
                                                                           : ORVA_FORMAT_FILE;
    fprintf(f, "   Format %s\n", formatName(format));
    switch (format) {
    case ORVA_FORMAT_FILE:
        putQuoted(f, 3, "File", s.File);
        return;
    case ORVA_FORMAT_DEVICE:
    case ORVA_FORMAT_DECKLINK:
    case ORVA_FORMAT_NDI:
        putWord(f, 3, "File", s.File);
        return;
    case ORVA_FORMAT_RTP:
        writeRtpSource(f, s);
        return;
    default:
        return;
    }
}

void writeTargetVideo(FILE* f, const ORVA_CHANNEL_TARGET_TAG& t) {
    const ORVA_VIDEO_TAG& v = t.Video;
    fprintf(f, "   VideoEnable %d\n   VideoCodec %s\n", v.VideoEnable, videoCodecName(v.VideoCodec));
    fprintf(f, "   VideoWidth %d\n   VideoHeight %d\n", v.VideoWidth, v.VideoHeight);
    fprintf(f, "   VideoFrameRate %g\n", static_cast<double>(v.VideoFrameRate));
    fprintf(f, "   VideoKeyFrameInterval %d\n   VideoQuality %d\n", v.VideoKeyFrameInterval,
            v.VideoQuality);
    fprintf(f, "   VideoBitRate %d\n   VideoDeinterlace %d\n", v.VideoBitRate, v.VideoDeinterlace);
    fprintf(f, "   VideoIP %s\n", dotted(v.VideoTargetIP));
    fprintf(f, "   VideoPort %d\n", v.VideoTargetPort);
    fprintf(f, "   VideoGlobalHeader %s\n", headerMode(v.VideoGlobalHeader));
    putQuoted(f, 3, "VideoParam", t.VideoParam);
}

void writeTargetAudio(FILE* f, const ORVA_CHANNEL_TARGET_TAG& t) {
    const ORVA_AUDIO_TAG& a = t.Audio;
    fprintf(f, "   AudioEnable %d\n   AudioCodec %s\n", a.AudioEnable, audioCodecName(a.AudioCodec));
    fprintf(f, "   AudioSampleRate %d\n   AudioChannel %d\n", a.AudioSampleRate, a.AudioChannel);
    fprintf(f, "   AudioBitRate %d\n", a.AudioBitRate);
    fprintf(f, "   AudioIP %s\n", dotted(a.AudioTargetIP));
    fprintf(f, "   AudioPort %d\n", a.AudioTargetPort);
    fprintf(f, "   AudioGlobalHeader %s\n", headerMode(a.AudioGlobalHeader));
    putQuoted(f, 3, "AudioParam", t.AudioParam);
}

void writeTarget(FILE* f, const ORVA_CHANNEL_TARGET_TAG& t) {
    fprintf(f, "   Format %s\n", formatName(t.Format));
    writeTargetVideo(f, t);
    writeTargetAudio(f, t);
    fprintf(f, "   MuxBitRate %d\n", t.MuxBitRate);
    putWord(f, 3, "RTMPFlashVer", t.RTMPFlashVer);
    putWord(f, 3, "RTMPSwfUrl", t.RTMPSwfUrl);
    putWord(f, 3, "RTMPPubUser", t.RTMPPubUser);
    putWord(f, 3, "RTMPPubPass", t.RTMPPubPass);
    putQuoted(f, 3, "File", t.File);
}

// " <Input>", the count line and the numbered sub-blocks "<Input1>" … of one block.
template <typename Record, size_t N>
void writeNumbered(FILE* f, const char* tag, int count, const Record (&records)[N],
                   void (*write)(FILE*, const Record&)) {
    int written = std::clamp(count, 0, static_cast<int>(N));
    fprintf(f, " <%s>\n  Num%ss %d\n", tag, tag, written);
    for (int k = 1; k <= written; k++) {
        fprintf(f, "  <%s%d>\n", tag, k);
        write(f, records[k - 1]);
        fprintf(f, "  </%s%d>\n", tag, k);
    }
}

void writeInputBlock(FILE* f, const ORVA_CHANNEL_TAG& ch) {
    writeNumbered(f, "Input", ch.NumInputs, ch.Sources, writeSource);
    putQuoted(f, 2, "VideoParam", ch.SourceVideoParam);
    putQuoted(f, 2, "SourceParam", ch.SourceParam);
    fprintf(f, " </Input>\n");
}

void writeOutputBlock(FILE* f, const ORVA_CHANNEL_TAG& ch) {
    writeNumbered(f, "Output", ch.NumOutputs, ch.Targets, writeTarget);
    putQuoted(f, 2, "MapParam", ch.MapParam);
    putQuoted(f, 2, "FormatParam", ch.FormatParam);
    int filters = std::clamp(ch.Filters, 0, kOrvaMaxFilters);
    fprintf(f, "  Filters %d\n", filters);
    for (int k = 1; k <= filters; k++) {
        std::string_view text = fieldText(ch.Filter[k - 1]);
        fprintf(f, "  Filter[%d] \"%.*s\"\n", k, static_cast<int>(text.size()), text.data());
    }
    fprintf(f, "  TimeShiftSec %d\n", ch.TimeShiftSec);
    putQuoted(f, 2, "TimeShiftCacheFolder", ch.TimeShiftCacheFolder);
    putQuoted(f, 2, "TargetParam", ch.TargetParam);
    putQuoted(f, 2, "Memo", ch.Memo);
    fprintf(f, " </Output>\n");
}

void writeChannel(FILE* f, int number, const ORVA_CHANNEL_TAG& ch) {
    fprintf(f, "<Channel%d>\nEnable %d\n", number, ch.Enable);
    writeInputBlock(f, ch);
    writeOutputBlock(f, ch);
    fprintf(f, "</Channel%d>\n", number);
}

}  // namespace

int orvaExportConfig(const char* path) {
    const char* target = path ? path : orvaGetConfigFile();
    if (target[0] == '\0')
        return 0;
    AtomicFile file(target);
    if (!file.stream())
        return -1;
    setlocale(LC_ALL, "");
    writeSettings(file.stream(), g_globalSettings);
    for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++)
        writeChannel(file.stream(), channel + 1, g_orvaChannels[channel]);
    return file.commit();
}
