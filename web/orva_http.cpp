// orva_http.cpp: the management web server: the daemon, the request handler,
// and the collection of query arguments, cookies and POST bodies into texts.
//
// DESIGN: every request gets a record of its own, attached to its connection
// on the handler's first call and freed when the library reports the request
// complete, so two uploads in progress never share a body store. The reply is
// queued on a later call, never on the first: libmicrohttpd closes the
// connection of a GET answered on its first call, and a page polling the
// status would then cost a connection per request.
//
// Texts beyond their limits (999 characters of arguments or cookies, 99,999
// of body) are refused with 413 rather than cut, since a cut form value or
// password would mean something else.
//
// When the operator has put a certificate and its key in the configuration
// folder ("tls/cert.pem", "tls/key.pem"), the server speaks HTTPS on the same
// port, with the library's TLS inside the same event loop; otherwise HTTP.
//
// Connections are event-driven: a small pool of threads, each with its own
// epoll set, serves them all, so a kept-alive client costs no thread and no
// wake-up of a sleeping one per request. A handler therefore holds every
// other connection of its pool thread while it runs. The device searches
// (up to a minute) run on a thread of their own while their connection is
// suspended, and answer on the handler's call after the resume. The stop
// cancels the searches under way, answers their clients 503 at once and
// never waits for a search to run its course. Handlers
// under the service lock are short, except an import (a few seconds): it
// holds its pool thread, and every request that needs the lock (the access
// check of each new request among them) waits for it on the others, as it
// did with a thread per connection.
//
// Hostile clients: a connection that sends nothing for kIdleSeconds is
// closed, which also ends requests whose body stops short of its length.
// A suspended connection does not time out, so a search still gets its
// answer out. One address holds at most kConnectionsPerAddress connections
// and the server kConnectionsInAll, which bound the descriptors and the
// connections' buffers.
#include "orva_http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>

#include "config/orva_channel.h"
#include "devices/orva_devices.h"
#include "engine/orva_text.h"
#include "orva_acl.h"
#include "orva_router.h"
#include "orva_web.h"
#include "engine/orva_service_log.h"
#include "service/orva_paths.h"
#include "service/orva_service.h"

namespace {

MHD_Daemon* g_mhd;

// Long enough for a browser's pause between polls and a slow link, short
// enough that a dead or stalled client gives its thread back soon.
constexpr unsigned kIdleSeconds = 10;
// A browser opens up to six connections to one server; a few operators
// behind one address still fit, one client cannot starve the rest.
constexpr unsigned kConnectionsPerAddress = 32;
// Caps the descriptors and the buffers, with room for a few thousand
// clients from distinct addresses.
constexpr unsigned kConnectionsInAll = 4000;
// Descriptors kept apart from the connections for the channels' pipes, logs
// and the configuration files.
constexpr rlim_t kOtherDescriptors = 1024;
// The handlers' deepest frames are a few tens of kilobytes; the default
// 8 MB per thread would reserve gigabytes of address space with a search
// running for each of thousands of connections.
constexpr size_t kThreadStackBytes = 512 * 1024;
// Each connection's buffer for the request line, the headers and the reply
// headers. Above 32 KB the library maps it on its own and unmaps it when the
// connection closes; at or below, it comes from malloc, and a burst of a
// thousand connections leaves tens of megabytes in a thread arena that glibc
// keeps after they close. Only just above: the library zeroes the whole
// buffer before each request of a kept-alive connection.
constexpr size_t kConnectionMemoryBytes = 36 * 1024;
// The answer of a search that the stop cancelled.
constexpr unsigned kServiceStopping = 503;
// How long the stop gives the cancelled searches' clients to get their
// answer, and the searches' threads to leave the device libraries (a
// cancelled NDI search ends within a tenth of a second). Beyond it the stop
// goes on: the service's own end must not wait on a client or a driver.
constexpr auto kCancelGrace = std::chrono::milliseconds(1000);

// A search that answers its request later, shared by the request and the
// search's thread, whichever ends last frees it.
struct OrvaSearch {
    OrvaSearch(MHD_Connection* c, OrvaLaterJson w) : connection(c), work(std::move(w)) {}
    MHD_Connection* connection;
    OrvaLaterJson work;
    // Set under g_searchesLock before the resume: `json` by the search's
    // thread once it ended, `cancelled` by the stop, which counts it in
    // g_cancelledAnswers.
    bool cancelled = false;
    std::string json;
};

// One request between the handler's calls.
struct OrvaRequest {
    bool post = false;
    bool bodyTooLarge = false;
    std::string body;  // the text so far; a NUL byte ends what is kept of its chunk
    std::shared_ptr<OrvaSearch> search;  // set while a search answers this request
};

// The searches whose connections are suspended. The stop resumes them all
// before the library is stopped (stopping with a suspended connection leaks
// it), and no search's thread touches its connection after that. The library
// never calls back with this lock held, so it may be held across its calls.
std::mutex g_searchesLock;
std::unordered_set<OrvaSearch*> g_suspended;
bool g_stopping = false;
// Search threads under way, and the cancelled searches' requests not yet
// completed. The stop waits a short while for both to reach zero: the 503
// gets out before the connections close, and normally no thread is inside a
// device library when the program ends.
unsigned g_searchThreads = 0;
unsigned g_cancelledAnswers = 0;
std::condition_variable g_searchesChanged;

// The request whose handler runs on this thread, for orvaReplyJsonLater.
thread_local OrvaRequest* t_request = nullptr;

// The access list's path, taken from the settings when the server starts.
// Start-up sets it before the server starts and nothing changes it later
// (a configuration file does not carry it), so a request need not take the
// service lock for it: with two pool threads that lock was the busiest
// point of every request.
std::string g_aclPath;

// Set while the server speaks HTTPS; the key and certificate it was given
// stay with it as long as it runs.
bool g_tls = false;
std::string g_tlsKey;
std::string g_tlsCert;

MHD_Result result(int handled) { return handled ? MHD_YES : MHD_NO; }

// The client's IPv4 address in host order; not known without one.
OrvaClientAddress clientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr || info->client_addr->sa_family != AF_INET)
        return {};
    sockaddr_in client;
    memcpy(&client, info->client_addr, sizeof client);
    return {ntohl(client.sin_addr.s_addr), true};
}

