// orva_channel_ctl.cpp: the bridge between a channel record and the engine.
#include "orva_channel_ctl.h"

#include <cstdio>
#include <cstring>

#include "config/orva_channel.h"
#include "engine/orva_text.h"

namespace {

char tszAppName[100];
char tszAppTitle[100];

int clampCount(int count, int most) { return count < 0 ? 0 : (count > most ? most : count); }

}  // namespace

// Hands the channel's sources and targets to the engine as the table holds
// them. Option texts, folder sources and time shift are not composed yet.
int orvaStartChannel(int channel) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return ORVA_ERR_SLOT_RANGE;
    const ORVA_CHANNEL_TAG& ch = g_orvaChannels[channel];
    ORVA_INPUT_TAG inputs[kOrvaMaxSources];
    ORVA_OUTPUT_TAG outputs[kOrvaMaxTargets];
    int inputCount = clampCount(ch.NumInputs, kOrvaMaxSources);
    int outputCount = clampCount(ch.NumOutputs, kOrvaMaxTargets);
    for (int k = 0; k < inputCount; k++) {
        inputs[k] = ch.Sources[k];
        inputs[k].pszAddress = ch.Sources[k].File;
        inputs[k].pszOptions = nullptr;
    }
    for (int t = 0; t < outputCount; t++) {
        outputs[t] = ch.Targets[t];
        outputs[t].pszAddress = ch.Targets[t].File;
        outputs[t].pszOptions = nullptr;
    }
    return orvaTranscodeMA(channel, inputs, inputCount, outputs, outputCount);
}

void orvaStopChannel(int channel, int mode) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return;
    if (g_orvaChannels[channel].TimeShiftSec != 0)
        orvaStop(channel + kOrvaRecorderSlotOffset, mode);
    orvaStop(channel, mode);
}

int orvaGetChannelState(int channel) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return 0;
    if (g_orvaChannels[channel].TimeShiftSec != 0)
        return orvaGetState(channel + kOrvaRecorderSlotOffset);
    return orvaGetState(channel);
}

const char* orvaAppTitle() {
    if (tszAppTitle[0] == '\0')
        copyText(tszAppTitle, "Kestova Live!");
    return tszAppTitle;
}

// The first line of "orvaoem.txt" in the program folder brands the service.
const char* orvaAppName() {
    if (tszAppName[0] != '\0')
        return tszAppName;
    char path[400];
    snprintf(path, sizeof path, "%s%sorvaoem.txt", orvaGetProgDir(), "/");
    if (FILE* f = fopen(path, "re")) {
        if (!fgets(tszAppName, 99, f))
            tszAppName[0] = '\0';
        fclose(f);
    }
    if (tszAppName[0] == '\0' || tszAppName[0] == '\n' || tszAppName[0] == '\r')
        copyText(tszAppName, "Kestova Live!");
    return tszAppName;
}
