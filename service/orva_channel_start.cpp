// orva_channel_start.cpp: turns a channel record into an engine request and
// starts it; a time-shifted channel gets a recorder and a player.
//
// Every text is composed into a fixed work buffer. A text that does not fit
// refuses the start (ORVA_ERR_TEXT_TOO_LONG) with a line in the channel's log:
// a cut address or option would make the transcoder do something else.
#include <cstdio>
#include <ctime>
#include <string>

#include "config/orva_channel.h"
#include "engine/orva_runs.h"
#include "engine/orva_service_log.h"
#include "orva_channel_ctl.h"
#include "orva_channel_texts.h"
#include "orva_folders.h"
#include "playlist/orva_playlist.h"

namespace {

constexpr size_t kAddressSize = 1000;
constexpr size_t kOptionSize = 2000;
constexpr size_t kRecorderOptionSize = 1000;

struct StartRequest {
    ORVA_INPUT_TAG inputs[kOrvaMaxSources];
    char inputAddresses[kOrvaMaxSources][kAddressSize];
    char inputOptions[kOptionSize];
    int inputCount;
    ORVA_OUTPUT_TAG outputs[kOrvaMaxTargets];
    char outputAddresses[kOrvaMaxTargets][kAddressSize];
    char outputOptions[kOrvaMaxTargets][kOptionSize];
    int outputCount;
};

int clampCount(int count, int most) { return count < 0 ? 0 : (count > most ? most : count); }

int refuseTooLong(int channel, const char* what) {
    char line[200];
    snprintf(line, sizeof line, "channel start refused: %s does not fit its buffer", what);
    orvaLog(channel, 1, line);
    return ORVA_ERR_TEXT_TOO_LONG;
}

int refuseTooLongAddress(int channel, int k) {
    char what[40];
    snprintf(what, sizeof what, "the address of source %d", k + 1);
    return refuseTooLong(channel, what);
}

// A folder source plays the current file of the channel's playlist. The
// request keeps a copy: a second folder source rebuilds the same playlist.
int resolveInput(int channel, int k, StartRequest& rq) {
    ORVA_CHANNEL_SOURCE_TAG& source = g_orvaChannels[channel].Sources[k];
    rq.inputs[k] = source;
    rq.inputs[k].pszAddress = rq.inputAddresses[k];
    if (!isDirectory(source.File))
        return copyText(rq.inputAddresses[k], fieldText(source.File)) ? ORVA_OK
                                                                     : refuseTooLongAddress(channel, k);
    CPlayList& playlist = g_orvaPlaylists[channel];
    if (playlist.build(source.File, g_globalSettings.FolderRecur, g_globalSettings.FolderShuffle, 1) == 0)
        return ORVA_ERR_NO_PLAYLIST;
    return copyText(rq.inputAddresses[k], playlist.GetCurFile()) ? ORVA_OK
                                                                 : refuseTooLongAddress(channel, k);
}

// Folder sources name the playlist's current file in the table; the pointer
// stays valid until the playlist changes again.
void pointFolderSourcesAtCurrentFile(int channel, int sourceCount) {
    for (int k = 0; k < sourceCount; k++) {
        ORVA_CHANNEL_SOURCE_TAG& source = g_orvaChannels[channel].Sources[k];
        if (isDirectory(source.File)) {
            const char* current = g_orvaPlaylists[channel].GetCurFile();
            source.pszAddress = current ? current : source.File;
        }
    }
}

int composeInputs(int channel, StartRequest& rq) {
    const ORVA_CHANNEL_TAG& ch = g_orvaChannels[channel];
    rq.inputCount = clampCount(ch.NumInputs, kOrvaMaxSources);
    int rc = ORVA_OK;
    for (int k = 0; k < rq.inputCount && rc == ORVA_OK; k++)
        rc = resolveInput(channel, k, rq);
    // Also after a failed rebuild: the entries the table pointed at are gone.
    pointFolderSourcesAtCurrentFile(channel, rq.inputCount);
    if (rc != ORVA_OK)
        return rc;
    TextCursor options(rq.inputOptions, sizeof rq.inputOptions);
    if (!orvaComposeInputOptions(ch, options))
        return refuseTooLong(channel, "the input option text");
    rq.inputs[0].pszOptions = rq.inputOptions;
    return ORVA_OK;
}

int composeOutputs(int channel, StartRequest& rq) {
    const ORVA_CHANNEL_TAG& ch = g_orvaChannels[channel];
    rq.outputCount = clampCount(ch.NumOutputs, kOrvaMaxTargets);
    time_t now = time(nullptr);
    for (int t = 0; t < rq.outputCount; t++) {
        const ORVA_CHANNEL_TARGET_TAG& target = ch.Targets[t];
        char what[40];
        TextCursor address(rq.outputAddresses[t], kAddressSize);
        if (!orvaComposeTargetAddress(target, now, address)) {
            snprintf(what, sizeof what, "the address of target %d", t + 1);
            return refuseTooLong(channel, what);
        }
        TextCursor options(rq.outputOptions[t], kOptionSize);
        if (!orvaComposeTargetOptions(ch, target, rq.outputAddresses[t], options)) {
            snprintf(what, sizeof what, "the option text of target %d", t + 1);
            return refuseTooLong(channel, what);
        }
        rq.outputs[t] = target;
        rq.outputs[t].pszAddress = rq.outputAddresses[t];
        rq.outputs[t].pszOptions = rq.outputOptions[t];
    }
    return ORVA_OK;
}

// The recorder encodes the source with the first target's settings into a
// feed file; the player passes that feed on to the first target. Both sides
// get twice the delay as the feed's wrap time.
int startTimeShift(int channel, StartRequest& rq) {
    const ORVA_CHANNEL_TAG& ch = g_orvaChannels[channel];
    // Held to its range first, so that twice the delay always fits.
    int wrapTime = 2 * orvaClampToRange(OrvaRange::TimeShiftSec, ch.TimeShiftSec);
    char feed[kAddressSize];
    TextCursor feedPath(feed, sizeof feed);
    append(feedPath, fieldText(ch.TimeShiftCacheFolder));
    if (feedPath.length() == 0 || feedPath.view().back() != '/')
        append(feedPath, "/");
    appendf(feedPath, "feed%03d.ffm", channel + 1);
    if (feedPath.truncated)
        return refuseTooLong(channel, "the time-shift feed path");
    char recorderOptions[kRecorderOptionSize];
    TextCursor recorderText(recorderOptions, sizeof recorderOptions);
    append(recorderText, rq.outputOptions[0]);
    appendf(recorderText, " -wrap_time %d", wrapTime);
    if (recorderText.truncated)
        return refuseTooLong(channel, "the recorder option text");

    int recorderSlot = channel + kOrvaRecorderSlotOffset;
    if (orvaGetState(recorderSlot) == ORVA_STATE_IDLE) {
        CreateFolder(ch.TimeShiftCacheFolder);
        ORVA_OUTPUT_TAG recorder = ch.Targets[0];
        recorder.Format = ORVA_FORMAT_FILE;
        recorder.pszAddress = feed;
        recorder.pszOptions = recorderOptions;
        ORVA_INPUT_TAG source = ch.Sources[0];
        if (!source.pszAddress)
            source.pszAddress = ch.Sources[0].File;
        orvaTranscodeA(recorderSlot, &source, &recorder);  // a failed recorder shows in its log
    }
    if (orvaGetState(channel) != ORVA_STATE_IDLE)
        return ORVA_OK;
    char playerOptions[32];
    snprintf(playerOptions, sizeof playerOptions, "-wrap_time %d", wrapTime);
    ORVA_INPUT_TAG player{};
    player.pszAddress = feed;
    player.pszOptions = playerOptions;
    ORVA_OUTPUT_TAG& output = rq.outputs[0];
    output.Video.VideoCodec = ORVA_VIDEO_COPY;
    output.Audio.AudioCodec = ORVA_AUDIO_COPY;
    output.pszOptions = nullptr;
    return orvaTranscodeA(channel, &player, &output);
}

}  // namespace

