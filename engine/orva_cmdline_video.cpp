// orva_cmdline_video.cpp: the video options of one target.
//
// A quality of 1..100 maps linearly onto the encoder's quantiser scale; a
// bitrate makes any encoder constant-bitrate with one frame of tolerance.
#include <climits>
#include <cstdlib>

#include "orva_cmdline.h"

namespace {

constexpr int kDefaultHlsKeyFrameInterval = 5;

bool isX26x(int codec) { return codec == ORVA_VIDEO_H264 || codec == ORVA_VIDEO_H265; }

// Encoders that choose their own quality when nothing is asked of them.
bool picksOwnQuality(int codec) {
    return (codec >= ORVA_VIDEO_NV264 && codec <= ORVA_VIDEO_QSV265) ||
           (codec >= ORVA_VIDEO_VP8 && codec <= ORVA_VIDEO_AV1);
}

void appendDefaultQuality(TextCursor& line, int codec) {
    if (codec == ORVA_VIDEO_H264)
        append(line, "-crf 23 ");
    else if (codec == ORVA_VIDEO_H265)
        append(line, "-crf 28 ");
    else if (!picksOwnQuality(codec))
        append(line, "-q:v 2 ");
}

// "<option><value> " with the value to `decimals` places and a "." whatever
// the process locale says.
void appendNumberOption(TextCursor& line, std::string_view option, double value, int decimals) {
    append(line, option);
    appendFixed(line, value, decimals);
    append(line, " ");
}

void appendQuality(TextCursor& line, int codec, int quality) {
    if (quality > 0) {
        float scale = static_cast<float>(1 - quality) * 68.0f / 99.0f + 69.0f;
        if (isX26x(codec)) {
            appendNumberOption(line, "-crf ", scale, 1);
        } else {
            appendNumberOption(line, "-qmin ", scale, 1);
            appendNumberOption(line, "-qmax ", scale, 1);
        }
    } else if (!isX26x(codec) && codec != ORVA_VIDEO_QSV264) {
        append(line, "-qmin 1 -qmax 69 ");
    }
}

void appendBitRate(TextCursor& line, const ORVA_VIDEO_TAG& video) {
    int rate = video.VideoBitRate;
    appendf(line, "-b:v %dk ", rate);
    if (video.VideoFrameRate > 0) {
        float tolerance = static_cast<float>(rate) * 1000.0f / video.VideoFrameRate + 1.0f;
        appendNumberOption(line, "-bt ", tolerance, 0);
    }
    appendf(line, "-minrate:v %dk -maxrate:v %dk -bufsize:v %dk ", rate, rate, rate);
    if (video.VideoCodec == ORVA_VIDEO_H264)
        append(line, "-nal-hrd cbr ");
    else if (video.VideoCodec == ORVA_VIDEO_NV264 || video.VideoCodec == ORVA_VIDEO_NV265)
        append(line, "-cbr 1 ");
}

void appendRateControl(TextCursor& line, const ORVA_VIDEO_TAG& video) {
    if (video.VideoQuality == 0 && video.VideoBitRate == 0) {
        appendDefaultQuality(line, video.VideoCodec);
        return;
    }
    appendQuality(line, video.VideoCodec, video.VideoQuality);
    if (video.VideoBitRate > 0)
        appendBitRate(line, video);
}

// The NTSC family is written as exact rational rates.
void appendFrameRate(TextCursor& line, float rate) {
    if (rate <= 0)
        return;
    append(line, "-r ");
    if (rate == 23.976f)
        append(line, "ntsc-film ");
    else if (rate == 29.97f)
        append(line, "ntsc ");
    else if (rate == 59.94f)
        append(line, "60000/1001 ");
    else {
        appendGeneral(line, rate);
        append(line, " ");
    }
}

// HLS segments can only be cut at key frames, so an HLS target takes its
// interval from its segment time.
int keyFrameInterval(const OrvaTarget& target) {
    int interval = target.record.Video.VideoKeyFrameInterval;
    if (target.record.Format != ORVA_FORMAT_HLS)
        return interval;
    size_t at = target.options.find("-hls_time ");
    if (at != std::string_view::npos) {
        long seconds = strtol(target.options.data() + at + 10, nullptr, 10);
        interval = seconds > INT_MAX || seconds < INT_MIN ? 0 : static_cast<int>(seconds);
    }
    return interval == 0 ? kDefaultHlsKeyFrameInterval : interval;
}

void appendFieldHandling(TextCursor& line, int mode, int format) {
    bool decklink = format == ORVA_FORMAT_DECKLINK;
    if (mode == 2)
        append(line, decklink ? "-field_order tt " : "-flags +ilme+ildct -top 1 -x264opts tff=1 ");
    else if (mode == 3)
        append(line, decklink ? "-field_order bb " : "-flags +ilme+ildct -top 0 -x264opts bff=1 ");
    else if (mode == 1 && !line.holds("-deint "))  // the decoder deinterlaces already
        append(line, "-filter:v yadif ");
}

int raisedSize(int32_t field) {
    int size = field & 0xffff;
    return size >= 1 && size <= 7 ? 8 : size;
}

// Size, frame rate, key frames and fields.
void appendPicture(TextCursor& line, const OrvaTarget& target) {
    const ORVA_VIDEO_TAG& video = target.record.Video;
    int width = raisedSize(video.VideoWidth), height = raisedSize(video.VideoHeight);
    if (width != 0 && height != 0 && !line.holds("-resize "))  // the decoder scales already
        appendf(line, "-s %dx%d ", width, height);
    appendFrameRate(line, video.VideoFrameRate);
    int interval = keyFrameInterval(target);
    if (interval > 0)
        appendf(line, "-g %d -sc_threshold 0 ", interval);
    appendFieldHandling(line, video.VideoDeinterlace, target.record.Format);
}

// RTP sends video as an output of its own, after the audio one.
void appendRtpVideo(TextCursor& line, OrvaTarget& target) {
    const ORVA_VIDEO_TAG& video = target.record.Video;
    appendf(line, "-an -f rtp -flags %cglobal_header ", video.VideoGlobalHeader ? '+' : '-');
    if (video.VideoCodec == ORVA_VIDEO_H263)
        append(line, "-rtpflags +rfc2190 ");
    if (!target.options.empty())
        orvaAppendWord(line, target.options);
    appendf(line, "rtp://%s:%d", orvaDottedAddress(video.VideoTargetIP), video.VideoTargetPort);
    if (video.VideoSourcePort != 0)
        appendf(line, "?localport=%d", video.VideoSourcePort);
    append(line, " ");
    target.outputs++;
}

}  // namespace

int orvaAppendVideo(TextCursor& line, OrvaTarget& target) {
    const ORVA_VIDEO_TAG& video = target.record.Video;
    int format = target.record.Format;
    const char* encoder = getCodecName(static_cast<unsigned>(video.VideoCodec));
    if (!encoder)
        return ORVA_ERR_VIDEO_CODEC;
    bool copy = video.VideoCodec == ORVA_VIDEO_COPY;
    if (format == ORVA_FORMAT_DECKLINK || format == ORVA_FORMAT_NDI) {
        // These outputs take raw 4:2:2 video and no encoder.
        append(line, "-pix_fmt uyvy422 ");
        if (!copy)
            appendPicture(line, target);
        return ORVA_OK;
    }
    appendf(line, "-c:v %s ", encoder);
    if (!copy) {
        bool qsv = video.VideoCodec == ORVA_VIDEO_QSV264 || video.VideoCodec == ORVA_VIDEO_QSV265;
        if (qsv && !line.holds("-pix_fmt "))
            append(line, "-pix_fmt nv12 ");
        appendRateControl(line, video);
        appendPicture(line, target);
    }
    if (format == ORVA_FORMAT_RTP)
        appendRtpVideo(line, target);
    return ORVA_OK;
}
