// orva_origin.h: where a request that changes the service comes from.
//
// A browser sends "Origin" (or at least "Referer") with a form posted or a
// page loaded by another site; scripts and curl send neither.
#pragma once

struct OrvaRequestOrigin {
    const char* host;     // the request's Host header, or null
    const char* origin;   // its Origin header, or null
    const char* referer;  // its Referer header, or null
    bool tls;             // the server speaks HTTPS
};

// True for a request that changes the service: every POST, and a channel's
// start, stop and remove (`arguments` is the query text).
bool orvaChangesState(const char* url, const char* arguments, bool post);

// Null when the request may change the service: its Origin, or without one
// its Referer, names this server (the scheme the server speaks, and the host
// and port of the Host header), or it carries neither. Otherwise the reason
// it is refused, one short line. An Origin of "null" is refused.
const char* orvaCrossSiteRefusal(const OrvaRequestOrigin& request);
