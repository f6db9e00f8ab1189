// orva_http_places.cpp: the management server's connection places: a
// deadline for each request's header and body, and which connections give
// way when the places run short.
//
// DESIGN: the library's own time-out is an idle time-out, renewed by every
// byte, so a client that sends a header byte every few seconds would hold its
// place for ever, and a few thousand of them from many addresses would take
// every place. Each connection therefore has a place here, moving through
//
//   waiting (accepted, or its last request answered)
//     -> body (header whole: the body's deadline runs)
//     -> answering (body whole; no deadline: a device search may take a minute)
//     -> waiting ...
//
// A waiting connection whose next request has begun has 10 s from that
// request's first byte to finish its header; a body has 30 s plus 1 s per
// 10 KB from the header's end. No byte renews either. The library has read
// the bytes already when its handler is first called, so the first byte is
// told from the kernel's figures for the socket (TCP_INFO), by a sweep four
// times a second.
//
// The server accepts a little beyond the places (the library's limit is set
// above them), so it never stops accepting: one connection beyond the places
// makes one give way, in this order: a connection kept alive and idle
// (longest idle first), then the oldest unfinished header, then a new
// connection that has sent nothing yet, the one just accepted among them.
// New connections get a second before they count as idle, so a client
// between its connect and its request is not taken for an idle one.
//
// A connection gives way by shutdown() of its socket; its library thread
// sees the end and closes it as if the client had left. The library reports
// every close (orvaPlaceClosed) before it closes the descriptor, and that
// report takes the same lock as the shutdown, so a shutdown never reaches a
// descriptor that has been closed and reused.
//
// A request moves its place from stage to stage without that lock: the two
// server threads would otherwise wait for each other on it (a thread that
// waits holds up every connection it serves), and the sweep and the giving
// way read a stage that may move on meanwhile. That costs nothing: a place
// taken for idle is asked whether data came since its wait began just
// before it is closed, and a request that begins after that is one every
// server may see its idle connection closed under.
#include "orva_http_places.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "orva_web.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A header that takes longer is not a slow client, it is holding a place.
constexpr auto kHeaderTime = 10s;
// The time of a body, on top of a bandwidth no operator's link falls below.
constexpr auto kBodyTime = 30s;
constexpr size_t kBodyBytesPerSecond = 10 * 1024;
// How often the deadlines are looked at: a deadline is met within this.
constexpr auto kSweepInterval = 250ms;
// A new connection younger than this that has sent nothing is on its way to
// its request rather than idle.
constexpr auto kNewConnectionGrace = 1s;
// The kernel keeps the time of a socket's last data in jiffies (up to 10 ms):
// later than the request before by less than this is that request's own data.
constexpr auto kClockGrain = 10ms;

enum class Stage { Waiting, Body, Answering };

}  // namespace

struct OrvaPlace {
    int fd = -1;
    // Set by the connection's server thread, read by the others.
    std::atomic<Stage> stage{Stage::Waiting};
    std::atomic<bool> keptAlive{false};  // a request has been answered on it
    std::atomic<unsigned> wait{0};  // counts its waits for a request
    std::atomic<Clock::rep> since{0};  // accepted, or its last request answered
    std::atomic<Clock::rep> bodyDeadline{0};
    // Under g_placesLock.
    size_t index = 0;  // in g_places
    bool closing = false;  // shut down; the library has yet to close it
    unsigned begunWait = ~0u;  // the wait whose first byte has come, at firstByte
    Clock::time_point firstByte;
};

