// orva_config_write.cpp: writes the settings and all 64 channel blocks to the
// configuration file, which is replaced whole or not at all.
//
// Lines are indented by their nesting: channel tags at 0 blanks, the input and
// output blocks at 1, their keys and numbered sub-blocks at 2, and the lines of
// a source or target at 3. The reader ignores indentation.
//
// Every record is written in the form the reader leaves it in
// (orvaNormaliseChannel), and every field the reader takes is written, so
// the file reads back to the same table and saves again to the same bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "engine/orva_codec.h"
#include "engine/orva_text.h"
#include "orva_atomic_file.h"
#include "orva_config.h"
#include "orva_file_locale.h"

namespace {

using Text = char[ORVA_TEXT_SIZE];

// Texts are storable here: no line break can end up inside a value.
void putQuoted(FILE* f, int indent, const char* key, const Text& field) {
    std::string_view text = fieldText(field);
    fprintf(f, "%*s%s \"%.*s\"\n", indent, "", key, static_cast<int>(text.size()), text.data());
}

// The rest of the line behind the key's one blank.
void putRest(FILE* f, int indent, const char* key, const Text& field) {
    std::string_view text = fieldText(field);
    fprintf(f, "%*s%s %.*s\n", indent, "", key, static_cast<int>(text.size()), text.data());
}

// A normalised record's formats and codecs all have names.
const char* formatName(int32_t format) {
    return orvaGetFormatName(static_cast<ORVA_FORMAT>(format));
}

const char* codecName(int32_t codec) {
    const OrvaVocabEntry* entry = orvaVocabCodec(codec);
    return entry ? entry->config : nullptr;
}

const char* dotted(uint64_t address) {
    return Inet_ntoa(static_cast<unsigned long>(address & 0xffffffffu));
}

const char* headerMode(int32_t globalHeader) { return globalHeader ? "OutOfBand" : "InBand"; }

// The shortest decimal that reads back as the same number.
void putFrameRate(FILE* f, float rate) {
    char text[64];
    for (int digits = 6; digits <= 9; digits++) {
        snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(rate));
        if (strtof(text, nullptr) == rate)
            break;
    }
    fprintf(f, "   VideoFrameRate %s\n", text);
}

void writeSettings(FILE* f, const ORVA_GLOBAL_SETTINGS& s) {
    fprintf(f, "# Kestova Configuration File\n\n");
    fprintf(f, "Log %d\nHTTPPort %d\nRTSPPort %d\n", s.Log, s.HTTPPort, s.RTSPPort);
    fprintf(f, "AutoStart %d\nAutoRestart %d\nCpuPerChannel %d\n", s.AutoStart, s.AutoRestart,
            s.CpuPerChannel);
    fprintf(f, "StreamTimeLimit %d\nFolderRecur %d\nFolderShuffle %d\n", s.StreamTimeLimit,
            s.FolderRecur, s.FolderShuffle);
    putRest(f, 0, "LoginPass", s.LoginPass);
    fprintf(f, "\n");
}

// The stream keys of a source: an RTP source needs them all, and any other
// source keeps them too, so every field the reader takes survives a save.
void writeSourceStreams(FILE* f, const ORVA_CHANNEL_SOURCE_TAG& s) {
    const ORVA_VIDEO_TAG& v = s.Video;
    fprintf(f, "   VideoEnable %d\n   VideoCodec %s\n", v.VideoEnable, codecName(v.VideoCodec));
    fprintf(f, "   VideoIP %s\n", dotted(v.VideoSourceIP));
    fprintf(f, "   VideoPort %d\n", v.VideoSourcePort);
    putQuoted(f, 3, "VideoFmtp", v.VideoFmtp);
    const ORVA_AUDIO_TAG& a = s.Audio;
    fprintf(f, "   AudioEnable %d\n   AudioCodec %s\n", a.AudioEnable, codecName(a.AudioCodec));
    fprintf(f, "   AudioSampleRate %d\n   AudioChannel %d\n", a.AudioSampleRate, a.AudioChannel);
    fprintf(f, "   AudioIP %s\n", dotted(a.AudioSourceIP));
    fprintf(f, "   AudioPort %d\n", a.AudioSourcePort);
    putQuoted(f, 3, "AudioFmtp", a.AudioFmtp);
}

// File follows the Format that decides how it is read: quoted for a file
// source, the rest of the line for every other one.
void writeSource(FILE* f, const ORVA_CHANNEL_SOURCE_TAG& s) {
    fprintf(f, "   Format %s\n", formatName(s.Format));
    if (s.Format == ORVA_FORMAT_FILE)
        putQuoted(f, 3, "File", s.File);
    else
        putRest(f, 3, "File", s.File);
    writeSourceStreams(f, s);
}

