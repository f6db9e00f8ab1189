// orva_vocab.cpp: names of formats and codecs, as the configuration file and
// the web pages write them.
#include <strings.h>

#include <iterator>

#include "orva_channel.h"

namespace {

struct NamedId {
    const char* name;
    int id;
};

constexpr const char* kFormatNames[] = {"file", "rtmp", "udpts", "httpts", "rtpts", "srt", "hls",
                                        "dash", "device", "rtp", "rtsp", "decklink", "ndi",
                                        "httpmjpg"};

constexpr NamedId kFormatIds[] = {
    {"file", 0},  {"rtmp", 1},     {"udpts", 2},  {"mpegts", 2},   {"mpeg-ts", 2},
    {"httpts", 3}, {"http", 3},    {"rtpts", 4},  {"srt", 5},      {"hls", 6},
    {"dash", 7},  {"device", 8},   {"rtp", 9},    {"rtsp", 10},    {"decklink", 11},
    {"ndi", 12},  {"httpmjpg", 13}};

constexpr NamedId kAudioCodecs[] = {
    {"G711U", 0}, {"G711A", 1}, {"PCM16S", 2}, {"PCM24S", 3}, {"PCM16U", 4},
    {"PCM24U", 5}, {"MP2A", 6}, {"MP3", 7},    {"AAC", 9},    {"HEAAC", 10},
    {"AC3", 11},  {"EAC3", 12}, {"COPY", 13}};

constexpr NamedId kVideoCodecs[] = {
    {"H261", 128},   {"H263", 129},   {"H263+", 130},  {"MP1V", 131},   {"MP2V", 132},
    {"MP4V", 133},   {"FLV", 134},    {"H264", 135},   {"H265", 136},   {"NV264", 137},
    {"NV265", 138},  {"QSV264", 139}, {"QSV265", 140}, {"QSVMPG", 141}, {"PRORES", 142},
    {"MJPEG", 143},  {"VP8", 144},    {"VP9", 145},    {"AV1", 146},    {"COPY", 147}};

// RTP payload descriptions of video codecs 129..135, indexed by (id + 127) mod 256.
constexpr const char* kCodecDescs[] = {"H.263   (RFC 2190)", "H.263+   (RFC 4629)", "Other",
                                       "Other", "MPEG-4   (RFC 3016)", "Other",
                                       "H.264   (RFC 3984)"};

template <size_t N>
int lookup(const NamedId (&table)[N], const char* name, int fallback) {
    if (!name)
        return fallback;
    for (const NamedId& entry : table) {
        if (strcasecmp(entry.name, name) == 0)
            return entry.id;
    }
    return fallback;
}

}  // namespace

int orvaGetFormatId(const char* name) { return lookup(kFormatIds, name, ORVA_FORMAT_FILE); }

const char* orvaGetFormatName(ORVA_FORMAT id) {
    unsigned index = static_cast<unsigned>(id);
    return index < std::size(kFormatNames) ? kFormatNames[index] : nullptr;
}

int orvaGetVideoCodecId(const char* name) { return lookup(kVideoCodecs, name, ORVA_VIDEO_H264); }

int orvaGetAudioCodecId(const char* name) { return lookup(kAudioCodecs, name, ORVA_AUDIO_AAC); }

const char* orvaGetCodecDesc(uint8_t codec) {
    unsigned index = (codec + 127u) % 256u;
    return index < std::size(kCodecDescs) ? kCodecDescs[index] : "Other";
}
