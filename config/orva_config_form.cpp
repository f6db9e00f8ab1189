// orva_config_form.cpp: brings a channel record and the settings into the form
// in which the configuration file carries them.
//
// DESIGN: the reader applies this to every channel block it has read and the
// writer to a copy of every record before writing it. Every field the writer
// writes is then read back into the same field with the same value, so one
// save is enough to reach a file that reads and saves unchanged.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/orva_text.h"
#include "orva_config.h"

namespace {

using Text = char[ORVA_TEXT_SIZE];
constexpr uint64_t kIpv4Bits = 0xffffffffu;

// A text the file cannot carry whole is carried as an empty one: a cut or a
// line break would change what it means.
void keepStorable(Text& text) {
    std::string_view view = fieldText(text);
    if (view.size() < sizeof(Text) && orvaIsStorableText(view))
        return;
    memset(text, 0, sizeof(Text));
}

bool isVideoCodec(int32_t codec) { return codec >= ORVA_VIDEO_H261 && codec <= ORVA_VIDEO_COPY; }

bool hasAudioName(int32_t codec) {
    return codec >= ORVA_AUDIO_G711U && codec <= ORVA_AUDIO_COPY && codec != ORVA_AUDIO_AMRNB;
}

// The parts that sources and targets share.
template <typename Record>
void normaliseStreams(Record& record) {
    if (!orvaGetFormatName(static_cast<ORVA_FORMAT>(record.Format)))
        record.Format = ORVA_FORMAT_FILE;
    ORVA_VIDEO_TAG& video = record.Video;
    if (!isVideoCodec(video.VideoCodec))
        video.VideoCodec = ORVA_VIDEO_H264;
    video.VideoSourceIP &= kIpv4Bits;
    video.VideoTargetIP &= kIpv4Bits;
    video.VideoGlobalHeader = video.VideoGlobalHeader != 0;
    keepStorable(video.VideoFmtp);
    ORVA_AUDIO_TAG& audio = record.Audio;
    if (!hasAudioName(audio.AudioCodec))
        audio.AudioCodec = ORVA_AUDIO_AAC;
    audio.AudioSourceIP &= kIpv4Bits;
    audio.AudioTargetIP &= kIpv4Bits;
    audio.AudioGlobalHeader = audio.AudioGlobalHeader != 0;
    keepStorable(audio.AudioFmtp);
}

void normaliseSource(ORVA_CHANNEL_SOURCE_TAG& source) {
    normaliseStreams(source);
    keepStorable(source.File);
    if (source.Format == ORVA_FORMAT_FILE)
        return;
    // Any other source's File is the rest of its line, read after the blanks behind the key.
    size_t blanks = strspn(source.File, " \t");
    memmove(source.File, source.File + blanks, sizeof(Text) - blanks);
    memset(source.File + sizeof(Text) - blanks, 0, blanks);
}

void normaliseTarget(ORVA_CHANNEL_TARGET_TAG& target) {
    normaliseStreams(target);
    if (target.Video.VideoBitRate > 0)
        target.Video.VideoQuality = 0;
    for (Text* text : {&target.File, &target.VideoParam, &target.AudioParam, &target.RTMPFlashVer,
                       &target.RTMPSwfUrl, &target.RTMPPubUser, &target.RTMPPubPass})
        keepStorable(*text);
    orvaRemoveMapOptions(target.VideoParam);
}

// Every byte equals the one after it and the first is 0. One library compare
// rather than a loop: every read and every save tests all ten records of all
// 64 channels, several megabytes each time.
bool isZero(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    return size == 0 || (bytes[0] == 0 && memcmp(bytes, bytes + 1, size - 1) == 0);
}

template <typename Record>
bool holdsAnything(const Record& record) {
    return record.Format != 0 || record.File[0] != '\0' ||
           !isZero(&record.Video, sizeof record.Video) || !isZero(&record.Audio, sizeof record.Audio);
}

// The number of records in use. The lines of an input or output block outside
// its numbered sub-blocks fill the first record whatever the count says, and
// the writer leaves out every record past the count: so a filled first record
// counts, and records past the count are emptied.
template <typename Record, size_t N>
int32_t recordsInUse(int32_t count, Record (&records)[N]) {
    count = std::clamp(count, 0, static_cast<int32_t>(N));
    if (count == 0 && holdsAnything(records[0]))
        count = 1;
    for (size_t k = static_cast<size_t>(count); k < N; k++) {
        memset(static_cast<void*>(&records[k]), 0, sizeof records[k]);
        records[k].pszAddress = records[k].File;
    }
    return count;
}

void normaliseChannelTexts(ORVA_CHANNEL_TAG& channel) {
    for (Text* text : {&channel.SourceVideoParam, &channel.SourceParam, &channel.MapParam,
                       &channel.FormatParam, &channel.TargetParam, &channel.TimeShiftCacheFolder,
                       &channel.Memo})
        keepStorable(*text);
    channel.Filters = std::clamp(channel.Filters, 0, kOrvaMaxFilters);
    for (int k = 0; k < kOrvaMaxFilters; k++) {
        if (k < channel.Filters)
            keepStorable(channel.Filter[k]);
        else
            memset(channel.Filter[k], 0, sizeof(Text));
    }
}

}  // namespace

void orvaNormaliseChannel(ORVA_CHANNEL_TAG& channel) {
    channel.NumInputs = recordsInUse(channel.NumInputs, channel.Sources);
    for (int k = 0; k < channel.NumInputs; k++)
        normaliseSource(channel.Sources[k]);
    channel.NumOutputs = recordsInUse(channel.NumOutputs, channel.Targets);
    for (int k = 0; k < channel.NumOutputs; k++)
        normaliseTarget(channel.Targets[k]);
    normaliseChannelTexts(channel);
    channel.TimeShiftSec = orvaClampToRange(OrvaRange::TimeShiftSec, channel.TimeShiftSec);
}

void orvaNormaliseContinuity(ORVA_CHANNEL_CONTINUITY_TAG& continuity) {
    keepStorable(continuity.BackupSource);
    continuity.SourceTimeout = orvaClampToRange(OrvaRange::SourceTimeoutMs, continuity.SourceTimeout);
    for (int32_t* seconds :
         {&continuity.AlarmBlackSec, &continuity.AlarmFreezeSec, &continuity.AlarmSilenceSec})
        *seconds = orvaClampToRange(OrvaRange::AlarmSec, *seconds);
}

void orvaNormaliseSettings(ORVA_GLOBAL_SETTINGS& settings) {
    if (settings.Log == 1)
        settings.Log = 32;
    settings.AutoRestart = orvaClampToRange(OrvaRange::AutoRestartSec, settings.AutoRestart);
    settings.CpuPerChannel = orvaClampToRange(OrvaRange::CpuPerChannel, settings.CpuPerChannel);
    keepStorable(settings.LoginPass);
}

// Stream mapping belongs to the channel's MapParam, so a target's own "-map"
// options (each with its argument) are dropped.
void orvaRemoveMapOptions(char (&text)[ORVA_TEXT_SIZE]) {
    char* map;
    while ((map = strstr(text, "-map ")) != nullptr) {
        char* blank = strchr(map + 5, ' ');
        if (!blank) {
            *map = '\0';
            break;
        }
        memmove(map, blank + 1, strlen(blank + 1) + 1);
    }
    // The bytes behind the text stay empty, as in a text read from the file.
    size_t length = strlen(text);
    memset(text + length, 0, sizeof text - length);
}
