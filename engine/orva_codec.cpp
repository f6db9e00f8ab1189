// orva_codec.cpp: what the engine calls each codec id: the transcoder's
// encoder, the short display name and the SDP encoding name.
#include <iterator>

#include "orva_engine.h"

namespace {

struct CodecNames {
    const char* encoder;
    const char* display;
};

// Audio ids 0..13.
constexpr CodecNames kAudio[] = {
    {"pcm_mulaw", "G711U"},   {"pcm_alaw", "G711A"},      {"pcm_s16le", "PCM16S"},
    {"pcm_s24le", "PCM24S"},  {"pcm_u16le", "PCM16U"},    {"pcm_u24le", "PCM24U"},
    {"mp2", "MP2A"},          {"libmp3lame", "MP3"},      {"libamr_nb -ab 12200", nullptr},
    {"aac", "AAC"},           {"libfdk_aac", "HEAAC"},    {"ac3", "AC3"},
    {"eac3", "EAC3"},         {"copy", "Copy"}};

// Video ids 128..147.
constexpr CodecNames kVideo[] = {
    {"h261", "H261"},         {"h263", "H263"},
    {"h263p -flags +aic -umv 1 -aiv 1", "H263+"},
    {"mpeg1video", "MP1V"},   {"mpeg2video", "MP2V"},     {"mpeg4", "MP4V"},
    {"flv", "FLV"},           {"libx264", "H264"},        {"libx265", "H265"},
    {"h264_nvenc", "NV264"},  {"hevc_nvenc", "NV265"},    {"h264_qsv", "QSV264"},
    {"hevc_qsv", "QSV265"},   {"mpeg2_qsv", "QSVMPG"},    {"prores_ks", "PRORES"},
    {"mjpeg", "MJPEG"},       {"libvpx", "VP8"},          {"libvpx-vp9", "VP9"},
    {"libaom-av1", "AV1"},    {"copy", "Copy"}};

constexpr unsigned kFirstVideoId = 128;

const CodecNames* findCodec(unsigned codec) {
    if (codec < std::size(kAudio))
        return &kAudio[codec];
    if (codec >= kFirstVideoId && codec - kFirstVideoId < std::size(kVideo))
        return &kVideo[codec - kFirstVideoId];
    return nullptr;
}

}  // namespace

const char* orvaSdpEncodingName(unsigned codec) {
    switch (codec) {
    case ORVA_AUDIO_MP2A:
    case ORVA_AUDIO_MP3:
        return "MPA";
    case ORVA_AUDIO_AAC:
        return "MP4A-LATM";
    case ORVA_VIDEO_H263P:
        return "H263-1998";
    case ORVA_VIDEO_MP1V:
    case ORVA_VIDEO_MP2V:
        return "MPV";
    case ORVA_VIDEO_MP4V:
        return "MP4V-ES";
    default:
        return orvaGetCodecName(codec);
    }
}

extern "C" {

const char* getCodecName(unsigned int codec) {
    const CodecNames* names = findCodec(codec);
    return names ? names->encoder : nullptr;
}

const char* orvaGetCodecName(unsigned int codec) {
    const CodecNames* names = findCodec(codec);
    return names ? names->display : nullptr;
}

}  // extern "C"
