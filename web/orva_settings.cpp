// orva_settings.cpp: the "/global_config" endpoint: the settings as JSON, and
// the settings dialog's form applied to them.
//
// DESIGN: as in the channel edit, every value is read and checked before
// anything is written: an update is applied whole, in the order the dialog
// expects, or refused whole and nothing changes, not even the engine's log
// level. An accepted update is saved before it takes effect (orva_save.h):
// a save that fails leaves the running settings as they were. A value that
// the form accepts is stored exactly as the operator typed it, so it reads
// back the same from the file after a restart.
#include "orva_settings.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "config/orva_channel.h"
#include "config/orva_config.h"
#include "engine/orva.h"
#include "orva_channel_ops.h"
#include "orva_form.h"
#include "orva_json.h"
#include "orva_login.h"
#include "orva_utf8.h"
#include "orva_web.h"
#include "service/orva_save.h"
#include "service/orva_service.h"

namespace {

constexpr int32_t kLogOn = 32;
constexpr long kHighestPort = 65535;
constexpr unsigned kInternalError = 500;
constexpr std::string_view kAuth = "auth=";

enum Field { Log, HttpPort, RtspPort, LoginPass, Autorun, AutoRestart, FolderRecur,
             FolderShuffle, CpuAffinity, kFieldCount };

constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "log", "http_port", "rtsp_port", "login_pass", "autorun",
    "auto_restart", "folder_recur", "folder_shuffle", "cpu_affinity"};

struct Value {
    char text[ORVA_EDIT_VALUE_MAX + 1];
    size_t length = 0;
    long number = 0;  // once checked, for the number fields that were given

    std::string_view view() const { return {text, length}; }
    bool given() const { return length > 0; }
    bool on() const { return view() == "on"; }
};

struct Form {
    std::array<Value, kFieldCount> at;
};

// The login_pass value exactly as it was sent; empty when none was.
std::string_view sentValue(std::string_view body, std::string_view name) {
    OrvaFormField field{};
    return orvaFormField(body, name, field) ? field.value : std::string_view();
}

// A refusal: the code orvaUpdateSettings returns and the reason the reply gives.
struct Refusal {
    int code = 0;
    const char* reason = nullptr;
};

Refusal readForm(std::string_view body, Form& form) {
    for (size_t i = 0; i < kFieldCount; i++) {
        Value& value = form.at[i];
        TextCursor out(value.text, sizeof value.text);
        if (orvaFormValue(body, kFieldNames[i], out) == ORVA_FORM_TOO_LONG)
            return {ORVA_WEB_TOO_LARGE, "A value is longer than 999 characters"};
        value.length = out.length();
    }
    // The browser sends the session cookie back in the cookie text, which
    // holds 999 characters: a longer one would lock the operator out.
    if (kAuth.size() + sentValue(body, kFieldNames[LoginPass]).size() > ORVA_WEB_TEXT_SIZE - 1)
        return {ORVA_WEB_TOO_LARGE, "Web Login Password is too long for its session cookie"};
    return {};
}

// An optional "-" and digits, nothing else, within [lowest, highest]. An
// empty value is one not given and passes.
bool checkNumber(Value& value, long lowest, long highest) {
    if (!value.given())
        return true;
    const char* end = value.text + value.length;
    long parsed = 0;
    auto result = std::from_chars(value.text, end, parsed);
    if (result.ec != std::errc() || result.ptr != end || parsed < lowest || parsed > highest)
        return false;
    value.number = parsed;
    return true;
}

struct NumberRule {
    Field field;
    long lowest;
    long highest;
    const char* reason;
};

