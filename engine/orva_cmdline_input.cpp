// orva_cmdline_input.cpp: the options of one input of a request.
#include <cstdio>

#include "orva_cmdline.h"

namespace {

// Files are read at their native rate; live streams set their own pace.
int appendAddressInput(TextCursor& line, const RequestText& address) {
    if (address.empty())
        return ORVA_ERR_INPUT_ADDRESS;
    if (!_isStreamUrl(address.c_str(), 0))
        append(line, "-re ");
    std::string_view text = address.view();
    if (orvaStartsWithNoCase(text, "hls://")) {
        append(line, "-i \"hls+http://");
        append(line, text.substr(6));
    } else if (orvaStartsWithNoCase(text, "rtspt://")) {
        append(line, "-rtsp_transport tcp -i \"rtsp://");
        append(line, text.substr(8));
    } else {
        append(line, "-i \"");
        append(line, text);
    }
    append(line, "\" ");
    return ORVA_OK;
}

// A capture device carries its options as a query: "/dev/video0?a=1&b=2"
// becomes "-f v4l2 -a 1 -b 2 -i /dev/video0 ".
void appendDeviceInput(TextCursor& line, std::string_view address) {
    append(line, "-f v4l2");
    size_t query = address.find('?');
    if (query != std::string_view::npos) {
        for (char c : address.substr(query)) {
            if (c == '?' || c == '&')
                append(line, " -");
            else if (c == '=')
                append(line, " ");
            else
                append(line, std::string_view(&c, 1));
        }
    }
    append(line, " -i ");
    orvaAppendWord(line, address.substr(0, address.rfind('?')));
}

// Several RTP inputs of one request each get their own description file.
int appendRtpInput(TextCursor& line, int slot, const ORVA_INPUT_TAG& input, int rtpOrdinal) {
    if (input.Video.VideoSourcePort == 0)
        return ORVA_ERR_INPUT_PORT;
    char path[512];
    TextCursor name(path, sizeof path);
    appendf(name, "%s/log/orva_%03d_in", g_cfg.szWorkDir, slot + 1);
    if (rtpOrdinal >= 2)
        appendf(name, "%d", rtpOrdinal);
    append(name, ".sdp");
    if (name.truncated || orvaExportSdp(path, &input.Video, &input.Audio, 1) != 0)
        return ORVA_ERR_INPUT_PORT;
    append(line, "-i ");
    orvaAppendQuoted(line, name.view());
    return ORVA_OK;
}

}  // namespace

int orvaAppendInput(TextCursor& line, int slot, const ORVA_INPUT_TAG& input, int wide,
                    int rtpOrdinal) {
    RequestText options(input.pszOptions, wide);
    RequestText address(input.pszAddress, wide);
    if (!options.converted() || !address.converted())
        return ORVA_ERR_LINE_TOO_LONG;
    if (!options.empty())
        orvaAppendWord(line, options.view());
    switch (input.Format) {
    case ORVA_FORMAT_FILE:
        return appendAddressInput(line, address);
    case ORVA_FORMAT_DEVICE:
        appendDeviceInput(line, address.view());
        return ORVA_OK;
    case ORVA_FORMAT_RTP:
        return appendRtpInput(line, slot, input, rtpOrdinal);
    case ORVA_FORMAT_DECKLINK:
        append(line, "-f decklink -i ");
        orvaAppendQuoted(line, address.view());
        return ORVA_OK;
    case ORVA_FORMAT_NDI:
        append(line, "-f libndi_newtek -i ");
        orvaAppendQuoted(line, address.view());
        return ORVA_OK;
    default:
        // Described entirely by its option text, but it needs a port.
        return input.Video.VideoSourcePort == 0 ? ORVA_ERR_INPUT_PORT : ORVA_OK;
    }
}
