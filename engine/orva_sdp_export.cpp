// orva_sdp_export.cpp: writes the SDP file that describes a plain RTP input,
// one video and/or one audio stream with their own address and port.
#include <cstdio>
#include <cstring>
#include <memory>

#include "orva_cmdline.h"

namespace {

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

constexpr int kVideoPayloadType = 96;
constexpr int kH263PayloadType = 34;
constexpr int kAudioPayloadType = 97;

// The fmtp fields are fixed buffers that a caller may have filled to the
// last byte, so their length is bounded by the field, not by a terminator.
void writeFmtp(FILE* f, int payloadType, const char (&fmtp)[ORVA_TEXT_SIZE]) {
    size_t length = strnlen(fmtp, sizeof fmtp);
    if (length > 0)
        fprintf(f, "a=fmtp:%d %.*s\n", payloadType, static_cast<int>(length), fmtp);
}

bool writeVideo(FILE* f, const ORVA_VIDEO_TAG& video, bool sourceSide) {
    uint16_t port = sourceSide ? video.VideoSourcePort : video.VideoTargetPort;
    if (port == 0)
        return true;
    fprintf(f, "c=IN IP4 %s\n", orvaDottedAddress(sourceSide ? video.VideoSourceIP : video.VideoTargetIP));
    int payloadType = video.VideoCodec == ORVA_VIDEO_H263 ? kH263PayloadType : kVideoPayloadType;
    fprintf(f, "m=video %d RTP/AVP %d\n", port, payloadType);
    const char* encoding = orvaSdpEncodingName(static_cast<unsigned>(video.VideoCodec));
    if (!encoding)
        return false;
    fprintf(f, "a=rtpmap:%d %s/90000\n", payloadType, encoding);
    writeFmtp(f, payloadType, video.VideoFmtp);
    return true;
}

int audioClockRate(const ORVA_AUDIO_TAG& audio) {
    switch (audio.AudioCodec) {
    case ORVA_AUDIO_MP2A:
    case ORVA_AUDIO_MP3:
        return 90000;
    case ORVA_AUDIO_AAC:
        return audio.AudioSampleRate;
    default:
        return 8000;
    }
}

bool writeAudio(FILE* f, const ORVA_AUDIO_TAG& audio, bool sourceSide) {
    uint16_t port = sourceSide ? audio.AudioSourcePort : audio.AudioTargetPort;
    if (port == 0)
        return true;
    fprintf(f, "c=IN IP4 %s\n", orvaDottedAddress(sourceSide ? audio.AudioSourceIP : audio.AudioTargetIP));
    fprintf(f, "m=audio %d RTP/AVP %d\n", port, kAudioPayloadType);
    const char* encoding = orvaSdpEncodingName(static_cast<unsigned>(audio.AudioCodec));
    if (!encoding)
        return false;
    int channels = audio.AudioChannel > 0 ? audio.AudioChannel : 1;
    fprintf(f, "a=rtpmap:%d %s/%d/%d\n", kAudioPayloadType, encoding, audioClockRate(audio),
            channels);
    writeFmtp(f, kAudioPayloadType, audio.AudioFmtp);
    return true;
}

// A file that could not be written in full counts as not written.
int finish(File file) {
    bool failed = ferror(file.get()) != 0;
    return fclose(file.release()) != 0 || failed ? -1 : 0;
}

}  // namespace

extern "C" int orvaExportSdp(const char* path, const ORVA_VIDEO_TAG* video,
                             const ORVA_AUDIO_TAG* audio, int sourceSide) {
    File file(path ? fopen(path, "we") : nullptr);
    if (!file)
        return -1;
    FILE* f = file.get();
    fputs("v=0\no=- 0 0 IN IPV4 0.0.0.0\ns=Kestova\nt=0 0\n", f);
    if (video && !writeVideo(f, *video, sourceSide != 0))
        return -1;
    if (audio && !writeAudio(f, *audio, sourceSide != 0))
        return -1;
    fputs("\n", f);
    return finish(std::move(file));
}