Refusal checkForm(Form& form) {
    static const std::string autoRestart =
        "Auto Restart must be 0\u2013" + std::to_string(orvaRangeHighest(OrvaRange::AutoRestartSec));
    static const std::string cpu =
        "CPU Affinity must be 0\u2013" + std::to_string(orvaRangeHighest(OrvaRange::CpuPerChannel));
    // A port of 0 would have the server listen wherever the system puts it
    // after the next restart; the RTSP port keeps 0 as "not set".
    const NumberRule rules[] = {
        {HttpPort, 1, kHighestPort, "HTTP Port must be 1\u201365535"},
        {RtspPort, 0, kHighestPort, "RTSP Port must be 0\u201365535"},
        {AutoRestart, 0, orvaRangeHighest(OrvaRange::AutoRestartSec), autoRestart.c_str()},
        {CpuAffinity, 0, orvaRangeHighest(OrvaRange::CpuPerChannel), cpu.c_str()},
    };
    for (const NumberRule& rule : rules) {
        if (!checkNumber(form.at[rule.field], rule.lowest, rule.highest))
            return {ORVA_WEB_BAD_VALUE, rule.reason};
    }
    std::string_view password = form.at[LoginPass].view();
    if (!orvaIsStorableText(password))
        return {ORVA_WEB_BAD_VALUE, "Web Login Password must not hold a line break or control character"};
    if (!orvaIsValidUtf8(password))
        return {ORVA_WEB_BAD_VALUE, "Web Login Password must be UTF-8 text"};
    return {};
}

void applyPorts(const Form& form, ORVA_GLOBAL_SETTINGS& s) {
    if (form.at[HttpPort].given())
        s.HTTPPort = static_cast<uint16_t>(form.at[HttpPort].number);  // checked to fit
    if (form.at[RtspPort].given())
        s.RTSPPort = static_cast<uint16_t>(form.at[RtspPort].number);
}

// `form` is checked. Changes the record only; the engine learns the levels
// once the change is saved (tellEngine).
void applyForm(const Form& form, bool passwordSent, ORVA_GLOBAL_SETTINGS& s) {
    s.Log = form.at[Log].on() ? kLogOn : 0;
    applyPorts(form, s);
    // A form without the field keeps the password: only one sent empty
    // switches the login off, so a stray request cannot.
    if (passwordSent)
        copyText(s.LoginPass, form.at[LoginPass].view());
    s.AutoStart = form.at[Autorun].on() ? 1 : 0;
    if (form.at[AutoRestart].given())
        s.AutoRestart = static_cast<int32_t>(form.at[AutoRestart].number);
    s.FolderRecur = form.at[FolderRecur].on() ? 1 : 0;
    s.FolderShuffle = form.at[FolderShuffle].on() ? 1 : 0;
    if (form.at[CpuAffinity].given())
        s.CpuPerChannel = static_cast<int32_t>(form.at[CpuAffinity].number);
}

// The order is the dialog's: the log level first, the processor count last.
void tellEngine(const Form& form, const ORVA_GLOBAL_SETTINGS& s) {
    orvaSetLog(s.Log);
    if (form.at[CpuAffinity].given())
        orvaSetCpuAffinity(s.CpuPerChannel);
}

bool fieldSent(std::string_view body, std::string_view name) {
    OrvaFormField field{};
    return orvaFormField(body, name, field);
}

void appendSetting(std::string& out, std::string_view key, int64_t value) {
    out += key;
    orvaJsonNumber(out, value);
}

int replyUpdated(MHD_Connection* connection, std::string_view body) {
    if (!fieldSent(body, kFieldNames[LoginPass]))
        return orvaReplyEmpty(connection, 200);  // the session cookie stays as it is
    std::string cookie = orvaSessionCookie(sentValue(body, kFieldNames[LoginPass]));
    return orvaReplyCookie(connection, cookie.c_str());
}

Refusal readAndCheck(std::string_view body, Form& form) {
    if (Refusal refused = readForm(body, form); refused.code != 0)
        return refused;
    return checkForm(form);
}

Refusal updateSettings(std::string_view body, std::unique_lock<std::mutex>& serviceLock) {
    auto form = std::make_unique<Form>();  // too large for a connection thread's stack
    if (Refusal refused = readAndCheck(body, *form); refused.code != 0)
        return refused;
    const bool passwordSent = fieldSent(body, kFieldNames[LoginPass]);
    ORVA_GLOBAL_SETTINGS updated{};
    OrvaChange change{
        [&](std::string& text) {
            updated = g_globalSettings;
            applyForm(*form, passwordSent, updated);
            OrvaConfigRecords records = orvaLiveConfigRecords();
            records.settings = &updated;
            return orvaComposeConfigText(text, records) == 0 ? 0 : ORVA_WEB_NOT_SAVED;
        },
        [&] {
            g_globalSettings = updated;
            tellEngine(*form, updated);
        }};
    if (orvaSaveChange(serviceLock, change) != 0)
        return {ORVA_WEB_NOT_SAVED, "The configuration file could not be written; nothing was changed"};
    return {};
}