// The client's address against the access list, read afresh.
bool clientAllowed(MHD_Connection* connection) {
    OrvaClientAddress client = clientAddress(connection);
    return !client.known || orvaAclCheck(g_aclPath.c_str(), client.address) != 0;
}

const char* header(MHD_Connection* connection, const char* name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

OrvaRequestFacts requestFacts(MHD_Connection* connection) {
    OrvaRequestFacts facts;
    facts.origin.host = header(connection, MHD_HTTP_HEADER_HOST);
    facts.origin.origin = header(connection, "Origin");
    facts.origin.referer = header(connection, MHD_HTTP_HEADER_REFERER);
    facts.origin.tls = g_tls;
    facts.client = clientAddress(connection);
    facts.authorization = header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
    return facts;
}

// Appends "name" or "name=value" to the text, joined by "&". Stops the walk
// once the text is full; the caller refuses the request then.
MHD_Result mhdKeyValueIterator(void* text, MHD_ValueKind, const char* name, const char* value) {
    TextCursor& pairs = *static_cast<TextCursor*>(text);
    if (pairs.length() > 0)
        append(pairs, "&");
    append(pairs, name);
    if (value) {
        append(pairs, "=");
        append(pairs, value);
    }
    return pairs.truncated ? MHD_NO : MHD_YES;
}

// Returns false when the pairs do not fit the text.
bool collect(MHD_Connection* connection, MHD_ValueKind kind, char (&text)[ORVA_WEB_TEXT_SIZE]) {
    TextCursor pairs(text, sizeof text);
    MHD_get_connection_values(connection, kind, mhdKeyValueIterator, &pairs);
    return !pairs.truncated;
}

MHD_Result beginRequest(MHD_Connection* connection, const char* method, void** context) {
    if (!clientAllowed(connection))
        return result(orvaReplyEmpty(connection, ORVA_HTTP_FORBIDDEN));
    bool post = strcasecmp(method, "POST") == 0;
    if (!post && strcasecmp(method, "GET") != 0)
        return MHD_NO;  // no reply for any other method: the connection is closed
    auto request = std::make_unique<OrvaRequest>();
    request->post = post;
    *context = request.release();  // freed by mhdRequestCompleted
    return MHD_YES;
}

void appendChunk(OrvaRequest& request, const char* data, size_t size) {
    if (!request.post || request.bodyTooLarge)
        return;  // a GET's body is not used
    size_t kept = strnlen(data, size);
    if (request.body.size() + kept > ORVA_WEB_BODY_SIZE - 1) {
        request.bodyTooLarge = true;
        std::string().swap(request.body);
        return;
    }
    request.body.append(data, kept);
}

MHD_Result answer(MHD_Connection* connection, const char* url, OrvaRequest& request) {
    char arguments[ORVA_WEB_TEXT_SIZE];
    char cookies[ORVA_WEB_TEXT_SIZE];
    if (request.bodyTooLarge || !collect(connection, MHD_GET_ARGUMENT_KIND, arguments) ||
        !collect(connection, MHD_COOKIE_KIND, cookies))
        return result(orvaReplyEmpty(connection, ORVA_HTTP_TOO_LARGE));
    const char* body = request.post ? request.body.c_str() : nullptr;
    t_request = &request;
    int handled = orvaCGI(url, arguments, cookies, body, connection, requestFacts(connection));
    t_request = nullptr;
    return result(handled);
}

// The call after a search's resume: its list, or 503 when the server stops
// before the search ended. A cancelled search stays with its request, so the
// request's completion counts it off for the stop.
MHD_Result answerSearch(MHD_Connection* connection, OrvaRequest& request) {
    std::string json;
    {
        std::lock_guard<std::mutex> lock(g_searchesLock);
        if (request.search->cancelled)
            return result(orvaReplyEmpty(connection, kServiceStopping));
        json = std::move(request.search->json);
    }
    request.search.reset();
    return result(orvaReplyText(connection, json.data(), json.size(), "application/json", true));
}

MHD_Result mhdAccessHandler(void*, MHD_Connection* connection, const char* url,
                            const char* method, const char*, const char* uploadData,
                            size_t* uploadDataSize, void** context) {
    auto* request = static_cast<OrvaRequest*>(*context);
    if (!request)
        return beginRequest(connection, method, context);
    if (*uploadDataSize != 0) {
        appendChunk(*request, uploadData, *uploadDataSize);
        *uploadDataSize = 0;
        return MHD_YES;
    }
    if (request->search)
        return answerSearch(connection, *request);  // the search ended or was cancelled
    return answer(connection, url, *request);
}

void mhdRequestCompleted(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    std::unique_ptr<OrvaRequest> done(static_cast<OrvaRequest*>(*context));
    *context = nullptr;
    if (!done || !done->search)
        return;
    std::lock_guard<std::mutex> lock(g_searchesLock);
    if (done->search->cancelled && g_cancelledAnswers > 0) {
        g_cancelledAnswers--;
        g_searchesChanged.notify_all();
    }
}

// Runs the search, keeps its list and resumes its connection, unless the
// stop has resumed it already.
void runSearch(const std::shared_ptr<OrvaSearch>& search) {
    std::string json = search->work();
    std::lock_guard<std::mutex> lock(g_searchesLock);
    // Once the server stops, the connection is not ours to touch.
    if (g_stopping || g_suspended.erase(search.get()) == 0)
        return;
    search->json = std::move(json);
    MHD_resume_connection(search->connection);
}

void* searchThread(void* argument) {
    std::unique_ptr<std::shared_ptr<OrvaSearch>> search(
        static_cast<std::shared_ptr<OrvaSearch>*>(argument));
    runSearch(*search);
    search.reset();
    std::lock_guard<std::mutex> lock(g_searchesLock);
    g_searchThreads--;
    g_searchesChanged.notify_all();
    return nullptr;
}

// A detached thread with the handlers' stack size, counted for the stop.
bool startSearchThread(const std::shared_ptr<OrvaSearch>& search) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_attr_setstacksize(&attributes, kThreadStackBytes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    auto argument = std::make_unique<std::shared_ptr<OrvaSearch>>(search);
    std::lock_guard<std::mutex> lock(g_searchesLock);
    pthread_t thread;
    bool started = pthread_create(&thread, &attributes, searchThread, argument.get()) == 0;
    pthread_attr_destroy(&attributes);
    if (started) {
        argument.release();  // the thread's now
        g_searchThreads++;
    }
    return started;
}

// Raises the descriptor limit toward what the connections need; returns the
// number of connections that fit.
unsigned connectionLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0)
        return kConnectionsInAll;
    rlim_t wanted = kConnectionsInAll + kOtherDescriptors;
    if (files.rlim_cur < wanted) {
        rlimit raised = files;
        raised.rlim_cur = std::min(wanted, files.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            files = raised;
    }
    if (files.rlim_cur <= 2 * kOtherDescriptors)
        return static_cast<unsigned>(files.rlim_cur / 2);
    rlim_t room = files.rlim_cur - kOtherDescriptors;
    return static_cast<unsigned>(std::min<rlim_t>(kConnectionsInAll, room));
}

