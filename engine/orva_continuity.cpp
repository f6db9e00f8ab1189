// orva_continuity.cpp: what each channel's transcoder learns from its
// environment besides the command line (orvaSetContinuity, and which target
// each output of its line is), and the variables that carry it.
#include <array>
#include <string>
#include <string_view>

#include "orva_engine.h"
#include "orva_text.h"

namespace {

struct Continuity {
    std::string memo;
    std::string backup;
    int sourceTimeoutMs = ORVA_DEFAULT_SOURCE_TIMEOUT_MS;
    int alarmBlackSec = ORVA_DEFAULT_ALARM_SEC;
    int alarmFreezeSec = ORVA_DEFAULT_ALARM_SEC;
    int alarmSilenceSec = ORVA_DEFAULT_ALARM_SEC;
};

std::array<Continuity, ORVA_CHANNEL_COUNT> g_continuity;
// "1,1,3": the target of each output of the line a channel slot launches next.
std::array<std::string, ORVA_CHANNEL_COUNT> g_lineTargets;

// The longest text a variable carries: a channel's texts are no longer. A
// longer one is left out, since a cut address or memo would mean another one.
constexpr size_t kLongestValue = ORVA_TEXT_SIZE - 1;

void addText(std::vector<std::string>& out, std::string_view name, const std::string& value) {
    if (value.size() <= kLongestValue)
        out.push_back(std::string(name) + value);
}

void addNumber(std::vector<std::string>& out, std::string_view name, int value) {
    out.push_back(std::string(name) + std::to_string(value));
}

}  // namespace

const std::string_view kOrvaContinuityVariables[kOrvaContinuityVariableCount] = {
    "ORVAL_CHANNEL=", "ORVAL_MEMO=", "ORVAL_BACKUP=", "ORVAL_SOURCE_TIMEOUT=",
    "ORVAL_ALARM_BLACK=", "ORVAL_ALARM_FREEZE=", "ORVAL_ALARM_SILENCE=", "ORVAL_TARGETS="};

std::vector<std::string> orvaContinuityEnvironment(int slot) {
    int channel = slot % ORVA_CHANNEL_COUNT;  // a recorder runs for its channel
    const Continuity& c = g_continuity[static_cast<size_t>(channel)];
    std::vector<std::string> out;
    addNumber(out, kOrvaContinuityVariables[0], channel + 1);
    addText(out, kOrvaContinuityVariables[1], c.memo);
    if (!c.backup.empty())
        addText(out, kOrvaContinuityVariables[2], c.backup);
    addNumber(out, kOrvaContinuityVariables[3], c.sourceTimeoutMs);
    addNumber(out, kOrvaContinuityVariables[4], c.alarmBlackSec);
    addNumber(out, kOrvaContinuityVariables[5], c.alarmFreezeSec);
    addNumber(out, kOrvaContinuityVariables[6], c.alarmSilenceSec);
    if (slot < ORVA_CHANNEL_COUNT && !g_lineTargets[static_cast<size_t>(slot)].empty())
        addText(out, kOrvaContinuityVariables[7], g_lineTargets[static_cast<size_t>(slot)]);
    return out;
}

void orvaSetLineTargets(int slot, const std::vector<int>& targetOfOutput) {
    // A recorder's output is its feed, no target of the channel.
    if (slot < 0 || slot >= ORVA_CHANNEL_COUNT)
        return;
    std::string& text = g_lineTargets[static_cast<size_t>(slot)];
    text.clear();
    for (int target : targetOfOutput)
        text += (text.empty() ? "" : ",") + std::to_string(target);
}

extern "C" int orvaSetContinuity(int channel, const ORVA_CONTINUITY_TAG* settings) {
    if (channel < 0 || channel >= ORVA_CHANNEL_COUNT)
        return ORVA_ERR_SLOT_RANGE;
    Continuity& c = g_continuity[static_cast<size_t>(channel)];
    c = Continuity{};
    if (!settings)
        return ORVA_OK;
    c.memo = settings->pszMemo ? settings->pszMemo : "";
    c.backup = settings->pszBackup ? settings->pszBackup : "";
    c.sourceTimeoutMs = settings->sourceTimeoutMs;
    c.alarmBlackSec = settings->alarmBlackSec;
    c.alarmFreezeSec = settings->alarmFreezeSec;
    c.alarmSilenceSec = settings->alarmSilenceSec;
    return ORVA_OK;
}
