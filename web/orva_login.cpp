// orva_login.cpp: the session check, the login page and the login attempt.
//
// DESIGN: the login form's password and every session cookie are checked
// against the password in constant time, and each wrong one counts against
// the client's address (orva_login_limit.h): an address that guessed too
// often is answered 429 for every password it sends until its wait is over,
// the right one included, while every other address goes on as before.
// The cookie is HttpOnly (no script reads it) and SameSite=Strict (no other
// site's page makes the browser send it).
#include "orva_login.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/orva_channel.h"
#include "engine/orva_service_log.h"
#include "engine/orva_text.h"
#include "orva_form.h"
#include "orva_login_limit.h"
#include "orva_web.h"
#include "service/orva_channel_ctl.h"

namespace {

constexpr std::string_view kAuth = "auth=";
constexpr const char* kCookieAttributes = "; HttpOnly; SameSite=Strict; Path=/";

OrvaLoginLimiter g_loginLimiter;

// The first piece of the cookie text, split at runs of "&", ";" and blanks,
// that begins with "auth="; only that one counts, right or wrong. None when
// there is no such piece.
std::optional<std::string_view> authPiece(std::string_view cookies) {
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
    return std::nullopt;
}

std::string_view authValue(std::string_view cookies) { return authPiece(cookies).value_or(""); }

// Compares every byte of two zero-padded buffers, so the time taken tells
// nothing of where a guess goes wrong or how long the password is.
bool samePassword(std::string_view given, std::string_view password) {
    unsigned char a[ORVA_WEB_TEXT_SIZE] = {};
    unsigned char b[ORVA_WEB_TEXT_SIZE] = {};
    if (given.size() >= sizeof a || password.size() >= sizeof b)
        return false;
    memcpy(a, given.data(), given.size());
    memcpy(b, password.data(), password.size());
    unsigned difference = given.size() == password.size() ? 0 : 1;
    for (size_t i = 0; i < sizeof a; i++)
        difference |= a[i] ^ b[i];
    return difference == 0;
}

// The encoded value decoded as the session check decodes it; false when it
// is longer than any password can be.
bool decodeSent(std::string_view value, char (&decoded)[ORVA_WEB_TEXT_SIZE]) {
    char text[ORVA_WEB_TEXT_SIZE];
    if (!copyText(text, value))
        return false;
    _urlDecode(text, decoded, 1);
    return true;
}

bool isRightPassword(std::string_view encoded) {
    char decoded[ORVA_WEB_TEXT_SIZE];
    return decodeSent(encoded, decoded) && samePassword(decoded, fieldText(g_globalSettings.LoginPass));
}

void composeLoginPage(TextCursor& page, bool wrongPassword) {
    appendf(page, "<html lang=\"en\">\n<head>\n<title>%s</title>\n</head>\n", orvaAppTitle());
    append(page,
           "<body>\n<div style=\"width: 100%; position: absolute; top: 30%; "
           "text-align: center\">\n");
    appendf(page, "<h2>%s Login Authentication</h2>\n", "ORVAL");
    if (wrongPassword)
        append(page, "<p id=\"wrong\" role=\"alert\">Wrong password</p>\n");
    append(page,
           "<form action=\"login\" method=\"post\">\n"
           " <label for=\"auth\">Password</label>\n"
           " <input type=\"password\" id=\"auth\" name=\"auth\" required>\n"
           " <input type=\"submit\" value=\"Login\">\n"
           "</form></div>\n</body>\n</html>");
}

int replyLoginPage(MHD_Connection* connection, bool wrongPassword) {
    auto work = std::make_unique_for_overwrite<char[]>(ORVA_WEB_WORK_SIZE);
    TextCursor page(work.get(), ORVA_WEB_WORK_SIZE);
    composeLoginPage(page, wrongPassword);
    return orvaReplyText(connection, page.begin, page.length(), "text/html", false);
}

std::string addressText(uint32_t address) {
    in_addr in{htonl(address)};
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

int replyWait(MHD_Connection* connection, const OrvaClientAddress& client,
              std::chrono::milliseconds wait) {
    auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
    if (g_loginLimiter.logRefusal(client.address, std::chrono::steady_clock::now()))
        orvaServiceLog("login refused for %s: too many wrong passwords, it waits %lld s",
                       addressText(client.address).c_str(), static_cast<long long>(seconds));
    return orvaReplyRetryLater(connection, static_cast<unsigned>(seconds),
                               "Too many wrong passwords from this address; try again later");
}

// The login form: the right password sets the cookie and goes to "/", a
// wrong one shows the form again and counts.
int loginAttempt(const char* body, MHD_Connection* connection, const OrvaClientAddress& client) {
    OrvaFormReader fields(body ? body : "");
    OrvaFormField first;
    // Only the first field counts; its value goes into the cookie still encoded.
    if (!fields.next(first) || first.name != "auth" || !first.hasValue)
        return orvaReplyRedirect(connection, "");
    if (kAuth.size() + first.value.size() > ORVA_WEB_TEXT_SIZE - 1)
        return orvaReplyEmpty(connection, ORVA_HTTP_TOO_LARGE);  // no cookie text holds it
    if (!isRightPassword(first.value)) {
        if (client.known)
            g_loginLimiter.wrongPassword(client.address, std::chrono::steady_clock::now());
        return replyLoginPage(connection, true);
    }
    if (client.known)
        g_loginLimiter.rightPassword(client.address);
    std::string cookie = orvaSessionCookie(first.value);
    return orvaReplyRedirect(connection, cookie.c_str());
}

}  // namespace

int orvaCGIAuth(const char* cookies) {
    std::string_view password = fieldText(g_globalSettings.LoginPass);
    if (password.empty())
        return 1;
    return isRightPassword(authValue(cookies ? cookies : "")) ? 1 : 0;
}

int orvaCGILoginPage(MHD_Connection* connection) { return replyLoginPage(connection, false); }

std::string orvaSessionCookie(std::string_view encodedPassword) {
    std::string cookie(kAuth);
    cookie += encodedPassword;
    cookie += kCookieAttributes;
    return cookie;
}

std::string orvaBearerCookies(const char* authorization) {
    constexpr std::string_view kBearer = "Bearer ";
    if (!authorization || strncasecmp(authorization, kBearer.data(), kBearer.size()) != 0)
        return "";
    std::string_view value = authorization + kBearer.size();
    value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
    if (value.empty())
        return "";
    std::string cookies(kAuth);
    cookies += value;
    return cookies;
}

int orvaCGISession(const char* url, const char* cookies, const char* body,
                   const OrvaClientAddress& client, MHD_Connection* connection) {
    if (fieldText(g_globalSettings.LoginPass).empty())
        return kOrvaLoggedIn;
    std::optional<std::string_view> sent = authPiece(cookies ? cookies : "");
    const bool login = strncasecmp(url, "/login", 6) == 0;
    const auto now = std::chrono::steady_clock::now();
    // A waiting address gets no answer to any password it sends.
    if (client.known && (sent || (login && body && body[0]))) {
        if (auto wait = g_loginLimiter.waitLeft(client.address, now); wait.count() > 0)
            return replyWait(connection, client, wait);
    }
    if (sent) {
        if (isRightPassword(*sent))
            return kOrvaLoggedIn;
        if (client.known)
            g_loginLimiter.wrongCookie(client.address, *sent, now);
    }
    if (login)
        return loginAttempt(body, connection, client);
    return orvaCGILoginPage(connection);
}
