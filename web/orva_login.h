// orva_login.h: the login password and its session cookie.
//
// The cookie "auth" carries the password itself, form-encoded as the browser
// sent it; the service keeps no session of its own. An empty password asks
// for no login.
#pragma once

struct MHD_Connection;

// 1 when the cookie text logs the request in, 0 otherwise.
// Caller holds the service lock (the password belongs to the settings).
int orvaCGIAuth(const char* cookies);
// The login page. Caller holds the service lock (the application title).
int orvaCGILoginPage(MHD_Connection* connection);
// A login attempt: the redirect to "/", carrying the cookie when the body's
// first field is "auth=..."; 413 when that cookie would not fit its text.
int orvaCGILogin(const char* body, MHD_Connection* connection);