// Where systemd manages the boot start and the form's box differs from the
// unit, the unit changes first, and back again when the save is refused or
// fails: a failed systemctl, like a failed save, changes nothing.
Refusal updateSettingsAndAutorun(std::string_view body, const OrvaAutorun& autorun,
                                 std::unique_lock<std::mutex>& serviceLock) {
    auto form = std::make_unique<Form>();
    if (Refusal refused = readAndCheck(body, *form); refused.code != 0)
        return refused;
    const bool wanted = form->at[Autorun].on();
    if (!autorun.managed || wanted == autorun.enabled)
        return updateSettings(body, serviceLock);
    if (orvaSetAutorun(wanted, serviceLock) != 0)
        return {ORVA_WEB_NOT_SAVED, "systemctl could not change the start at boot; nothing was changed"};
    Refusal refused = updateSettings(body, serviceLock);
    if (refused.code != 0)
        orvaSetAutorun(!wanted, serviceLock);
    return refused;
}

}  // namespace

std::string orvaComposeSettings(const OrvaAutorun& autorun) {
    const ORVA_GLOBAL_SETTINGS& s = g_globalSettings;
    std::string_view password = fieldText(s.LoginPass);
    // A password that is not UTF-8 (from the file or an import) cannot be
    // shown; the page then leaves it out of its save, which keeps it.
    const bool unshown = !orvaIsValidUtf8(password);
    std::string out;
    appendSetting(out, "{ \"log\": ", s.Log);
    appendSetting(out, ",\n  \"httpPort\": ", s.HTTPPort);
    appendSetting(out, ",\n  \"rtspPort\": ", s.RTSPPort);
    out += ",\n  \"loginPass\": \"";
    if (!unshown)
        orvaJsonEscape(out, password);
    out += "\"";
    appendSetting(out, ",\n  \"loginPassUnshown\": ", unshown ? 1 : 0);
    appendSetting(out, ",\n  \"autorun\": ", autorun.managed ? autorun.enabled : s.AutoStart);
    appendSetting(out, ",\n  \"autorunManaged\": ", autorun.managed);
    appendSetting(out, ",\n  \"autoRestart\": ", s.AutoRestart);
    appendSetting(out, ",\n  \"folderRecur\": ", s.FolderRecur);
    appendSetting(out, ",\n  \"folderShuffle\": ", s.FolderShuffle);
    appendSetting(out, ",\n  \"cpuAffinity\": ", s.CpuPerChannel);
    out += "\n}";
    return out;
}

int orvaUpdateSettings(std::string_view body, std::unique_lock<std::mutex>& serviceLock) {
    return updateSettings(body, serviceLock).code;
}

int orvaUpdateSettings(std::string_view body) {
    std::unique_lock<std::mutex> lock(g_serviceLock);
    return orvaUpdateSettings(body, lock);
}

int orvaCGIGlobalConfig(const char* body, MHD_Connection* connection,
                        std::unique_lock<std::mutex>& serviceLock) {
    OrvaAutorun autorun = orvaQueryAutorun(serviceLock);
    if (!body || !body[0]) {
        std::string json = orvaComposeSettings(autorun);
        return orvaReplyText(connection, json.data(), json.size(), "application/json", true);
    }
    Refusal refused = updateSettingsAndAutorun(body, autorun, serviceLock);
    switch (refused.code) {
    case 0: return replyUpdated(connection, body);
    case ORVA_WEB_TOO_LARGE: return orvaReplyReason(connection, ORVA_HTTP_TOO_LARGE, refused.reason);
    case ORVA_WEB_BAD_VALUE: return orvaReplyReason(connection, ORVA_HTTP_BAD_REQUEST, refused.reason);
    default: return orvaReplyReason(connection, kInternalError, refused.reason);
    }
}

