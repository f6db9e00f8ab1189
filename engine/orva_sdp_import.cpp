// orva_sdp_import.cpp: reads an SDP file back into the video and audio parts
// of a request. Unknown or unreadable lines are ignored, never fatal.
#include <arpa/inet.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "orva_codec.h"
#include "orva_engine.h"
#include "orva_text.h"

namespace {

enum class Section { None, Video, Audio };

// One side of a part: the address and port pair that the selector picks.
struct Endpoint {
    uint64_t* address = nullptr;
    uint16_t* port = nullptr;
    bool given() const { return address != nullptr; }
};

struct SdpReader {
    ORVA_VIDEO_TAG* video;
    ORVA_AUDIO_TAG* audio;
    Endpoint videoEnd, audioEnd;
    uint32_t connection = 0;
    unsigned short port = 0, payloadType = 0;
    bool mediaSeen = false, videoSeen = false, audioSeen = false;
    Section section = Section::None;
};

constexpr size_t kNameSize = 100;  // encoding names and mode words: 99 characters

bool startsWith(const char* line, std::string_view prefix) {
    return strncmp(line, prefix.data(), prefix.size()) == 0;
}

uint32_t parseConnection(const char* text) {
    char address[64];
    size_t length = strcspn(text, "/");
    if (length >= sizeof address)
        return INADDR_NONE;
    memcpy(address, text, length);
    address[length] = '\0';
    return inet_addr(address);  // trailing blanks and line ends are accepted
}

void onConnection(SdpReader& r, const char* text) {
    r.connection = parseConnection(text);
    if (r.videoSeen && r.videoEnd.given() && *r.videoEnd.address == 0)
        *r.videoEnd.address = r.connection;
    if (r.audioSeen && r.audioEnd.given() && *r.audioEnd.address == 0)
        *r.audioEnd.address = r.connection;
}

void onMedia(SdpReader& r, const char* text, Section section) {
    r.port = 0;
    r.payloadType = 0;
    sscanf(text, "%hu RTP/AVP %hu", &r.port, &r.payloadType);
    r.mediaSeen = true;
    r.section = section;
    Endpoint& end = section == Section::Video ? r.videoEnd : r.audioEnd;
    if (end.given()) {
        *end.address = r.connection;
        *end.port = r.port;
    }
    if (section == Section::Video) {
        r.videoSeen = true;
        if (r.video && r.payloadType == 32)
            r.video->VideoCodec = ORVA_VIDEO_MP2V;
        else if (r.video && r.payloadType == 34)
            r.video->VideoCodec = ORVA_VIDEO_H263;
        return;
    }
    r.audioSeen = true;
    if (r.audio && (r.payloadType == 0 || r.payloadType == 8)) {
        r.audio->AudioCodec = r.payloadType == 0 ? ORVA_AUDIO_G711U : ORVA_AUDIO_G711A;
        r.audio->AudioSampleRate = 8000;
    }
}

// Whether the current section's part is there and its stream is enabled.
bool sectionActive(const SdpReader& r) {
    if (r.section == Section::Video)
        return r.videoEnd.given() && *r.videoEnd.port != 0;
    if (r.section == Section::Audio)
        return r.audioEnd.given() && *r.audioEnd.port != 0;
    return false;
}

void onRtpmap(SdpReader& r, const char* text) {
    char name[kNameSize] = "";
    if (r.section == Section::Video) {
        size_t length = strcspn(text, "/ \r\n");
        copyText(name, std::string_view(text, length < kNameSize ? length : kNameSize - 1));
        if (const OrvaVocabEntry* found = orvaVocabBySdpName(OrvaVocab::Video, name))
            r.video->VideoCodec = found->id;
        return;
    }
    int clockRate = 0, channels = 0;
    int fields = sscanf(text, "%99[^/ \r\n]/%d/%d", name, &clockRate, &channels);
    const OrvaVocabEntry* found = fields >= 1 ? orvaVocabBySdpName(OrvaVocab::Audio, name) : nullptr;
    if (!found)
        return;
    r.audio->AudioCodec = found->id;
    if (fields >= 2)
        r.audio->AudioSampleRate = clockRate;
    if (fields >= 3)
        r.audio->AudioChannel = channels;
}

// MPEG audio says its layer, rate and channel mode in its format parameters.
void readMpegAudioParameters(ORVA_AUDIO_TAG& audio) {
    const char* fmtp = audio.AudioFmtp;
    int value = 0;
    if (const char* at = strstr(fmtp, "layer"); at && sscanf(at, "layer=%d;", &value) == 1 &&
                                                value == 3)
        audio.AudioCodec = ORVA_AUDIO_MP3;
    if (const char* at = strstr(fmtp, "samplerate"); at && sscanf(at, "samplerate=%d;", &value) == 1)
        audio.AudioSampleRate = value;
    char mode[kNameSize];
    if (const char* at = strstr(fmtp, "mode"); at && sscanf(at, "mode=%99s;", mode) == 1) {
        if (strncasecmp(mode, "single_channel", 14) == 0)
            audio.AudioChannel = 1;
        else if (strncasecmp(mode, "stereo", 6) == 0)
            audio.AudioChannel = 2;
    }
}

void onFmtp(SdpReader& r, const char* text) {
    std::string_view value(text, strcspn(text, "\r\n"));
    if (r.section == Section::Video) {
        copyText(r.video->VideoFmtp, value);
        return;
    }
    copyText(r.audio->AudioFmtp, value);
    if (r.audio->AudioCodec == ORVA_AUDIO_MP2A)
        readMpegAudioParameters(*r.audio);
}

// "a=rtpmap:" and "a=fmtp:" lines count only for the latest media line's payload type.
const char* attributeValue(const SdpReader& r, const char* line, const char* name) {
    char prefix[32];
    snprintf(prefix, sizeof prefix, "a=%s:%d ", name, r.payloadType);
    return startsWith(line, prefix) ? line + strlen(prefix) : nullptr;
}

void readLine(SdpReader& r, const char* line) {
    if (startsWith(line, "c=IN IP4 "))
        onConnection(r, line + 9);
    else if (startsWith(line, "m=video "))
        onMedia(r, line + 8, Section::Video);
    else if (startsWith(line, "m=audio "))
        onMedia(r, line + 8, Section::Audio);
    else if (!sectionActive(r))
        return;
    else if (const char* map = attributeValue(r, line, "rtpmap"))
        onRtpmap(r, map);
    else if (const char* fmtp = attributeValue(r, line, "fmtp"))
        onFmtp(r, fmtp);
}

Endpoint videoEndpoint(ORVA_VIDEO_TAG* video, bool targetSide) {
    if (!video)
        return {};
    return targetSide ? Endpoint{&video->VideoTargetIP, &video->VideoTargetPort}
                      : Endpoint{&video->VideoSourceIP, &video->VideoSourcePort};
}

Endpoint audioEndpoint(ORVA_AUDIO_TAG* audio, bool targetSide) {
    if (!audio)
        return {};
    return targetSide ? Endpoint{&audio->AudioTargetIP, &audio->AudioTargetPort}
                      : Endpoint{&audio->AudioSourceIP, &audio->AudioSourcePort};
}

}  // namespace

int orvaImportSdpInternal(FILE* stream, ORVA_VIDEO_TAG* video, ORVA_AUDIO_TAG* audio,
                          int targetSide) {
    if (video)
        *video = ORVA_VIDEO_TAG{};
    if (audio)
        *audio = ORVA_AUDIO_TAG{};
    SdpReader r{video, audio, videoEndpoint(video, targetSide != 0),
                audioEndpoint(audio, targetSide != 0)};
    char line[1024];  // a longer line arrives in pieces, each read as a line
    while (fgets(line, sizeof line, stream))
        readLine(r, line);
    return !r.mediaSeen || r.port == 0 || r.payloadType == 0 ? 1 : 0;
}

extern "C" int orvaImportSdp(const char* path, ORVA_VIDEO_TAG* video, ORVA_AUDIO_TAG* audio,
                             int targetSide) {
    FILE* stream = path ? fopen(path, "re") : nullptr;
    if (!stream)
        return -1;
    int rc = orvaImportSdpInternal(stream, video, audio, targetSide);
    fclose(stream);
    return rc;
}