// At least two, so one handler under the service lock leaves the rest
// of the connections a thread.
unsigned poolThreads() { return std::max(2u, std::thread::hardware_concurrency()); }

bool readWhole(const char* path, std::string& text) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path, "re"), fclose);
    if (!file)
        return false;
    text.clear();
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file.get())) > 0;)
        text.append(chunk, n);
    return !ferror(file.get()) && !text.empty();
}

// Both files: HTTPS with them. Neither: plain HTTP. One without the other, a
// file that cannot be read, or a library without TLS: no start at all, since
// the operator asked for the password not to travel in clear.
enum class Transport { Plain, Tls, Refused };

Transport chooseTransport() {
    const char* cert = orvaPath(OrvaPath::TlsCert);
    const char* key = orvaPath(OrvaPath::TlsKey);
    bool hasCert = access(cert, F_OK) == 0;
    bool hasKey = access(key, F_OK) == 0;
    if (!hasCert && !hasKey)
        return Transport::Plain;
    if (!hasCert || !hasKey) {
        orvaServiceLog("HTTPS needs both %s and %s; only one exists", cert, key);
        errno = ENOENT;
        return Transport::Refused;
    }
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        orvaServiceLog("%s and %s exist, but this libmicrohttpd has no TLS", cert, key);
        errno = ENOTSUP;
        return Transport::Refused;
    }
    if (!readWhole(cert, g_tlsCert) || !readWhole(key, g_tlsKey)) {
        orvaServiceLog("HTTPS: %s or %s cannot be read", cert, key);
        errno = EACCES;
        return Transport::Refused;
    }
    return Transport::Tls;
}

}  // namespace

