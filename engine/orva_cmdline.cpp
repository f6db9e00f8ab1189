// orva_cmdline.cpp: the start calls: turn an engine request into the
// transcoder's command line, log it and launch the process.
#include <cstdio>

#include "orva_engine.h"
#include "orva_text.h"

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
        char line[64];
        snprintf(line, sizeof line, "start transcoding error (%d)", rc);
        orvaLog(slot, 1, line);
    }
    return rc;
}

}  // namespace

extern "C" {

// Builds the command line of one process and launches it. The inputs and
// outputs of the request are not composed into the line yet: only the
// verbosity option is.
int _orvaTranscode(int slot, const ORVA_INPUT_TAG* inputs, int inputCount,
                   const ORVA_OUTPUT_TAG* outputs, int outputCount, int wide) {
    (void)inputs, (void)inputCount, (void)outputs, (void)outputCount, (void)wide;
    int rc = checkSlot(slot);
    if (rc != ORVA_OK)
        return rc;
    char buffer[kOrvaLineSize];
    TextCursor line(buffer, sizeof buffer);
    if (g_cfg.logLevel != 0)
        appendf(line, "-v %d ", g_cfg.logLevel);
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
