// orva_login.cpp: the session check, the login page and the login attempt.
//
// The attempt does not check the password: the browser follows the redirect
// to "/" and the session check decides there, so a wrong password simply
// shows the login page again.
#include "orva_login.h"

#include <memory>
#include <string_view>

#include "config/orva_channel.h"
#include "engine/orva_text.h"
#include "orva_form.h"
#include "orva_web.h"
#include "service/orva_channel_ctl.h"

namespace {

constexpr std::string_view kAuth = "auth=";

// The first piece of the cookie text, split at runs of "&", ";" and blanks,
// that begins with "auth="; only that one counts, right or wrong.
std::string_view authValue(std::string_view cookies) {
    constexpr std::string_view kSeparators = "&; ";
    while (!cookies.empty()) {
        size_t start = cookies.find_first_not_of(kSeparators);
        if (start == std::string_view::npos)
            break;
        cookies.remove_prefix(start);
        std::string_view piece = cookies.substr(0, cookies.find_first_of(kSeparators));
        if (piece.starts_with(kAuth))
            return piece.substr(kAuth.size());
        cookies.remove_prefix(piece.size());
    }
    return {};
}

void composeLoginPage(TextCursor& page) {
    appendf(page, "<html>\n<head>\n<title>%s</title>\n</head>\n", orvaAppTitle());
    append(page,
           "<body>\n<div style=\"width: 100%; position: absolute; top: 30%; "
           "text-align: center\">\n");
    appendf(page, "<h2>%s Login Authentication</h2>\n", "ORVAL");
    append(page,
           "<form action=\"login\" method=\"post\">\n"
           " <input type=\"password\" name=\"auth\" required>\n"
           " <input type=\"submit\" value=\"Login\">\n"
           "</form></div>\n</body>\n</html>");
}

}  // namespace

int orvaCGIAuth(const char* cookies) {
    std::string_view password = fieldText(g_globalSettings.LoginPass);
    if (password.empty())
        return 1;
    char value[ORVA_WEB_TEXT_SIZE];
    if (!copyText(value, authValue(cookies ? cookies : "")))
        return 0;  // longer than any password can be
    char decoded[ORVA_WEB_TEXT_SIZE];
    _urlDecode(value, decoded, 1);
    return password == decoded ? 1 : 0;
}

int orvaCGILoginPage(MHD_Connection* connection) {
    auto work = std::make_unique_for_overwrite<char[]>(ORVA_WEB_WORK_SIZE);
    TextCursor page(work.get(), ORVA_WEB_WORK_SIZE);
    composeLoginPage(page);
    return orvaReplyText(connection, page.begin, page.length(), "text/html", false);
}

int orvaCGILogin(const char* body, MHD_Connection* connection) {
    char cookie[ORVA_WEB_TEXT_SIZE] = "";
    OrvaFormReader fields(body ? body : "");
    OrvaFormField first;
    // Only the first field counts; its value goes into the cookie still encoded.
    if (fields.next(first) && first.name == "auth" && first.hasValue) {
        TextCursor text(cookie, sizeof cookie);
        append(text, kAuth);
        append(text, first.value);
        if (text.truncated)
            return orvaReplyEmpty(connection, ORVA_HTTP_TOO_LARGE);
    }
    return orvaReplyRedirect(connection, cookie);
}