namespace {

// The launcher of both slots learns the channel's memo and continuity
// settings from its environment.
void passContinuity(int channel) {
    const ORVA_CHANNEL_CONTINUITY_TAG& c = g_orvaContinuity[channel];
    // A text that fills its field has no terminator there.
    std::string memo(fieldText(g_orvaChannels[channel].Memo));
    std::string backup(fieldText(c.BackupSource));
    ORVA_CONTINUITY_TAG settings{memo.c_str(), backup.c_str(), c.SourceTimeout, c.AlarmBlackSec,
                                 c.AlarmFreezeSec, c.AlarmSilenceSec};
    orvaSetContinuity(channel, &settings);
}

int startChannel(int channel) {
    passContinuity(channel);
    StartRequest rq{};
    if (int rc = composeInputs(channel, rq); rc != ORVA_OK)
        return rc;
    if (int rc = composeOutputs(channel, rq); rc != ORVA_OK)
        return rc;
    if (g_orvaChannels[channel].TimeShiftSec == 0)
        return orvaTranscodeMA(channel, rq.inputs, rq.inputCount, rq.outputs, rq.outputCount);
    return startTimeShift(channel, rq);
}

}  // namespace

// Caller holds the service lock.
int orvaStartChannel(int channel) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return ORVA_ERR_SLOT_RANGE;
    int rc = startChannel(channel);
    if (rc == ORVA_OK) {
        orvaServiceLog("channel %d started", channel + 1);
        return rc;
    }
    orvaServiceLog("channel %d start refused (%d: %s)", channel + 1, rc, orvaStartResultText(rc));
    orvaRecordRefusal(channel, rc);
    return rc;
}
