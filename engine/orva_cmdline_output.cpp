// orva_cmdline_output.cpp: the options of one target of a request: audio,
// video (orva_cmdline_video.cpp), mux rate, option text, codec extras and
// the format with the address.
#include <algorithm>
#include <cstdio>

#include "orva_cmdline.h"

namespace {

void appendRtpDestination(TextCursor& line, uint64_t address, int port, int localPort) {
    appendf(line, "rtp://%s:%d", orvaDottedAddress(address), port);
    if (localPort != 0)
        appendf(line, "?localport=%d", localPort);
    append(line, " ");
}

void appendAudioSettings(TextCursor& line, const ORVA_AUDIO_TAG& audio, const char* encoder) {
    appendf(line, "-c:a %s ", encoder);
    if (audio.AudioCodec == ORVA_AUDIO_COPY)
        return;
    if (audio.AudioChannel > 0)
        appendf(line, "-ac %d ", audio.AudioChannel);
    if (audio.AudioSampleRate > 0)
        appendf(line, "-ar %d ", audio.AudioSampleRate);
    if (audio.AudioBitRate > 0)
        appendf(line, "-b:a %dk ", audio.AudioBitRate);
}

int appendAudio(TextCursor& line, OrvaTarget& target) {
    const ORVA_AUDIO_TAG& audio = target.record.Audio;
    int format = target.record.Format;
    if (!audio.AudioEnable) {
        if (format != ORVA_FORMAT_RTP)
            append(line, "-an ");
        return ORVA_OK;
    }
    const char* encoder = getCodecName(static_cast<unsigned>(audio.AudioCodec));
    if (!encoder)
        return ORVA_ERR_OUTPUT_AUDIO;
    bool noRtpDestination = static_cast<uint32_t>(audio.AudioTargetIP) == 0 ||
                            audio.AudioTargetPort == 0;
    if (format == ORVA_FORMAT_RTP && noRtpDestination) {
        append(line, "-an ");
        return ORVA_OK;
    }
    if (format == ORVA_FORMAT_DECKLINK) {
        append(line, "-ac 2 -ar 48000 ");
        return ORVA_OK;
    }
    appendAudioSettings(line, audio, encoder);
    if (format == ORVA_FORMAT_RTP) {
        append(line, "-vn -f rtp ");
        if (audio.AudioCodec == ORVA_AUDIO_AAC)
            append(line, "-flags:a +global_header -rtpflags +latm ");
        appendRtpDestination(line, audio.AudioTargetIP, audio.AudioTargetPort,
                             audio.AudioSourcePort);
        target.outputs++;
    } else if (format == ORVA_FORMAT_RTSP) {
        append(line, "-flags:a +global_header -rtpflags +latm ");
    } else if (format == ORVA_FORMAT_HTTPTS) {
        append(line, "-flags:a +global_header ");
    }
    return ORVA_OK;
}

bool hasVideo(const OrvaTarget& target) {
    const ORVA_VIDEO_TAG& video = target.record.Video;
    if (!video.VideoEnable)
        return false;
    if (target.record.Format == ORVA_FORMAT_RTP && static_cast<uint32_t>(video.VideoTargetIP) != 0 &&
        video.VideoTargetPort != 0)
        return true;
    return !target.address.empty();
}

// libx264 is given a pixel format unless one is in the line already; its
// profile decides which, because the high profiles need their own sampling.
void appendX264PixelFormat(TextCursor& line) {
    if (line.holds("-pix_fmt "))
        return;
    std::string_view built = line.view();
    size_t profile = built.find("-profile:v ");
    if (profile == std::string_view::npos) {
        append(line, "-pix_fmt yuv420p ");
        return;
    }
    char word[100] = "";
    if (sscanf(line.begin + profile + 11, "%99s", word) != 1)
        return;
    std::string_view name = word;
    if (name == "high444" || name == "high444p")
        append(line, "-pix_fmt yuv444p ");
    else if (name == "high422")
        append(line, "-pix_fmt yuv422p ");
    else if (name == "high10" || name == "main10")
        append(line, "-pix_fmt yuv420p10 ");
}

void appendCodecExtras(TextCursor& line, int videoCodec) {
    if (videoCodec == ORVA_VIDEO_VP9 || videoCodec == ORVA_VIDEO_AV1)
        append(line, "-strict experimental ");
    if (videoCodec == ORVA_VIDEO_H264)
        appendX264PixelFormat(line);
}

// An SRT target is muxed as MPEG-TS unless its own options chose a format
// after the inputs. Only this target's part of the line counts: the "-f" of
// an earlier target or of a capture input says nothing about this one.
bool srtFormatChosen(const TextCursor& line, size_t targetStart) {
    std::string_view built = line.view();
    size_t input = built.find(" -i ");
    if (input == std::string_view::npos)
        return false;
    size_t from = std::max(input + 3, targetStart > 0 ? targetStart - 1 : 0);
    return built.find(" -f ", from) != std::string_view::npos;
}

// The muxer option written before a target's address; "" when none is
// needed and nullptr for formats that cannot be targets.
const char* muxerOption(const TextCursor& line, const OrvaTarget& target) {
    const char* address = target.address.data();
    switch (target.record.Format) {
    case ORVA_FORMAT_FILE:
        return _isStreamUrl(address, 0) ? "" : "-y ";
    case ORVA_FORMAT_RTMP:
        return "-f flv ";
    case ORVA_FORMAT_UDPTS:
    case ORVA_FORMAT_RTPTS:
        return _isRTPUrl(address, 0) ? "-f rtp_mpegts " : "-f mpegts ";
    case ORVA_FORMAT_HTTPTS:
    case ORVA_FORMAT_RTSP:
    case ORVA_FORMAT_HTTPMJPG:
        return "-f mpegts ";
    case ORVA_FORMAT_SRT:
        return srtFormatChosen(line, target.lineStart) ? "" : "-f mpegts ";
    case ORVA_FORMAT_HLS:
        return "-f hls -y ";
    case ORVA_FORMAT_DASH:
        return "-f dash -y ";
    case ORVA_FORMAT_DECKLINK:
        return "-f decklink ";
    case ORVA_FORMAT_NDI:
        return "-f libndi_newtek ";
    default:  // a capture device is no target, and formats beyond 13 are unknown
        return nullptr;
    }
}

// Network addresses of the MPEG-TS family go unquoted; paths and names are quoted.
bool addressQuoted(int format) {
    switch (format) {
    case ORVA_FORMAT_UDPTS:
    case ORVA_FORMAT_HTTPTS:
    case ORVA_FORMAT_RTPTS:
    case ORVA_FORMAT_SRT:
    case ORVA_FORMAT_RTSP:
    case ORVA_FORMAT_HTTPMJPG:
        return false;
    default:
        return true;
    }
}

int appendFormatAndAddress(TextCursor& line, int slot, OrvaTarget& target) {
    int format = target.record.Format;
    if (format == ORVA_FORMAT_RTP) {
        // The streams went out with the video options; the transcoder describes them.
        appendf(line, "-sdp_file \"%s/log/orva_%03d_out.sdp\" ", g_cfg.szWorkDir, slot + 1);
        return ORVA_OK;
    }
    const char* muxer = muxerOption(line, target);
    if (!muxer)
        return ORVA_ERR_OUTPUT_FORMAT;
    append(line, muxer);
    if (addressQuoted(format))
        orvaAppendQuoted(line, target.address);
    else
        orvaAppendWord(line, target.address);
    target.outputs++;
    return ORVA_OK;
}

int appendTarget(TextCursor& line, int slot, OrvaTarget& target) {
    const ORVA_OUTPUT_TAG& record = target.record;
    if (record.Format == ORVA_FORMAT_FILE && target.address.empty())
        return ORVA_ERR_OUTPUT_AUDIO;
    int rc = appendAudio(line, target);
    if (rc != ORVA_OK)
        return rc;
    if (hasVideo(target)) {
        rc = orvaAppendVideo(line, target);
        if (rc != ORVA_OK)
            return rc;
    } else {
        append(line, "-vn ");
    }
    if (record.MuxBitRate > 0)
        appendf(line, "-muxrate %dk ", record.MuxBitRate);
    if (record.Format != ORVA_FORMAT_RTP && !target.options.empty())
        orvaAppendWord(line, target.options);
    appendCodecExtras(line, record.Video.VideoCodec);
    return appendFormatAndAddress(line, slot, target);
}

}  // namespace

int orvaAppendOutput(TextCursor& line, int slot, const ORVA_OUTPUT_TAG& output, int wide,
                     int& outputsWritten) {
    RequestText address(output.pszAddress, wide);
    RequestText options(output.pszOptions, wide);
    if (!address.converted() || !options.converted())
        return ORVA_ERR_LINE_TOO_LONG;
    OrvaTarget target{output, address.view(), options.view(), line.length()};
    int rc = appendTarget(line, slot, target);
    outputsWritten = target.outputs;
    return rc;
}
