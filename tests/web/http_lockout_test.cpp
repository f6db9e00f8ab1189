// Hostile clients against the real daemon: hundreds of idle and
// byte-at-a-time connections from one address must not shut out a client
// from another, and requests that stall (a body shorter than announced, a
// broken chunk, a header never finished) end at the idle time-out, while a
// device search that takes longer than that time-out still gets its answer.
// Requests sent a byte at a time from many addresses, enough to fill every
// connection place, end at their deadlines and give way to other clients.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "web/web_fixture.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The server's idle time-out, in seconds.
constexpr int kIdleSeconds = 10;
// Connections one address may hold.
constexpr int kPerAddress = 32;

std::chrono::milliseconds since(Clock::time_point begin) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
}

// A client socket bound to a loopback address of its choice, so one test can
// play several clients.
class Client {
public:
    Client(const char* source, int port, time_t readSeconds = 2) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, source, &from.sin_addr);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval limit{readSeconds, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
            connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Client() {
        if (fd_ >= 0)
            close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(const std::string& bytes) const {
        return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(bytes.size());
    }
    // True once the server has closed the connection (end of stream or reset).
    bool closedByServer() const {
        if (fd_ < 0)
            return true;
        char byte;
        ssize_t n = recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    // Waits up to `limit` for the server to close; the wait in milliseconds,
    // or -1 when it did not close.
    long waitForClose(std::chrono::milliseconds limit) const {
        auto begin = Clock::now();
        while (since(begin) < limit) {
            pollfd ready{fd_, POLLIN, 0};
            poll(&ready, 1, 50);
            if (closedByServer())
                return since(begin).count();
        }
        return -1;
    }
    // One reply on a kept-alive connection: its header and its Content-Length's worth.
    std::string readReply() const {
        std::string text;
        char chunk[4096];
        for (ssize_t n; (n = recv(fd_, chunk, sizeof chunk, 0)) > 0;) {
            text.append(chunk, static_cast<size_t>(n));
            size_t end = text.find("\r\n\r\n");
            size_t length = text.find("Content-Length: ");
            if (end != std::string::npos && length != std::string::npos &&
                text.size() >= end + 4 + std::stoul(text.substr(length + 16)))
                break;
        }
        return text;
    }
    // Everything the server sends until it closes or goes quiet for 2 s.
    std::string readAll() const {
        std::string text;
        char chunk[4096];
        for (ssize_t n; (n = recv(fd_, chunk, sizeof chunk, 0)) > 0;)
            text.append(chunk, static_cast<size_t>(n));
        return text;
    }

private:
    int fd_ = -1;
};

// A GET on a fresh connection from `source`: the whole reply, empty when
// none came within `readSeconds` of quiet.
std::string getFrom(const char* source, int port, const std::string& path, time_t readSeconds = 2) {
    Client client(source, port, readSeconds);
    if (!client.send("GET " + path + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n"))
        return "";
    return client.readAll();
}

// The status code of a reply, 0 for none.
int statusOf(const std::string& reply) {
    return reply.starts_with("HTTP/1.1 ") ? std::atoi(reply.c_str() + 9) : 0;
}

int statusFrom(const char* source, int port) { return statusOf(getFrom(source, port, "/status")); }

// The resident memory of a process in kilobytes, 0 when it cannot be read.
long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:"))
            return std::atol(line.c_str() + 6);
    }
    return 0;
}

// `count` connections at once, each asking GET /status; returns how many
// were answered 200. They come from `onlySource`, or else from 100 addresses
// 127.0.1.x (below the per-address limit).
int statusBurst(int port, int count, const char* onlySource = nullptr) {
    std::vector<std::unique_ptr<Client>> burst;
    for (int i = 0; i < count; i++) {
        std::string source = onlySource ? onlySource : "127.0.1." + std::to_string(1 + i % 100);
        burst.push_back(std::make_unique<Client>(source.c_str(), port));
    }
    // Every connection is open, with its thread and buffer, before any is answered.
    for (auto& client : burst)
        client->send("GET /status HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    int answered = 0;
    for (auto& client : burst)
        answered += statusOf(client->readAll()) == 200;
    return answered;
}

// The connection places of a daemon with 256 descriptors.
constexpr int kFewPlaces = 128;
// A request's header has this long from its first byte, however slowly its
// bytes come.
constexpr auto kHeaderDeadline = 10s;
// A body has 30 s plus 1 s per 10 KB from the end of its header.
constexpr int kTrickledBodyBytes = 20 * 1024;
constexpr auto kBodyDeadline = 32s;

// A request sent a byte at a time, and when the server closed it.
struct Trickle {
    std::unique_ptr<Client> client;
    Clock::time_point firstByte;
    std::string rest;  // what it has yet to send, a byte a second
    Clock::time_point closed{};

    bool open() const { return closed == Clock::time_point{}; }
    std::chrono::milliseconds lasted() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(closed - firstByte);
    }
};

// `count` header floods, 20 per address 127.0.2.`firstAddress`, ...
std::vector<Trickle> headerWave(int port, int firstAddress, int count) {
    std::vector<Trickle> wave;
    for (int i = 0; i < count; i++) {
        std::string source = "127.0.2." + std::to_string(firstAddress + i / 20);
        Trickle slow{std::make_unique<Client>(source.c_str(), port), Clock::now(),
                     "ET /status HTTP/1.1\r\nX-Slow: " + std::string(100, 'a')};
        EXPECT_TRUE(slow.client->send("G"));
        wave.push_back(std::move(slow));
    }
    return wave;
}

class LockoutTest : public WebTest {
protected:
    // A search of the stand-in NDI runtime lasts as long as it is asked to.
    void SetUp() override {
        setenv("LD_LIBRARY_PATH", ORVAL_FAKES_DIR, 1);
        setenv("ORVAL_FAKE_NDI", "source 0 192.168.1.20:5961 STUDIO\n", 1);
        WebTest::SetUp();
    }
    void TearDown() override {
        WebTest::TearDown();
        unsetenv("LD_LIBRARY_PATH");
        unsetenv("ORVAL_FAKE_NDI");
    }
};

// A daemon with few connection places, so a test can fill them all.
class CrowdedTest : public WebTest {
protected:
    void SetUp() override {
        descriptorLimit = 2 * kFewPlaces;
        WebTest::SetUp();
    }
};

}  // namespace

TEST_F(LockoutTest, ConnectionsHeldFromOneAddressDoNotShutOutAnotherClient) {
    constexpr int kHeld = 300;
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < kHeld; i++) {
        held.push_back(std::make_unique<Client>("127.0.0.1", port));
        // Every other one starts a request it will send a byte at a time.
        if (i % 2)
            held.back()->send("GET /status HTTP/1.1\r\nX-Slow: ");
    }
    int connected = 0;
    for (auto& client : held)
        connected += client->connected();
    ASSERT_EQ(kHeld, connected);  // the kernel takes them all; the server decides

    auto begin = Clock::now();
    int answered = 0;
    long slowest = 0;
    for (int round = 0; round < 15; round++) {
        for (int i = 1; i < kHeld; i += 2)
            held[i]->send("a");
        auto asked = Clock::now();
        answered += statusFrom("127.0.0.2", port) == 200;
        slowest = std::max(slowest, static_cast<long>(since(asked).count()));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(15, answered);
    EXPECT_LT(slowest, 1000) << "ms for the slowest status";
    EXPECT_LT(since(begin), 8s);  // all of it well within the idle time-out

    // The address keeps its share; the rest were closed at once.
    int open = 0;
    for (auto& client : held)
        open += !client->closedByServer();
    EXPECT_GT(open, 0);
    EXPECT_LE(open, kPerAddress);

    held.clear();
    EXPECT_TRUE(waitUntil([&] { return statusFrom("127.0.0.1", port) == 200; }, 3000ms));
}

TEST_F(LockoutTest, StalledRequestsEndAtTheTimeOutWhileALongerSearchIsAnswered) {
    constexpr int kSearchSeconds = kIdleSeconds + 2;
    auto begin = Clock::now();
    auto search = std::async(std::launch::async, [&] {
        return getFrom("127.0.0.1", port, "/ndi_config?timeout=" + std::to_string(kSearchSeconds),
                       kSearchSeconds + 5);
    });

    Client shortBody("127.0.0.1", port);
    shortBody.send("POST /channel1 HTTP/1.1\r\nHost: t\r\nContent-Length: 100\r\n"
                   "Content-Type: application/x-www-form-urlencoded\r\n\r\nsurl=abcde");
    Client brokenChunk("127.0.0.1", port);
    brokenChunk.send("POST /channel1 HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n"
                     "Content-Type: application/x-www-form-urlencoded\r\n\r\n5\r\nsu");
    Client halfHeader("127.0.0.1", port);
    halfHeader.send("GET /status HTTP/1.1\r\nHost: t\r\n");

    // Each ends by the time-out, and not long before it.
    for (const Client* stalled : {&shortBody, &brokenChunk, &halfHeader}) {
        long waited = stalled->waitForClose(std::chrono::seconds(kIdleSeconds + 5));
        EXPECT_GE(waited, 0) << "still open";
        long at = static_cast<long>(since(begin).count());
        EXPECT_GE(at, (kIdleSeconds - 1) * 1000);
        EXPECT_LE(at, (kIdleSeconds + 4) * 1000);
    }

    std::string found = search.get();
    EXPECT_EQ(200, statusOf(found));
    EXPECT_NE(std::string::npos, found.find("STUDIO")) << found;
    EXPECT_GE(since(begin), std::chrono::seconds(kSearchSeconds));
}

// A search's connection waits while the search runs on a thread of its own.
// The stop must not leave the waiting connections to a stopped server: their
// clients are answered 503 at once, the searches are cut short, and the
// daemon ends cleanly without waiting for them.
TEST_F(LockoutTest, TheStopAnswersTheSearchingClients503AtOnceAndEndsWithoutWaitingForTheSearches) {
    constexpr int kSearchSeconds = 3;
    std::vector<std::unique_ptr<Client>> searches;
    for (int i = 0; i < 3; i++) {
        searches.push_back(std::make_unique<Client>("127.0.0.1", port));
        ASSERT_TRUE(searches.back()->send("GET /ndi_config?timeout=" + std::to_string(kSearchSeconds) +
                                          " HTTP/1.1\r\nHost: t\r\n\r\n"));
    }
    std::this_thread::sleep_for(300ms);  // every search is under way
    ASSERT_EQ(200, statusFrom("127.0.0.2", port));

    auto begin = Clock::now();
    auto ending = std::async(std::launch::async, [&] { return endDaemon(); });
    for (auto& search : searches)
        EXPECT_EQ(503, statusOf(search->readAll()));  // and closed: readAll ends at the close
    EXPECT_LT(since(begin), std::chrono::seconds(kSearchSeconds - 1));
    EXPECT_EQ(0, ending.get());
    EXPECT_LT(since(begin), std::chrono::seconds(kSearchSeconds - 1));
}

// While a search runs the server does not see its client leave; the answer
// then finds the connection closed, and the connection must still give its
// place back, here all of one address's places.
TEST_F(LockoutTest, SearchesWhoseClientsLeftGiveTheirPlacesBack) {
    std::vector<std::unique_ptr<Client>> searches;
    for (int i = 0; i < kPerAddress; i++) {
        searches.push_back(std::make_unique<Client>("127.0.0.3", port));
        ASSERT_TRUE(searches.back()->send("GET /ndi_config?timeout=1 HTTP/1.1\r\nHost: t\r\n\r\n"));
    }
    std::this_thread::sleep_for(300ms);
    searches.clear();  // every client leaves while its search runs
    EXPECT_EQ(0, statusFrom("127.0.0.3", port)) << "the address has no place left";
    EXPECT_EQ(200, statusFrom("127.0.0.2", port));

    // The searches end one by one, and a place given back may be taken again
    // by the last probe until the server has seen that probe close; so each
    // check is repeated until it holds.
    EXPECT_TRUE(waitUntil([&] { return statusFrom("127.0.0.3", port) == 200; }, 5000ms));
    EXPECT_TRUE(waitUntil(
        [&] { return statusOf(getFrom("127.0.0.3", port, "/ndi_config?timeout=1", 4)) == 200; }, 9000ms));
    // Every place came back, not just one.
    EXPECT_TRUE(waitUntil([&] { return statusBurst(port, kPerAddress, "127.0.0.3") == kPerAddress; }, 5000ms));
}

// Every connection has a thread and a request buffer of its own. A burst of
// hundreds at once must not leave the daemon tens of megabytes larger once
// they have closed. The sanitizers' allocators keep freed memory on purpose,
// so only a plain build can tell.
TEST_F(LockoutTest, ABurstOfConnectionsGivesItsMemoryBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator keeps freed memory";
#endif
    ASSERT_EQ(200, statusFrom("127.0.0.2", port));
    const long before = residentKb(daemonPid());
    ASSERT_GT(before, 0);
    constexpr int kBurst = 800;
    for (int round = 0; round < 3; round++)
        EXPECT_EQ(kBurst, statusBurst(port, kBurst)) << "round " << round;
    EXPECT_TRUE(waitUntil([&] { return statusFrom("127.0.0.2", port) == 200; }, 3000ms));
    const long after = residentKb(daemonPid());
    // With the connections' buffers from malloc, 22 MB stayed after three
    // bursts; what may stay is about 1 MB of thread stacks glibc keeps for new
    // threads and the arenas' own small heaps.
    EXPECT_LT(after - before, 8 * 1024) << "KB: " << before << " before, " << after << " after";
}

// Slow requests from many addresses, each under the per-address limit, more
// than the places: a byte renews neither the header's deadline nor the
// body's, the kept-alive idle connection and then the oldest unfinished
// headers give way to newer connections, and a client from another address
// is answered throughout.
TEST_F(CrowdedTest, SlowRequestsFromManyAddressesEndAtTheirDeadlinesAndGiveWayToOthers) {
    Client keptAlive("127.0.0.3", port);
    ASSERT_TRUE(keptAlive.send("GET /status HTTP/1.1\r\nHost: t\r\n\r\n"));
    ASSERT_EQ(200, statusOf(keptAlive.readReply()));
    Trickle body{std::make_unique<Client>("127.0.0.4", port), Clock::now(),
                 std::string(kTrickledBodyBytes, 'a')};
    ASSERT_TRUE(body.client->send("POST /channel1 HTTP/1.1\r\nHost: t\r\nContent-Length: " +
                                  std::to_string(kTrickledBodyBytes) +
                                  "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\ns"));

    // 160 floods and the two above, 34 beyond the places: in three waves, so
    // the first wave's headers are the oldest when the third comes.
    std::vector<Trickle> older = headerWave(port, 1, 60);
    std::this_thread::sleep_for(1500ms);
    std::vector<Trickle> newer = headerWave(port, 4, 60);
    std::this_thread::sleep_for(1500ms);
    std::vector<Trickle> latest = headerWave(port, 7, 40);
    std::vector<Trickle*> all{&body};
    for (auto* wave : {&older, &newer, &latest})
        for (Trickle& slow : *wave)
            all.push_back(&slow);

    auto begin = Clock::now();
    auto nextByte = begin;
    int asked = 0, answered = 0;
    bool orderChecked = false;
    while (since(begin) < kBodyDeadline + 15s &&
           std::any_of(all.begin(), all.end(), [](Trickle* slow) { return slow->open(); })) {
        for (Trickle* slow : all) {
            if (slow->open() && slow->client->closedByServer())
                slow->closed = Clock::now();
        }
        if (!orderChecked && since(begin) >= 1500ms) {
            orderChecked = true;
            EXPECT_TRUE(keptAlive.closedByServer()) << "the idle connection gives way first";
            int olderClosed = 0;
            for (Trickle& slow : older)
                olderClosed += !slow.open();
            EXPECT_GE(olderClosed, 30) << "then the oldest headers";
            for (auto* wave : {&newer, &latest})
                for (Trickle& slow : *wave)
                    EXPECT_TRUE(slow.open()) << "a newer header gave way";
        }
        if (Clock::now() >= nextByte) {
            nextByte += 1s;
            for (Trickle* slow : all) {
                if (slow->open() && !slow->rest.empty()) {
                    slow->client->send(slow->rest.substr(0, 1));
                    slow->rest.erase(0, 1);
                }
            }
            asked++;
            answered += statusFrom("127.0.0.2", port) == 200;
        }
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(asked, answered) << "GET /status from another address";
    EXPECT_GE(asked, 20);

    // The last wave gave way to no one: each ended at its header's deadline.
    for (Trickle& slow : latest) {
        ASSERT_FALSE(slow.open());
        EXPECT_GE(slow.lasted(), kHeaderDeadline - 500ms);
        EXPECT_LE(slow.lasted(), 3 * kHeaderDeadline);
    }
    ASSERT_FALSE(body.open()) << "the body a byte a second";
    EXPECT_GE(body.lasted(), kBodyDeadline - 500ms);
    EXPECT_EQ(200, statusFrom("127.0.2.1", port)) << "the flood's addresses have their places back";
}