void writeTargetVideo(FILE* f, const ORVA_CHANNEL_TARGET_TAG& t) {
    const ORVA_VIDEO_TAG& v = t.Video;
    fprintf(f, "   VideoEnable %d\n   VideoCodec %s\n", v.VideoEnable, codecName(v.VideoCodec));
    fprintf(f, "   VideoWidth %d\n   VideoHeight %d\n", v.VideoWidth, v.VideoHeight);
    putFrameRate(f, v.VideoFrameRate);
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
    fprintf(f, "   AudioEnable %d\n   AudioCodec %s\n", a.AudioEnable, codecName(a.AudioCodec));
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
    putRest(f, 3, "RTMPFlashVer", t.RTMPFlashVer);
    putRest(f, 3, "RTMPSwfUrl", t.RTMPSwfUrl);
    putRest(f, 3, "RTMPPubUser", t.RTMPPubUser);
    putRest(f, 3, "RTMPPubPass", t.RTMPPubPass);
    putQuoted(f, 3, "File", t.File);
}

// " <Input>", the count line and the numbered sub-blocks "<Input1>" … of one block.
template <typename Record, size_t N>
void writeNumbered(FILE* f, const char* tag, int count, const Record (&records)[N],
                   void (*write)(FILE*, const Record&)) {
    fprintf(f, " <%s>\n  Num%ss %d\n", tag, tag, count);
    for (int k = 1; k <= count && k <= static_cast<int>(N); k++) {
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
    fprintf(f, "  Filters %d\n", ch.Filters);
    for (int k = 1; k <= ch.Filters && k <= kOrvaMaxFilters; k++) {
        std::string_view text = fieldText(ch.Filter[k - 1]);
        fprintf(f, "  Filter[%d] \"%.*s\"\n", k, static_cast<int>(text.size()), text.data());
    }
    fprintf(f, "  TimeShiftSec %d\n", ch.TimeShiftSec);
    putQuoted(f, 2, "TimeShiftCacheFolder", ch.TimeShiftCacheFolder);
    putQuoted(f, 2, "TargetParam", ch.TargetParam);
    putQuoted(f, 2, "Memo", ch.Memo);
    fprintf(f, " </Output>\n");
}

void writeContinuity(FILE* f, const ORVA_CHANNEL_CONTINUITY_TAG& c) {
    putQuoted(f, 0, "BackupSource", c.BackupSource);
    fprintf(f, "SourceTimeout %d\nAlarmBlackSec %d\n", c.SourceTimeout, c.AlarmBlackSec);
    fprintf(f, "AlarmFreezeSec %d\nAlarmSilenceSec %d\n", c.AlarmFreezeSec, c.AlarmSilenceSec);
}

void writeChannel(FILE* f, int number, const ORVA_CHANNEL_TAG& ch,
                  const ORVA_CHANNEL_CONTINUITY_TAG& continuity) {
    fprintf(f, "<Channel%d>\nEnable %d\n", number, ch.Enable);
    writeInputBlock(f, ch);
    writeOutputBlock(f, ch);
    writeContinuity(f, continuity);
    fprintf(f, "</Channel%d>\n", number);
}

void writeConfig(FILE* f, const OrvaConfigRecords& records) {
    FileLocale locale;
    ORVA_GLOBAL_SETTINGS settings = *records.settings;
    orvaNormaliseSettings(settings);
    writeSettings(f, settings);
    // One copy at a time: a channel record is too large for a thread's stack.
    auto channel = std::make_unique<ORVA_CHANNEL_TAG>();
    for (int index = 0; index < ORVA_CHANNEL_COUNT; index++) {
        *channel = *records.channels[index];
        orvaNormaliseChannel(*channel);
        ORVA_CHANNEL_CONTINUITY_TAG continuity = *records.continuity[index];
        orvaNormaliseContinuity(continuity);
        writeChannel(f, index + 1, *channel, continuity);
    }
}



}  // namespace

int orvaExportConfig(const char* path) {
    const char* target = path ? path : orvaGetConfigFile();
    if (target[0] == '\0')
        return 0;
    AtomicFile file(target);
    if (!file.stream())
        return -1;
    writeConfig(file.stream(), orvaLiveConfigRecords());
    return file.commit();
}

OrvaConfigRecords orvaLiveConfigRecords() {
    OrvaConfigRecords records;
    records.settings = &g_globalSettings;
    for (int index = 0; index < ORVA_CHANNEL_COUNT; index++) {
        records.channels[index] = &g_orvaChannels[index];
        records.continuity[index] = &g_orvaContinuity[index];
    }
    return records;
}

int orvaExportConfigText(std::string& text) { return orvaComposeConfigText(text, orvaLiveConfigRecords()); }

int orvaComposeConfigText(std::string& text, const OrvaConfigRecords& records) {
    char* bytes = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&bytes, &size);
    if (!stream)
        return -1;
    writeConfig(stream, records);
    // The buffer and its size are final only once the stream is closed.
    const bool written = !ferror(stream);
    const bool closed = fclose(stream) == 0;
    std::unique_ptr<char, decltype(&free)> owned(bytes, &free);
    if (!written || !closed)
        return -1;
    text.assign(bytes, size);
    return 0;
}

int orvaWriteConfigText(std::string_view text) {
    const char* target = orvaGetConfigFile();
    if (target[0] == '\0')
        return 0;
    AtomicFile file(target);
    if (!file.stream() || fwrite(text.data(), 1, text.size(), file.stream()) != text.size())
        return -1;
    return file.commit();
}
