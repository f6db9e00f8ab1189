// orva_login.h: the login password and its session cookie.
//
// The cookie "auth" carries the password itself, form-encoded as the browser
// sent it; the service keeps no session of its own. An empty password asks
// for no login.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct MHD_Connection;

// The client's IPv4 address, in host order; `known` is false without one.
struct OrvaClientAddress {
    uint32_t address = 0;
    bool known = false;
};

enum { kOrvaLoggedIn = -1 };

// 1 when the cookie text logs the request in, 0 otherwise.
// Caller holds the service lock (the password belongs to the settings).
int orvaCGIAuth(const char* cookies);
// The login page. Caller holds the service lock (the application title).
int orvaCGILoginPage(MHD_Connection* connection);
// The "Set-Cookie" text of a session: "auth=", the password as the form sent
// it, and the attributes that keep it from scripts and other sites.
std::string orvaSessionCookie(std::string_view encodedPassword);
// A scraper that cannot send a cookie (Prometheus before 2.55, Debian 12's
// among them, sends no header of its own choosing) may send "Authorization:
// Bearer VALUE" with the cookie's value instead. Returns the cookie text
// "auth=VALUE" such a header stands for, or "" without one; the session check
// then takes it in place of the request's cookies, wrong values counting
// against the address as a cookie's do.
std::string orvaBearerCookies(const char* authorization);
// The session of a request: kOrvaLoggedIn, or the result of the reply it
// was answered with instead: the login page; for a path beginning with
// "/login", the login attempt's reply (the redirect to "/" with the cookie
// when the body's first field "auth=..." holds the password, the login page
// saying "Wrong password" when it holds another, the redirect without a
// cookie without such a field, 413 when the cookie would not fit its text); or
// 429 with "Retry-After" while the client's address waits for having sent
// too many wrong passwords (each wrong one counted, a cookie's value once a
// minute). Caller holds the service lock.
int orvaCGISession(const char* url, const char* cookies, const char* body,
                   const OrvaClientAddress& client, MHD_Connection* connection);
