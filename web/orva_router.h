// orva_router.h: sends each request to the login flow or to its endpoint.
#pragma once

#include "orva_login.h"
#include "orva_origin.h"

struct MHD_Connection;

// What the server knows of a request beyond its path, query, cookies and body.
struct OrvaRequestFacts {
    OrvaRequestOrigin origin;
    OrvaClientAddress client;
    const char* authorization = nullptr;  // its Authorization header, or null
};

enum class OrvaRoute {
    Index,
    Status,
    Import,
    GlobalConfig,
    DecklinkConfig,
    NdiConfig,
    Channel,
    Icon,
    OemLogo,
    Download,
    Manual,
    Metrics,
    History,
    Thumb,
    Alarms,
    NotFound,
};

// The endpoint of a logged-in request for `url`: paths compare without regard
// to case, in the order of the routing table; the first that fits answers.
OrvaRoute orvaFindRoute(const char* url);
// The channel number after "/channel", read as strtol does with base 10:
// "/channel7x" is 7, "/channel" is 0. Numbers beyond an int give 0.
int orvaChannelNumber(const char* url);
// The same for any path prefix ("/history7" after "/history" is 7); 0 when
// the path does not begin with `prefix`.
int orvaNumberAfter(const char* url, const char* prefix);

// `body` is the POST body text, or null for a GET. Returns the answering
// handler's result: 1 when a reply was queued, 0 when the library refused it.
// Refuses a change another site sent with 403 and its reason. Takes the
// service lock for every handler that reads or changes the channels or the
// settings.
int orvaCGI(const char* url, const char* arguments, const char* cookies, const char* body,
            MHD_Connection* connection, const OrvaRequestFacts& facts);