int orvaReplyJsonLater(MHD_Connection* connection, OrvaLaterJson work) {
    OrvaRequest* request = t_request;
    if (!request) {
        std::string json = work();
        return orvaReplyText(connection, json.data(), json.size(), "application/json", true);
    }
    auto search = std::make_shared<OrvaSearch>(connection, std::move(work));
    {
        std::lock_guard<std::mutex> lock(g_searchesLock);
        if (g_stopping)
            return orvaReplyEmpty(connection, kServiceStopping);
        g_suspended.insert(search.get());
        request->search = search;
        MHD_suspend_connection(connection);
    }
    // Without a thread of its own it runs here, as a slow handler would.
    if (!startSearchThread(search))
        runSearch(search);
    return 1;
}

int orvaStartCGI() {
    uint16_t port;
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        port = g_globalSettings.HTTPPort;
        g_aclPath = fieldText(g_globalSettings.AclFile);
    }
    {
        std::lock_guard<std::mutex> lock(g_searchesLock);
        g_stopping = false;
    }
    orvaCancelDeviceSearches(false);
    Transport transport = chooseTransport();
    if (transport == Transport::Refused)
        return 0;
    g_tls = transport == Transport::Tls;
    // The TLS options come last, only with TLS; the list ends with MHD_OPTION_END.
    MHD_OptionItem options[] = {
        {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(poolThreads()), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(connectionLimit()), nullptr},
        {MHD_OPTION_THREAD_STACK_SIZE, static_cast<intptr_t>(kThreadStackBytes), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemoryBytes), nullptr},
        {g_tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, g_tlsKey.data()},
        {MHD_OPTION_HTTPS_MEM_CERT, 0, g_tlsCert.data()},
        {MHD_OPTION_END, 0, nullptr},
    };
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    if (g_tls)
        flags |= MHD_USE_TLS;
    // IPv4 only. epoll has no descriptor ceiling, unlike select(); the
    // library runs TLS inside the same event loop.
    g_mhd = MHD_start_daemon(flags, port, nullptr, nullptr, mhdAccessHandler, nullptr,
                             MHD_OPTION_NOTIFY_COMPLETED, mhdRequestCompleted, nullptr,
                             MHD_OPTION_ARRAY, options, MHD_OPTION_END);
    if (g_mhd && g_tls)
        orvaServiceLog("the management server speaks HTTPS with %s", orvaPath(OrvaPath::TlsCert));
    return g_mhd ? 1 : 0;
}

bool orvaCGISecure() { return g_mhd && g_tls; }

void orvaStopCGI() {
    if (!g_mhd)
        return;
    orvaCancelDeviceSearches(true);
    std::unique_lock<std::mutex> lock(g_searchesLock);
    // Their handlers answer 503; the searches' threads end on their own and
    // leave the connections alone.
    g_stopping = true;
    for (OrvaSearch* search : g_suspended) {
        search->cancelled = true;
        g_cancelledAnswers++;
        MHD_resume_connection(search->connection);
    }
    g_suspended.clear();
    g_searchesChanged.wait_for(lock, kCancelGrace, [] { return g_cancelledAnswers == 0; });
    lock.unlock();
    MHD_stop_daemon(g_mhd);
    lock.lock();
    // Whatever did not complete was closed with the library's connections.
    g_cancelledAnswers = 0;
    g_searchesChanged.wait_for(lock, kCancelGrace, [] { return g_searchThreads == 0; });
    g_mhd = nullptr;
}
