// orva_channel.cpp: the channel table, the settings record and the test that
// decides whether a channel is configured.
#include "orva_channel.h"

#include <algorithm>

ORVA_CHANNEL_TAG g_orvaChannels[ORVA_CHANNEL_COUNT];
ORVA_CHANNEL_CONTINUITY_TAG g_orvaContinuity[ORVA_CHANNEL_COUNT];

// Values before any configuration file is read.
ORVA_GLOBAL_SETTINGS g_globalSettings = {
    .HTTPPort = 8888, .RTSPPort = 0, .Log = 0, .AutoStart = 1, .AutoRestart = 0,
    .CpuPerChannel = 0, .StreamTimeLimit = 0, .FolderRecur = 0, .FolderShuffle = 0,
    .LoginPass = "", .AclFile = ""};

namespace {

bool isRtpSourceCodec(int codec) {
    switch (codec) {
    case ORVA_VIDEO_H263: case ORVA_VIDEO_H263P: case ORVA_VIDEO_MP1V:
    case ORVA_VIDEO_MP2V: case ORVA_VIDEO_MP4V: case ORVA_VIDEO_H264:
        return true;
    default:
        return false;
    }
}

bool sourceUsable(const ORVA_CHANNEL_SOURCE_TAG& src) {
    if (src.Format == ORVA_FORMAT_RTP)
        return isRtpSourceCodec(src.Video.VideoCodec) && src.Video.VideoSourcePort != 0;
    return src.File[0] != '\0';
}

bool targetVideoUsable(const ORVA_CHANNEL_TARGET_TAG& dst) {
    const ORVA_VIDEO_TAG& v = dst.Video;
    if (v.VideoCodec < ORVA_VIDEO_H263 || v.VideoCodec > ORVA_VIDEO_COPY)
        return false;
    if (dst.Format == ORVA_FORMAT_RTP)
        return v.VideoTargetIP != 0 && v.VideoTargetPort != 0;
    return true;
}

bool targetAudioUsable(const ORVA_CHANNEL_TARGET_TAG& dst) {
    const ORVA_AUDIO_TAG& a = dst.Audio;
    if (a.AudioCodec < ORVA_AUDIO_G711U || a.AudioCodec > ORVA_AUDIO_COPY ||
        a.AudioCodec == ORVA_AUDIO_AMRNB || a.AudioTargetPort == 0)
        return false;
    return dst.Format != ORVA_FORMAT_RTP || a.AudioTargetIP != 0;
}

}  // namespace

void orvaSetFileReadDefaults(ORVA_GLOBAL_SETTINGS& settings) {
    settings.HTTPPort = 8888;
    settings.RTSPPort = 5544;
    settings.Log = 0;
    settings.AutoStart = 0;
    settings.AutoRestart = 1;
    settings.CpuPerChannel = 0;
    settings.StreamTimeLimit = 0;
    settings.FolderRecur = 0;
    settings.FolderShuffle = 0;
    settings.LoginPass[0] = '\0';
    // AclFile is not part of the file and stays as it is.
}

int isChannelValid(int channel) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return 0;
    return orvaIsRecordConfigured(g_orvaChannels[channel]) ? 1 : 0;
}

bool orvaIsRecordConfigured(const ORVA_CHANNEL_TAG& ch) {
    if (!sourceUsable(ch.Sources[0]))
        return 0;
    return targetVideoUsable(ch.Targets[0]) || targetAudioUsable(ch.Targets[0]);
}

void orvaResetContinuity() {
    for (ORVA_CHANNEL_CONTINUITY_TAG& continuity : g_orvaContinuity)
        continuity = {};
}

int32_t orvaRangeLowest(OrvaRange range) {
    return range == OrvaRange::SourceTimeoutMs ? kOrvaMinSourceTimeoutMs : 0;
}

int32_t orvaRangeHighest(OrvaRange range) {
    switch (range) {
    case OrvaRange::SourceTimeoutMs:
        return kOrvaMaxSourceTimeoutMs;
    case OrvaRange::AlarmSec:
        return kOrvaMaxAlarmSec;
    case OrvaRange::AutoRestartSec:
        return kOrvaMaxAutoRestartSec;
    case OrvaRange::TimeShiftSec:
        return kOrvaMaxTimeShiftSec;
    case OrvaRange::CpuPerChannel:
        return kOrvaMaxCpuPerChannel;
    }
    return 0;
}

bool orvaInRange(OrvaRange range, long value) {
    return value >= orvaRangeLowest(range) && value <= orvaRangeHighest(range);
}

int32_t orvaClampToRange(OrvaRange range, long value) {
    return static_cast<int32_t>(std::clamp<long>(value, orvaRangeLowest(range), orvaRangeHighest(range)));
}

bool orvaIsStorableText(std::string_view text) {
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f)
            return false;
    }
    return true;
}