namespace {

// The places in no order; each knows its index, so one leaves in O(1).
std::mutex g_placesLock;
std::vector<OrvaPlace*> g_places;
unsigned g_placeCount = 0;
unsigned g_open = 0;  // places not closing

std::mutex g_sweepLock;
std::condition_variable g_sweepWake;
bool g_sweeping = false;
std::thread g_sweeper;

Clock::time_point at(const std::atomic<Clock::rep>& time) {
    return Clock::time_point(Clock::duration(time.load()));
}

// Whether the request the place waits for has begun; caller holds g_placesLock.
bool begun(const OrvaPlace& place) { return place.begunWait == place.wait.load(); }

Clock::duration bodyTime(size_t bodyBytes) {
    // A body beyond the largest the server keeps is refused when it has come
    // whole, so it gets no more time than that one.
    size_t bytes = std::min<size_t>(bodyBytes, ORVA_WEB_BODY_SIZE);
    return kBodyTime + std::chrono::milliseconds(bytes * 1000 / kBodyBytesPerSecond);
}

// Whether the waiting request's first byte has come: for a new connection,
// any byte at all; for a kept-alive one, data later than its last answer.
// Notes the time of that byte (never before the wait began). Caller holds
// g_placesLock.
bool noteFirstByte(OrvaPlace& place, Clock::time_point now) {
    unsigned wait = place.wait.load();
    Clock::time_point since = at(place.since);
    bool keptAlive = place.keptAlive.load();
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(place.fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return false;
    auto lastData = now - std::chrono::milliseconds(info.tcpi_last_data_recv);
    bool counted = size >= offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received;
    bool came = counted && !keptAlive ? info.tcpi_bytes_received > 0 : lastData > since + kClockGrain;
    if (came) {
        place.begunWait = wait;
        place.firstByte = std::max(lastData, since);
    }
    return came;
}

// 1 gives way first, then 2, then 3; 0 never (a request under way).
int yieldRank(const OrvaPlace& place, Clock::time_point now) {
    if (place.closing || place.stage.load() != Stage::Waiting)
        return 0;
    if (begun(place))
        return 2;
    return place.keptAlive.load() || now - at(place.since) >= kNewConnectionGrace ? 1 : 3;
}

Clock::time_point yieldKey(const OrvaPlace& place) {
    return begun(place) ? place.firstByte : at(place.since);
}

// The place to give way; caller holds g_placesLock. Whether an idle one has
// begun its request since the sweep looked is asked again before it is taken.
OrvaPlace* chooseToClose(Clock::time_point now) {
    for (;;) {
        OrvaPlace* chosen = nullptr;
        int chosenRank = 0;
        for (OrvaPlace* place : g_places) {
            int rank = yieldRank(*place, now);
            if (rank == 0)
                continue;
            if (!chosen || rank < chosenRank ||
                (rank == chosenRank && yieldKey(*place) < yieldKey(*chosen))) {
                chosen = place;
                chosenRank = rank;
            }
        }
        if (!chosen || begun(*chosen) || !noteFirstByte(*chosen, now))
            return chosen;
    }
}

// Caller holds g_placesLock.
void closePlace(OrvaPlace& place) {
    shutdown(place.fd, SHUT_RDWR);
    place.closing = true;
    g_open--;
}

// Caller holds g_placesLock.
bool pastDeadline(OrvaPlace& place, Clock::time_point now) {
    if (place.closing)
        return false;
    Stage stage = place.stage.load();
    if (stage == Stage::Body)
        return now >= at(place.bodyDeadline);
    if (stage != Stage::Waiting)
        return false;
    if (!begun(place) && !noteFirstByte(place, now))
        return false;
    return now >= place.firstByte + kHeaderTime;
}

// The lock is taken per place, so the server's threads wait at most one
// socket query for it, however many connections there are.
void sweepOnce() {
    for (size_t i = 0;; i++) {
        std::lock_guard<std::mutex> lock(g_placesLock);
        if (i >= g_places.size())
            return;
        OrvaPlace& place = *g_places[i];
        if (pastDeadline(place, Clock::now()))
            closePlace(place);
    }
}

void sweepLoop() {
    std::unique_lock<std::mutex> lock(g_sweepLock);
    while (g_sweeping) {
        lock.unlock();
        sweepOnce();
        lock.lock();
        g_sweepWake.wait_for(lock, kSweepInterval, [] { return !g_sweeping; });
    }
}

}  // namespace

void orvaPlacesStart(unsigned places) {
    {
        std::lock_guard<std::mutex> lock(g_placesLock);
        g_placeCount = places;
    }
    std::lock_guard<std::mutex> lock(g_sweepLock);
    g_sweeping = true;
    g_sweeper = std::thread(sweepLoop);
}

void orvaPlacesStop() {
    {
        std::lock_guard<std::mutex> lock(g_sweepLock);
        g_sweeping = false;
    }
    g_sweepWake.notify_all();
    if (g_sweeper.joinable())
        g_sweeper.join();
}

OrvaPlace* orvaPlaceOpened(int fd) {
    auto* place = new OrvaPlace;
    Clock::time_point now = Clock::now();
    place->fd = fd;
    place->since = now.time_since_epoch().count();
    std::lock_guard<std::mutex> lock(g_placesLock);
    place->index = g_places.size();
    g_places.push_back(place);
    g_open++;
    if (g_open > g_placeCount) {
        // The one just accepted is among the candidates, so there is one.
        if (OrvaPlace* giving = chooseToClose(now))
            closePlace(*giving);
    }
    return place;
}

void orvaPlaceClosed(OrvaPlace* place) {
    if (!place)
        return;
    {
        std::lock_guard<std::mutex> lock(g_placesLock);
        if (!place->closing)
            g_open--;
        OrvaPlace* last = g_places.back();
        g_places[place->index] = last;
        last->index = place->index;
        g_places.pop_back();
    }
    delete place;
}

// The stage moves last, so a thread that reads the new stage reads the
// times that go with it.
void orvaPlaceHeaderDone(OrvaPlace* place, size_t bodyBytes) {
    if (!place)
        return;
    place->bodyDeadline = (Clock::now() + bodyTime(bodyBytes)).time_since_epoch().count();
    place->stage = Stage::Body;
}

void orvaPlaceBodyDone(OrvaPlace* place) {
    if (place)
        place->stage = Stage::Answering;
}

void orvaPlaceRequestDone(OrvaPlace* place) {
    if (!place)
        return;
    place->since = Clock::now().time_since_epoch().count();
    place->keptAlive = true;
    place->wait = place->wait + 1;  // only this thread counts them
    place->stage = Stage::Waiting;
}
