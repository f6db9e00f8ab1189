// orva_cmdline.cpp: the start calls: turn an engine request into the
// transcoder's command line, log it and launch the process.
#include <strings.h>

#include <cstdio>

#include "orva_cmdline.h"
#include "orva_service_log.h"

RequestText::RequestText(const void* text, int wide) {
    if (!text)
        return;
    if (!wide) {
        view_ = static_cast<const char*>(text);
        return;
    }
    int length = snprintf(buffer_, sizeof buffer_, "%ls", static_cast<const wchar_t*>(text));
    converted_ = length >= 0 && static_cast<size_t>(length) < sizeof buffer_;
    view_ = converted_ ? std::string_view(buffer_, static_cast<size_t>(length)) : "";
}

const char* orvaDottedAddress(uint64_t address) {
    return Inet_ntoa(static_cast<uint32_t>(address));
}

bool orvaStartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

void orvaAppendWord(TextCursor& line, std::string_view text) {
    append(line, text);
    append(line, " ");
}

void orvaAppendQuoted(TextCursor& line, std::string_view text) {
    append(line, "\"");
    append(line, text);
    append(line, "\" ");
}

int orvaComposeLine(int slot, const ORVA_INPUT_TAG* inputs, int inputCount,
                    const ORVA_OUTPUT_TAG* outputs, int outputCount, int wide, TextCursor& line,
                    std::vector<int>* targetOfOutput) {
    if (g_cfg.logLevel != 0)
        appendf(line, "-v %d ", g_cfg.logLevel);
    // Stops at the first record that is refused or did not fit.
    auto checked = [&line](int rc) {
        return rc == ORVA_OK && line.truncated ? ORVA_ERR_LINE_TOO_LONG : rc;
    };
    int rc = ORVA_OK;
    int rtpInputs = 0;
    for (int i = 0; rc == ORVA_OK && inputs && i < inputCount; i++) {
        int rtpOrdinal = inputs[i].Format == ORVA_FORMAT_RTP ? ++rtpInputs : 0;
        rc = checked(orvaAppendInput(line, slot, inputs[i], wide, rtpOrdinal));
    }
    for (int i = 0; rc == ORVA_OK && outputs && i < outputCount; i++) {
        int written = 0;
        rc = checked(orvaAppendOutput(line, slot, outputs[i], wide, written));
        if (targetOfOutput)
            targetOfOutput->insert(targetOfOutput->end(), static_cast<size_t>(written), i + 1);
    }
    return checked(rc);
}

namespace {

int checkSlot(int slot) {
    if (!g_cfg.initialised)
        return ORVA_ERR_NOT_INITIALISED;
    if (!orvaSlotInRange(slot))
        return ORVA_ERR_SLOT_RANGE;
    if (g_procChannels[slot].state != ORVA_STATE_IDLE)
        return ORVA_ERR_SLOT_BUSY;
    return ORVA_OK;
}

int launchLine(int slot, TextCursor& line) {
    if (orvaLog(slot, 1, line.begin) == -1)
        return ORVA_ERR_LOG;
    if (!g_cfg.initialised)
        return ORVA_ERR_NOT_INITIALISED;
    return orvaLaunch(slot, line.view());
}

int startTranscoding(int slot, const ORVA_INPUT_TAG* inputs, int inputCount,
                     const ORVA_OUTPUT_TAG* outputs, int outputCount, int wide) {
    if (g_cfg.logLevel != 0 && g_cfg.initialised) {
        char line[400];
        snprintf(line, sizeof line, "start transcoding (%s v%x)", g_cfg.szEngineFile,
                 ORVA_ENGINE_VERSION);
        orvaLog(slot, 1, line);
    }
    int rc = _orvaTranscode(slot, inputs, inputCount, outputs, outputCount, wide);
    if (rc < 0) {
        char line[128];
        snprintf(line, sizeof line, "start transcoding error (%d: %s)", rc, orvaStartResultText(rc));
        orvaLog(slot, 1, line);
    }
    return rc;
}

}  // namespace

extern "C" {

// Builds the command line of one process and launches it.
int _orvaTranscode(int slot, const ORVA_INPUT_TAG* inputs, int inputCount,
                   const ORVA_OUTPUT_TAG* outputs, int outputCount, int wide) {
    int rc = checkSlot(slot);
    if (rc != ORVA_OK)
        return rc;
    char buffer[kOrvaLineSize];
    TextCursor line(buffer, sizeof buffer);
    std::vector<int> targetOfOutput;
    rc = orvaComposeLine(slot, inputs, inputCount, outputs, outputCount, wide, line, &targetOfOutput);
    if (rc != ORVA_OK)
        return rc;
    orvaSetLineTargets(slot, targetOfOutput);
    return launchLine(slot, line);
}

int orvaTranscodeMA(int slot, const ORVA_INPUT_TAG* inputs, int inputCount,
                    const ORVA_OUTPUT_TAG* outputs, int outputCount) {
    return startTranscoding(slot, inputs, inputCount, outputs, outputCount, 0);
}

int orvaTranscodeMW(int slot, const ORVA_INPUT_TAG* inputs, int inputCount,
                    const ORVA_OUTPUT_TAG* outputs, int outputCount) {
    return startTranscoding(slot, inputs, inputCount, outputs, outputCount, 1);
}

int orvaTranscodeA(int slot, const ORVA_INPUT_TAG* input, const ORVA_OUTPUT_TAG* output) {
    return startTranscoding(slot, input, 1, output, 1, 0);
}

int orvaTranscodeW(int slot, const ORVA_INPUT_TAG* input, const ORVA_OUTPUT_TAG* output) {
    return startTranscoding(slot, input, 1, output, 1, 1);
}

}  // extern "C"
