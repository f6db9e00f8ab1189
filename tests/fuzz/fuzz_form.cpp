// The form field reader and URL decoding on any text: fields cover the form,
// decoding never grows a text, and both decoders agree with each other. The
// same text as a settings form: a refused one changes nothing, an accepted
// one leaves the settings within their ranges, and a form without login_pass
// keeps the password.
#include <cstring>
#include <cstdint>
#include <memory>
#include <string>

#include "config/orva_channel.h"
#include "engine/orva_text.h"
#include "fuzz_support.h"
#include "web/orva_channel_ops.h"
#include "web/orva_form.h"
#include "web/orva_settings.h"
#include "web/orva_utf8.h"
#include "web/orva_web.h"

namespace {

// Every field lies inside the form, and its name holds no "&" or "=".
void checkFields(std::string_view form) {
    OrvaFormReader reader(form);
    OrvaFormField field;
    while (reader.next(field)) {
        if (field.name.data() < form.data() ||
            field.name.data() + field.name.size() > form.data() + form.size())
            fuzzFail("a field name lies outside the form");
        if (field.name.find_first_of("&=") != std::string_view::npos)
            fuzzFail("a field name holds a separator");
        if (field.value.find('&') != std::string_view::npos)
            fuzzFail("a field value holds an ampersand");
        if (!field.hasValue && !field.value.empty())
            fuzzFail("a bare name has a value");
        // The first field of that name is the one orvaFormValue finds.
        char buffer[ORVA_WEB_TEXT_SIZE];
        TextCursor out(buffer, sizeof buffer);
        if (orvaFormValue(form, field.name, out) == ORVA_FORM_MISSING)
            fuzzFail("a field the reader walked is missing");
    }
}

void checkDecoding(std::string_view form) {
    const size_t room = form.size() + 1;
    auto buffer = std::make_unique<char[]>(room);
    TextCursor decoded(buffer.get(), room);
    orvaFormDecode(decoded, form);
    if (decoded.truncated)
        fuzzFail("decoding grew the text");
    if (decoded.length() != orvaFormDecodedLength(form))
        fuzzFail("the decoded length is not the length decoded");

    // The C-text decoder stops at the first NUL and then agrees byte for byte.
    const std::string text(form.substr(0, form.find('\0')));
    auto plain = std::make_unique<char[]>(text.size() + 1);
    _urlDecode(text.c_str(), plain.get(), 1);
    const std::string_view prefix = decoded.view().substr(0, decoded.view().find('\0'));
    if (strlen(plain.get()) > text.size())
        fuzzFail("_urlDecode grew the text");
    if (text.size() == form.size() && prefix != plain.get())
        fuzzFail("the two decoders differ");
    _urlDecode(text.c_str(), plain.get(), 0);
    if (strlen(plain.get()) > text.size())
        fuzzFail("_urlDecode grew the text");
}

bool sent(std::string_view form, std::string_view name) {
    OrvaFormField field{};
    return orvaFormField(form, name, field);
}

// No configuration file is set, so an accepted form is applied without a write.
void checkSettingsForm(std::string_view form) {
    ORVA_GLOBAL_SETTINGS& s = g_globalSettings;
    s = ORVA_GLOBAL_SETTINGS{};
    s.HTTPPort = 8888;
    s.RTSPPort = 554;
    copyText(s.LoginPass, "p\xFFq");  // not UTF-8: only a form that sends one replaces it
    const ORVA_GLOBAL_SETTINGS before = s;
    const int rc = orvaUpdateSettings(form);
    if (rc != 0) {
        if (rc != ORVA_WEB_BAD_VALUE && rc != ORVA_WEB_TOO_LARGE)
            fuzzFail("a settings form got an unknown answer");
        if (memcmp(&before, &s, sizeof s) != 0)
            fuzzFail("a refused settings form changed the settings");
        return;
    }
    if (s.HTTPPort == 0)
        fuzzFail("an HTTP port of 0 was taken");
    if (!orvaInRange(OrvaRange::AutoRestartSec, s.AutoRestart) ||
        !orvaInRange(OrvaRange::CpuPerChannel, s.CpuPerChannel))
        fuzzFail("a setting lies outside its range");
    const std::string_view password = fieldText(s.LoginPass);
    if (!sent(form, "login_pass") && password != fieldText(before.LoginPass))
        fuzzFail("a form without login_pass changed the password");
    if (sent(form, "login_pass") && (!orvaIsValidUtf8(password) || !orvaIsStorableText(password)))
        fuzzFail("a password the file cannot carry was taken");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string form(reinterpret_cast<const char*>(data), size);
    checkFields(form);
    checkDecoding(form);
    checkSettingsForm(form);
    return 0;
}
