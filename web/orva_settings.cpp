// orva_settings.cpp: the "/global_config" endpoint: the settings as JSON, and
// the settings dialog's form applied to them.
//
// DESIGN: as in the channel edit, every value is read and checked before
// anything is written: an update is applied whole, in the order the dialog
// expects, or refused whole and nothing changes, not even the engine's log
// level. A value that the form accepts is stored exactly as the operator
// typed it, so it reads back the same from the file after a restart.
#include "orva_settings.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <memory>

#include "config/orva_channel.h"
#include "engine/orva.h"
#include "orva_channel_ops.h"
#include "orva_form.h"
#include "orva_json.h"
#include "orva_utf8.h"
#include "orva_web.h"
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
    OrvaFormReader reader(body);
    for (OrvaFormField field; reader.next(field);) {
        if (field.name == name)
            return field.value;
    }
    return {};
}

int readForm(std::string_view body, Form& form) {
    for (size_t i = 0; i < kFieldCount; i++) {
        Value& value = form.at[i];
        TextCursor out(value.text, sizeof value.text);
        if (orvaFormValue(body, kFieldNames[i], out) == ORVA_FORM_TOO_LONG)
            return ORVA_WEB_TOO_LARGE;
        value.length = out.length();
    }
    // The browser sends the session cookie back in the cookie text, which
    // holds 999 characters: a longer one would lock the operator out.
    if (kAuth.size() + sentValue(body, kFieldNames[LoginPass]).size() > ORVA_WEB_TEXT_SIZE - 1)
        return ORVA_WEB_TOO_LARGE;
    return 0;
}

// An optional "-" and digits, nothing else, within [0, highest]. An empty
// value is one not given and passes.
bool checkNumber(Value& value, long highest) {
    if (!value.given())
        return true;
    const char* end = value.text + value.length;
    long parsed = 0;
    auto result = std::from_chars(value.text, end, parsed);
    if (result.ec != std::errc() || result.ptr != end || parsed < 0 || parsed > highest)
        return false;
    value.number = parsed;
    return true;
}

bool checkForm(Form& form) {
    std::string_view password = form.at[LoginPass].view();
    return checkNumber(form.at[HttpPort], kHighestPort) &&
           checkNumber(form.at[RtspPort], kHighestPort) &&
           checkNumber(form.at[AutoRestart], orvaRangeHighest(OrvaRange::AutoRestartSec)) &&
           checkNumber(form.at[CpuAffinity], orvaRangeHighest(OrvaRange::CpuPerChannel)) &&
           orvaIsStorableText(password) && orvaIsValidUtf8(password);
}

void applyPorts(const Form& form, ORVA_GLOBAL_SETTINGS& s) {
    uint16_t http = s.HTTPPort;
    uint16_t rtsp = s.RTSPPort;
    if (form.at[HttpPort].given())
        http = static_cast<uint16_t>(form.at[HttpPort].number);  // checked to fit
    if (form.at[RtspPort].given())
        rtsp = static_cast<uint16_t>(form.at[RtspPort].number);
    s.HTTPPort = http;
    s.RTSPPort = rtsp;
}

// `form` is checked. The order is the dialog's: the engine learns the log
// level first and the processor count last, and the save comes after all.
void applyForm(const Form& form, ORVA_GLOBAL_SETTINGS& s) {
    s.Log = form.at[Log].on() ? kLogOn : 0;
    orvaSetLog(s.Log);
    applyPorts(form, s);
    // A form without a password switches the login off.
    copyText(s.LoginPass, form.at[LoginPass].view());
    s.AutoStart = form.at[Autorun].on() ? 1 : 0;
    if (form.at[AutoRestart].given())
        s.AutoRestart = static_cast<int32_t>(form.at[AutoRestart].number);
    s.FolderRecur = form.at[FolderRecur].on() ? 1 : 0;
    s.FolderShuffle = form.at[FolderShuffle].on() ? 1 : 0;
    if (form.at[CpuAffinity].given()) {
        s.CpuPerChannel = static_cast<int32_t>(form.at[CpuAffinity].number);
        orvaSetCpuAffinity(s.CpuPerChannel);
    }
}

void appendSetting(std::string& out, std::string_view key, int64_t value) {
    out += key;
    orvaJsonNumber(out, value);
}

int replyUpdated(MHD_Connection* connection, std::string_view sentPassword) {
    std::string cookie(kAuth);
    cookie += sentPassword;
    return orvaReplyCookie(connection, cookie.c_str());
}

}  // namespace

std::string orvaComposeSettings(const OrvaAutorun& autorun) {
    const ORVA_GLOBAL_SETTINGS& s = g_globalSettings;
    std::string out;
    appendSetting(out, "{ \"log\": ", s.Log);
    appendSetting(out, ",\n  \"httpPort\": ", s.HTTPPort);
    appendSetting(out, ",\n  \"rtspPort\": ", s.RTSPPort);
    out += ",\n  \"loginPass\": \"";
    orvaJsonEscape(out, fieldText(s.LoginPass));
    out += "\"";
    appendSetting(out, ",\n  \"autorun\": ", autorun.managed ? autorun.enabled : s.AutoStart);
    appendSetting(out, ",\n  \"autorunManaged\": ", autorun.managed);
    appendSetting(out, ",\n  \"autoRestart\": ", s.AutoRestart);
    appendSetting(out, ",\n  \"folderRecur\": ", s.FolderRecur);
    appendSetting(out, ",\n  \"cpuAffinity\": ", s.CpuPerChannel);
    out += "\n}";
    return out;
}

int orvaCheckSettings(std::string_view body) {
    auto form = std::make_unique<Form>();
    if (int rc = readForm(body, *form); rc != 0)
        return rc;
    return checkForm(*form) ? 0 : ORVA_WEB_BAD_VALUE;
}

int orvaUpdateSettings(std::string_view body) {
    auto form = std::make_unique<Form>();  // too large for a connection thread's stack
    if (int rc = readForm(body, *form); rc != 0)
        return rc;
    if (!checkForm(*form))
        return ORVA_WEB_BAD_VALUE;
    applyForm(*form, g_globalSettings);
    return orvaCGICallback(0) == 0 ? 0 : ORVA_WEB_NOT_SAVED;
}

int orvaCGIGlobalConfig(const char* body, MHD_Connection* connection,
                        std::unique_lock<std::mutex>& serviceLock) {
    OrvaAutorun autorun = orvaQueryAutorun(serviceLock);
    if (!body || !body[0]) {
        std::string json = orvaComposeSettings(autorun);
        return orvaReplyText(connection, json.data(), json.size(), "application/json", true);
    }
    int rc = orvaUpdateSettingsAndAutorun(body, autorun, serviceLock);
    if (rc == ORVA_WEB_TOO_LARGE)
        return orvaReplyEmpty(connection, ORVA_HTTP_TOO_LARGE);
    if (rc == ORVA_WEB_BAD_VALUE)
        return orvaReplyEmpty(connection, ORVA_HTTP_BAD_REQUEST);
    if (rc == ORVA_WEB_NOT_SAVED)
        return orvaReplyEmpty(connection, kInternalError);
    return replyUpdated(connection, sentValue(body, kFieldNames[LoginPass]));
}
