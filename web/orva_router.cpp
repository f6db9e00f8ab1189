// orva_router.cpp: the routing table of the management server.
//
// DESIGN: a change that another site's page sent is refused before anything
// else (orva_origin.h). The router then takes the service lock, because the
// session check reads the password from the settings. It hands it to every
// handler that reads or changes the channels or the settings; those that
// save release it while the file is written (orva_save.h). The icons, the
// logo, the manual and the device searches touch neither and are answered
// without it.
#include "orva_router.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>

#include "orva_channel_api.h"
#include "orva_files.h"
#include "orva_history.h"
#include "orva_icons.h"
#include "orva_index.h"
#include "orva_login.h"
#include "orva_manual.h"
#include "orva_metrics.h"
#include "orva_origin.h"
#include "orva_settings.h"
#include "orva_thumb.h"
#include "orva_web.h"
#include "service/orva_service.h"

namespace {

constexpr const char* kChannelPrefix = "/channel";
constexpr const char* kHistoryPrefix = "/history";
constexpr const char* kThumbPrefix = "/thumb";

enum class Match { Exact, Prefix, IconName };

struct RouteEntry {
    const char* path;
    Match match;
    OrvaRoute route;
};

constexpr RouteEntry kRoutes[] = {
    {"/", Match::Exact, OrvaRoute::Index},
    {"/status", Match::Exact, OrvaRoute::Status},
    {"/import", Match::Exact, OrvaRoute::Import},
    {"/global_config", Match::Exact, OrvaRoute::GlobalConfig},
    {"/decklink_config", Match::Exact, OrvaRoute::DecklinkConfig},
    {"/ndi_config", Match::Exact, OrvaRoute::NdiConfig},
    {kChannelPrefix, Match::Prefix, OrvaRoute::Channel},
    {nullptr, Match::IconName, OrvaRoute::Icon},
    {"/orvaoem.png", Match::Exact, OrvaRoute::OemLogo},
    {"/orval.conf", Match::Exact, OrvaRoute::Download},
    {"/manual.html", Match::Exact, OrvaRoute::Manual},
    {"/metrics", Match::Exact, OrvaRoute::Metrics},
    {kHistoryPrefix, Match::Prefix, OrvaRoute::History},
    {kThumbPrefix, Match::Prefix, OrvaRoute::Thumb},
    {"/alarms", Match::Exact, OrvaRoute::Alarms},
};

bool fits(const RouteEntry& entry, const char* url) {
    switch (entry.match) {
    case Match::Exact:
        return strcasecmp(url, entry.path) == 0;
    case Match::Prefix:
        return strncasecmp(url, entry.path, strlen(entry.path)) == 0;
    case Match::IconName:
        return url[0] == '/' && orvaFindIcon(url + 1) != nullptr;
    }
    return false;
}

struct Call {
    const char* url;
    const char* arguments;
    const char* body;
    MHD_Connection* connection;
    std::unique_lock<std::mutex>& serviceLock;  // held when the handler needs it
};

int answerNotFound(const Call& c) { return orvaReplyEmpty(c.connection, ORVA_HTTP_NOT_FOUND); }
int answerIndex(const Call& c) { return orvaCGIIndex(c.connection); }
int answerStatus(const Call& c) { return orvaCGIStatus(c.connection, c.serviceLock); }
int answerImport(const Call& c) { return orvaCGIImport(c.body, c.connection, c.serviceLock); }
int answerGlobalConfig(const Call& c) {
    return orvaCGIGlobalConfig(c.body, c.connection, c.serviceLock);
}
int answerDecklinkConfig(const Call& c) { return orvaCGIDecklinkConfig(c.arguments, c.connection); }
int answerNdiConfig(const Call& c) { return orvaCGINDIConfig(c.arguments, c.connection); }
int answerChannel(const Call& c) {
    return orvaCGIChannel(orvaChannelNumber(c.url), c.arguments, c.body, c.connection,
                          c.serviceLock);
}
int answerIcon(const Call& c) { return orvaCGIIcon(c.url, c.connection); }
int answerOemLogo(const Call& c) { return orvaCGIOEMLogo(c.connection); }
int answerDownload(const Call& c) { return orvaCGIDownload(c.connection); }
int answerManual(const Call& c) { return orvaCGIManual(c.connection); }
int answerMetrics(const Call& c) { return orvaCGIMetrics(c.connection); }
int answerHistory(const Call& c) {
    return orvaCGIHistory(orvaNumberAfter(c.url, kHistoryPrefix), c.connection);
}
int answerThumb(const Call& c) { return orvaCGIThumb(orvaNumberAfter(c.url, kThumbPrefix), c.connection); }
int answerAlarms(const Call& c) { return orvaCGIAlarms(c.connection); }

struct Handler {
    int (*answer)(const Call&);
    bool needsLock;  // reads or changes the channels or the settings
};

// Indexed by OrvaRoute. A device search takes seconds: it runs without the
// lock, so the status and the channels answer meanwhile. Metrics, history
// and alarms take it themselves, only while they read.
constexpr Handler kHandlers[] = {
    {answerIndex, true},          {answerStatus, true},     {answerImport, true},
    {answerGlobalConfig, true},   {answerDecklinkConfig, false},
    {answerNdiConfig, false},     {answerChannel, true},    {answerIcon, false},
    {answerOemLogo, false},       {answerDownload, true},   {answerManual, false},
    {answerMetrics, false},       {answerHistory, false},   {answerThumb, false},
    {answerAlarms, false},        {answerNotFound, false},
};
static_assert(std::size(kHandlers) == static_cast<size_t>(OrvaRoute::NotFound) + 1);

}  // namespace

OrvaRoute orvaFindRoute(const char* url) {
    for (const RouteEntry& entry : kRoutes) {
        if (fits(entry, url))
            return entry.route;
    }
    return OrvaRoute::NotFound;
}

int orvaNumberAfter(const char* url, const char* prefix) {
    size_t length = strlen(prefix);
    if (strncasecmp(url, prefix, length) != 0)
        return 0;
    errno = 0;
    long number = strtol(url + length, nullptr, 10);
    if (errno == ERANGE || number < INT_MIN || number > INT_MAX)
        return 0;
    return static_cast<int>(number);
}

int orvaChannelNumber(const char* url) { return orvaNumberAfter(url, kChannelPrefix); }

int orvaCGI(const char* url, const char* arguments, const char* cookies, const char* body,
            MHD_Connection* connection, const OrvaRequestFacts& facts) {
    orvaCountHttpRequest();
    if (orvaChangesState(url, arguments, body != nullptr)) {
        if (const char* refusal = orvaCrossSiteRefusal(facts.origin))
            return orvaReplyReason(connection, ORVA_HTTP_FORBIDDEN, refusal);
    }
    const std::string bearer = orvaBearerCookies(facts.authorization);
    std::unique_lock<std::mutex> lock(g_serviceLock);
    if (int answered = orvaCGISession(url, bearer.empty() ? cookies : bearer.c_str(), body,
                                      facts.client, connection);
        answered != kOrvaLoggedIn)
        return answered;
    const Handler& handler = kHandlers[static_cast<size_t>(orvaFindRoute(url))];
    if (!handler.needsLock)
        lock.unlock();
    return handler.answer(Call{url, arguments, body, connection, lock});
}
